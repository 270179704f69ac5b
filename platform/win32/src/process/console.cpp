// Consoles. A console is a process group: the processes attached to it are those of the group (a process that
// attached from outside also counts), and Ctrl+C / Ctrl+Break are SIGINT / SIGQUIT to them. Only processes of this
// machine root are ever signalled.
#include "process/process_internal.h"
#include "process/proctable.h"

#include "emu/session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace emu {
namespace proc {

namespace {

std::mutex &consoleMutex() {
  static auto *m = new std::mutex;
  return *m;
}

std::string g_console;
bool g_consoleLoaded = false;

// The console a process was given at creation ($WIN32_CONSOLE): "none", "self" (its own group) or a group id.
// A process started outside the machine has the console of its group, as one started from a terminal.
// `group` is the process's group as read with its start.
std::string resolveConsole(const std::string &spec, pid_t pid, pid_t group) {
  if (spec == "none") return spec;
  if (spec == "self") return std::to_string(pid);
  char *end = nullptr;
  long v = std::strtol(spec.c_str(), &end, 10);
  if (!spec.empty() && end && !*end && v > 0) return spec;
  return std::to_string(group);
}

std::string ownConsoleLocked() {
  if (!g_consoleLoaded) {
    const char *env = std::getenv("WIN32_CONSOLE");
    g_console = resolveConsole(env ? env : "", getpid(), getpgrp());
    g_consoleLoaded = true;
  }
  return g_console;
}

// Other processes learn of a change through this process's entry in the process table.
void publishConsoleLocked(const std::string &console) {
  g_console = console;
  g_consoleLoaded = true;
  updateEntry(getpid(), [&](Entry &e, bool exists) {
    if (!exists) { // a process started outside the machine records itself
      e.parent = getppid();
      e.session = currentSessionId();
      char path[PATH_MAX];
      ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
      e.image = n > 0 ? windowsPath(std::string(path, static_cast<size_t>(n))) : std::string();
    }
    e.console = console;
    return true;
  });
}

// --- control handlers ---------------------------------------------------------------------------

struct CtrlHandlers {
  std::mutex mutex;
  std::vector<PHANDLER_ROUTINE> handlers;
  bool ignoreCtrlC = false;
  int pipe[2] = {-1, -1};
  bool dispatcher = false;
  // Ignoring Ctrl+C is inherited: it came as an ignored SIGINT.
  CtrlHandlers() {
    struct sigaction current {};
    ignoreCtrlC = sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
  }
};

CtrlHandlers &ctrl() {
  static auto *c = new CtrlHandlers;
  return *c;
}

void onSignal(int sig) {
  const int saved = errno;
  char event = sig == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
  if (write(ctrl().pipe[1], &event, 1) < 0) {
  }
  errno = saved;
}

// Handlers run on a thread of their own, the last one added first, as on Windows; when none handles the event
// the process ends with STATUS_CONTROL_C_EXIT.
void dispatch() {
  CtrlHandlers &c = ctrl();
  for (;;) {
    char event = 0;
    ssize_t n = read(c.pipe[0], &event, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::vector<PHANDLER_ROUTINE> handlers;
    {
      std::lock_guard<std::mutex> lock(c.mutex);
      if (event == CTRL_C_EVENT && c.ignoreCtrlC) continue;
      handlers = c.handlers;
    }
    bool handled = false;
    for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) handled = (*it)(static_cast<DWORD>(event)) != FALSE;
    if (!handled) ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

// Signal dispositions follow the handler list and the ignore flag. Lock held.
void applyDispositions(CtrlHandlers &c) {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (!c.handlers.empty()) {
    if (!c.dispatcher) {
      if (pipe2(c.pipe, O_CLOEXEC) != 0) return;
      std::thread(dispatch).detach();
      c.dispatcher = true;
    }
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);
  } else {
    sa.sa_handler = c.ignoreCtrlC ? SIG_IGN : SIG_DFL;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_DFL;
    sigaction(SIGQUIT, &sa, nullptr);
  }
}

} // namespace

void startWithCtrlCIgnored() {
  CtrlHandlers &c = ctrl();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.ignoreCtrlC = true;
  applyDispositions(c);
}

std::string currentConsole() {
  std::lock_guard<std::mutex> lock(consoleMutex());
  return ownConsoleLocked();
}

bool consoleOf(pid_t pid, std::string *console) {
  ProcStat s;
  return pid > 0 && readStat(pid, &s) && consoleOf(pid, s, console);
}

bool consoleOf(pid_t pid, const ProcStat &s, std::string *console) {
  if (pid == getpid()) {
    *console = currentConsole();
    return true;
  }
  if (s.ended()) return false;
  std::string found;
  Entry e;
  if (readRecordedEntry(pid, &e) && e.start == s.start) {
    found = resolveConsole(e.console, pid, s.group);
  } else {
    if (!belongsToMachine(pid, s.start)) return false;
    std::string spec;
    environOf(pid, "WIN32_CONSOLE", &spec);
    found = resolveConsole(spec, pid, s.group);
  }
  if (!aliveAt(pid, s.start)) return false; // ended while its facts were read
  *console = found;
  return true;
}

} // namespace proc
} // namespace emu

extern "C" BOOL WINAPI AttachConsole(DWORD dwProcessId) {
  EMU_FAIL_POINT("AttachConsole", FALSE);
  std::lock_guard<std::mutex> lock(emu::proc::consoleMutex());
  if (emu::proc::ownConsoleLocked() != "none") {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  pid_t pid = dwProcessId == ATTACH_PARENT_PROCESS ? getppid() : static_cast<pid_t>(dwProcessId);
  std::string console;
  if (dwProcessId == 0 || (dwProcessId > 0x7FFFFFFF && dwProcessId != ATTACH_PARENT_PROCESS) ||
      !emu::proc::consoleOf(pid, &console)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (console == "none") {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  emu::proc::publishConsoleLocked(console);
  return TRUE;
}

extern "C" BOOL WINAPI AllocConsole(void) {
  EMU_FAIL_POINT("AllocConsole", FALSE);
  std::lock_guard<std::mutex> lock(emu::proc::consoleMutex());
  if (emu::proc::ownConsoleLocked() != "none") {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  setpgid(0, 0); // a group of its own stands for the new console
  emu::proc::publishConsoleLocked(std::to_string(getpgrp()));
  return TRUE;
}

extern "C" BOOL WINAPI FreeConsole(void) {
  EMU_FAIL_POINT("FreeConsole", FALSE);
  std::lock_guard<std::mutex> lock(emu::proc::consoleMutex());
  // Detaching without a console still succeeds.
  if (emu::proc::ownConsoleLocked() != "none") emu::proc::publishConsoleLocked("none");
  return TRUE;
}

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  EMU_FAIL_POINT("SetConsoleCtrlHandler", FALSE);
  auto &c = emu::proc::ctrl();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (!HandlerRoutine) {
    c.ignoreCtrlC = Add != FALSE;
  } else if (Add) {
    c.handlers.push_back(HandlerRoutine);
  } else {
    auto it = std::find(c.handlers.rbegin(), c.handlers.rend(), HandlerRoutine);
    if (it == c.handlers.rend()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    c.handlers.erase(std::next(it).base());
  }
  emu::proc::applyDispositions(c);
  return TRUE;
}

extern "C" BOOL WINAPI GenerateConsoleCtrlEvent(DWORD dwCtrlEvent, DWORD dwProcessGroupId) {
  EMU_FAIL_POINT("GenerateConsoleCtrlEvent", FALSE);
  if (dwCtrlEvent != CTRL_C_EVENT && dwCtrlEvent != CTRL_BREAK_EVENT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string console = emu::proc::currentConsole();
  if (console == "none") {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Ctrl+C goes to the whole console only: to a group it is accepted and reaches nobody.
  if (dwCtrlEvent == CTRL_C_EVENT && dwProcessGroupId != 0) return TRUE;
  const pid_t group = dwProcessGroupId ? static_cast<pid_t>(dwProcessGroupId) : 0;
  const int sig = dwCtrlEvent == CTRL_C_EVENT ? SIGINT : SIGQUIT;
  const pid_t self = getpid();
  for (pid_t pid : emu::proc::allPids()) {
    emu::proc::ProcStat s; // its group and start from one read; the signal reaches that process or none
    if (pid == self || !emu::proc::readStat(pid, &s) || s.ended()) continue;
    if (group != 0 && s.group != group) continue;
    // Attached to this console: in its group or attached from outside; not once freed from it.
    std::string theirs;
    if (emu::proc::consoleOf(pid, s, &theirs) && theirs == console) emu::proc::signalProcess(pid, s.start, sig);
  }
  // The caller is attached to the console too (and gets the event unless it ignores it).
  if (group == 0 || getpgrp() == group) kill(self, sig);
  return TRUE;
}
