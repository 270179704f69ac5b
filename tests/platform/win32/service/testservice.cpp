// A service for the control manager's tests. Its command line (the entry's binary path) picks what main does:
//   (none)         run the dispatcher
//   --exit-at-once end with 7 before calling the dispatcher
// The main function's arguments (from the start request) pick what the service does:
//   accept=<n>     controls accepted with SERVICE_RUNNING (default 0x181)
//   pending-accept=<n> controls accepted with SERVICE_START_PENDING (default 0); a stop taken then ends the run
//                  without SERVICE_RUNNING
//   exit=<n>       Win32 exit code reported with SERVICE_STOPPED
//   linger=<ms>    keep the main function busy this long after reporting SERVICE_STOPPED; main waits for it
//   hold=1         stay in SERVICE_START_PENDING, and after a stop while running in SERVICE_STOP_PENDING, until the
//                  file <root>/testservice/<service name>.go appears; each hold takes the file away
// Controls: stop and pre-shutdown stop it; interrogate and session change return 0; 222 ends the process at once
// with 3 (as a crash would, without SERVICE_STOPPED); every other control returns ERROR_CALL_NOT_IMPLEMENTED.
// Every event is a line in <root>/testservice/<service name>.events ("none" outside the control manager).
#include <windows.h>
#include <winsvc.h>

#include "emu/emu.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::mutex g_mutex;
std::condition_variable g_cv;
bool g_stop = false;
SERVICE_STATUS_HANDLE g_handle = nullptr;
int g_contextTag = 42;

void record(const std::string &text) {
  std::string dir = emu::machineRoot() + "/testservice";
  ::mkdir(dir.c_str(), 0777);
  const char *service = std::getenv("WIN32_SCM_SERVICE");
  std::string line = text + "\n";
  int fd = ::open((dir + "/" + (service ? service : "none") + ".events").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (fd < 0) return;
  ssize_t n = ::write(fd, line.data(), line.size());
  (void)n;
  ::close(fd);
}

std::string tid() { return std::to_string(GetCurrentThreadId()); }

void report(DWORD state, DWORD accepted, DWORD exitCode, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = accepted;
  s.dwWin32ExitCode = exitCode;
  s.dwCheckPoint = checkPoint;
  s.dwWaitHint = waitHint;
  BOOL ok = SetServiceStatus(g_handle, &s);
  record("status state=" + std::to_string(state) + " ok=" + std::to_string(ok) +
         " error=" + std::to_string(ok ? 0 : GetLastError()));
}

DWORD WINAPI handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  std::string line = "control code=" + std::to_string(control) + " type=" + std::to_string(eventType) + " tid=" + tid() +
                     " context=" + std::to_string(context == &g_contextTag ? 1 : 0);
  if (control == SERVICE_CONTROL_SESSIONCHANGE && eventData) {
    const auto *note = static_cast<const WTSSESSION_NOTIFICATION *>(eventData);
    line += " size=" + std::to_string(note->cbSize) + " session=" + std::to_string(note->dwSessionId);
  }
  record(line);
  switch (control) {
  case SERVICE_CONTROL_STOP:
  case SERVICE_CONTROL_PRESHUTDOWN: {
    report(SERVICE_STOP_PENDING, 0, 0, 0, 5000);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stop = true;
    g_cv.notify_all();
    return NO_ERROR;
  }
  case SERVICE_CONTROL_INTERROGATE:
  case SERVICE_CONTROL_SESSIONCHANGE: return NO_ERROR;
  case 222: ::_exit(3);
  default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

DWORD argValue(DWORD argc, LPWSTR *argv, const std::string &key, DWORD fallback) {
  for (DWORD i = 1; i < argc; ++i) {
    std::string a = emu::toUtf8(argv[i]);
    if (a.compare(0, key.size() + 1, key + "=") == 0) return static_cast<DWORD>(std::strtoul(a.c_str() + key.size() + 1, nullptr, 0));
  }
  return fallback;
}

// Waits until the test lays down the release file, and takes it (at most two minutes: a test that failed early).
void holdUntilReleased() {
  const char *service = std::getenv("WIN32_SCM_SERVICE");
  const std::string go = emu::machineRoot() + "/testservice/" + (service ? service : "none") + ".go";
  for (int i = 0; i < 24000 && ::unlink(go.c_str()) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The process stays until a lingering main function has returned.
std::atomic<bool> g_lingering{false};
std::atomic<bool> g_returned{false};

void WINAPI serviceMain(DWORD argc, LPWSTR *argv) {
  std::string line = "main-function tid=" + tid() + " argc=" + std::to_string(argc);
  for (DWORD i = 0; i < argc; ++i) line += " [" + emu::toUtf8(argv[i]) + "]";
  record(line);
  g_handle = RegisterServiceCtrlHandlerExW(argv[0], handler, &g_contextTag);
  if (!g_handle) {
    record("register-failed error=" + std::to_string(GetLastError()));
    return;
  }
  const bool hold = argValue(argc, argv, "hold", 0) != 0;
  report(SERVICE_START_PENDING, argValue(argc, argv, "pending-accept", 0), 0, 1, 3000);
  if (hold) holdUntilReleased();
  bool stoppedEarly = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    stoppedEarly = g_stop;
  }
  if (!stoppedEarly) {
    report(SERVICE_RUNNING, argValue(argc, argv, "accept", 0x181), 0, 0, 0);
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      g_cv.wait(lock, [] { return g_stop; });
    }
    if (hold) holdUntilReleased(); // SERVICE_STOP_PENDING was reported by the handler
  }
  g_lingering = argValue(argc, argv, "linger", 0) != 0;
  report(SERVICE_STOPPED, 0, argValue(argc, argv, "exit", 0), 0, 0);
  if (DWORD linger = argValue(argc, argv, "linger", 0)) std::this_thread::sleep_for(std::chrono::milliseconds(linger));
  record("main-function-returns");
  g_returned = true;
}

} // namespace

int main(int argc, char **argv) {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  char cwd[4096] = {0};
  if (!::getcwd(cwd, sizeof(cwd))) cwd[0] = 0;
  record("start pid=" + std::to_string(::getpid()) + " tid=" + tid() + " session=" + std::to_string(session) +
         " cwd=" + cwd);
  if (argc == 2 && std::strcmp(argv[1], "--exit-at-once") == 0) return 7;
  WCHAR name[] = u"ignored-for-own-process";
  SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
  BOOL ok = StartServiceCtrlDispatcherW(table);
  DWORD error = ok ? 0 : GetLastError();
  record("dispatcher ok=" + std::to_string(ok) + " error=" + std::to_string(error) + " tid=" + tid());
  while (g_lingering && !g_returned) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return ok ? 0 : static_cast<int>(error);
}
