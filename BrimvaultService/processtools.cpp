#include "processtools.h"

#include <tlhelp32.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log/log.h"

DWORD findProcessIdByName(LPCWSTR name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const int nameLength = lstrlenW(name);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrlenW(entry.szExeFile) == nameLength &&
        std::memcmp(entry.szExeFile, name, static_cast<size_t>(nameLength) * sizeof(WCHAR)) == 0) {
      CloseHandle(snapshot);
      return entry.th32ProcessID;
    }
  }
  CloseHandle(snapshot);
  return 0;
}

bool TerminateProcessById(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!process) {
    LOGE("Failed to open process for termination. Error: 0x%x", static_cast<unsigned>(GetLastError()));
    return false;
  }
  BOOL terminated = TerminateProcess(process, 0);
  CloseHandle(process);
  return terminated != FALSE;
}

DWORD DoGracefulTermination(DWORD pid) {
  if (!AttachConsole(pid)) {
    DWORD code = GetLastError();
    LOGE("attach to console failed, pid: %d, err: 0x%x", static_cast<int>(pid), static_cast<unsigned>(code));
    return code;
  }
  // From here on Ctrl+C is for the core only, not for this copy.
  SetConsoleCtrlHandler(nullptr, TRUE);
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    DWORD code = GetLastError();
    LOGE("send ctrl-c failed, err: 0x%x", static_cast<unsigned>(code));
    return code;
  }
  return 0;
}

DWORD parseTerminatePid(const char *text) {
  if (!text) return 0;
  errno = 0;
  char *end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE || value < 0 || value > 0xFFFFFFFFLL) return 0;
  return static_cast<DWORD>(value);
}
