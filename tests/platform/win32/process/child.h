// Starting the kernel_child test program from the process tests.
#pragma once

#include <windows.h>

#include <string>
#include <unistd.h>

#include "testenv.h"

namespace kt {

inline std::u16string wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }
inline std::u16string childExe() { return wide(KERNEL_CHILD); }

// A started child; killed and closed when it goes out of scope.
struct Child {
  PROCESS_INFORMATION pi{};
  bool started = false;
  DWORD error = 0;

  Child() = default;
  // The command line "<kernel_child>" <args>, created with the given flags and start-up information.
  explicit Child(const std::u16string &args, DWORD flags = 0, LPSTARTUPINFOW si = nullptr, HANDLE token = nullptr) {
    start(u"\"" + childExe() + u"\" " + args, flags, si, token);
  }
  void start(std::u16string line, DWORD flags = 0, LPSTARTUPINFOW si = nullptr, HANDLE token = nullptr,
             LPCWSTR app = nullptr, LPVOID env = nullptr, LPCWSTR dir = nullptr) {
    STARTUPINFOW plain{};
    plain.cb = sizeof(plain);
    LPSTARTUPINFOW info = si ? si : &plain;
    started = token ? CreateProcessAsUserW(token, app, line.data(), nullptr, nullptr, TRUE, flags, env, dir, info, &pi)
                    : CreateProcessW(app, line.data(), nullptr, nullptr, FALSE, flags, env, dir, info, &pi);
    error = started ? 0 : GetLastError();
  }
  DWORD waitExit() {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
  ~Child() {
    if (!started) return;
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
};

// Waits (bounded by the test's time limit) until a child has written a file.
inline std::string awaitFile(const std::string &path) {
  while (access(path.c_str(), F_OK) != 0) usleep(2000);
  return testenv::readFile(path);
}

} // namespace kt
