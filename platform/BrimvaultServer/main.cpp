// Stand-in for the product's core program "BrimvaultServer.exe", for Linux (the stand-in machine) and Windows.
// It runs until Ctrl+C and then exits with 0. Tests steer it with key=value lines in a control file ("<n>.<key>"
// applies to the n-th launch only, and wins over "<key>") or with BV_SERVER_<KEY> environment variables:
//   exitAfterMs    end by itself after this many milliseconds (real time)
//   exitCode       ... with this exit code (full 32 bits; default 0)
//   writeExitCode  write this DWORD as "exitCode" under HKLM "SOFTWARE\Orlenta\Brimvault\server" before ending
//   ignoreCtrlC    1: log the Ctrl+C and run on
//   spawnChild     1: start a child of its own that runs until it is killed
// A logoff writes "exitCode" 0x40010004 and ends the program; a close or shutdown ends it with 1.
// Every event is a line "<pid> <event> [key=value ...]" in the log file.
//   Linux:   <root>/BrimvaultServer/control, .../log, .../launches; Ctrl+C is SIGINT (as the stand-in's consoles
//            deliver it), logoff SIGHUP (the stand-in's logoff event), terminate SIGTERM.
//   Windows: BrimvaultServer.control, .log, .launches beside the program; the console's control events.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <tlhelp32.h>
#else
#include "emu/emu.h"
#include "emu/session.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr DWORD kLogoffMarker = 0x40010004;

using Clock = std::chrono::steady_clock;

enum class Signal { Deadline, CtrlC, Logoff, Terminate };

// ---- The platform's part: where the files are, one appended line, the launch counter, the parent, the signals. ----
#ifdef _WIN32

using Path = std::basic_string<WCHAR>;

// "BrimvaultServer.<name>" in the program's folder.
Path serverFile(const char *name) {
  static const Path folder = [] {
    Path path(MAX_PATH, 0);
    for (;;) {
      DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
      if (n == 0) return Path(TEXT("."));
      if (n < path.size()) {
        path.resize(n);
        break;
      }
      path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(TEXT("\\/"));
    return slash == Path::npos ? Path(TEXT(".")) : path.substr(0, slash);
  }();
  Path file = folder + TEXT("\\BrimvaultServer.");
  for (const char *c = name; *c; ++c) file += static_cast<WCHAR>(*c);
  return file;
}

void appendLine(const Path &path, const std::string &line) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr); // one write: lines never mix
  CloseHandle(file);
}

std::string readFile(const Path &path) {
  std::string out;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return out;
  char buf[4096];
  for (DWORD n = 0; ReadFile(file, buf, sizeof(buf), &n, nullptr) && n > 0;) out.append(buf, n);
  CloseHandle(file);
  return out;
}

// Replaces the file's text with change(old text) while holding an exclusive lock on it; false when it cannot.
template <class Change> bool rewriteLocked(const Path &path, Change change) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    CloseHandle(file);
    return false;
  }
  char buf[32] = {0};
  DWORD n = 0;
  if (!ReadFile(file, buf, sizeof(buf) - 1, &n, nullptr)) n = 0;
  const std::string text = change(std::string(buf, n));
  DWORD written = 0;
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(file))
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  OVERLAPPED again{};
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &again);
  CloseHandle(file);
  return true;
}

DWORD parentId() {
  DWORD parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return parent;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  CloseHandle(snapshot);
  return parent;
}

DWORD fallbackSession() { return 0; }

// Auto-reset events, one per kind: like a pending signal, a second one before the first is taken is the same one.
// Ordered as Linux numbers the signals, so both take the same one first when several are pending.
HANDLE g_signals[3];
constexpr Signal kSignalOf[3] = {Signal::Logoff, Signal::CtrlC, Signal::Terminate};

BOOL WINAPI onConsoleEvent(DWORD type) {
  int kind = -1;
  switch (type) {
  case CTRL_LOGOFF_EVENT: kind = 0; break;
  case CTRL_C_EVENT: kind = 1; break;
  case CTRL_CLOSE_EVENT:
  case CTRL_SHUTDOWN_EVENT: kind = 2; break;
  default: return FALSE; // Ctrl+Break: the default, which ends the program
  }
  SetEvent(g_signals[kind]);
  // Returning from a close, logoff or shutdown event ends the program: the main thread ends it first, as it logs.
  if (kind != 1) Sleep(INFINITE);
  return TRUE;
}

// Ctrl+C, logoff and termination requests are taken one at a time on the main thread, by waitSignal.
void watchSignals() {
  for (HANDLE &event : g_signals) event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

// The next signal, or Signal::Deadline once the deadline (if any) has passed.
Signal waitSignal(const Clock::time_point *deadline) {
  for (;;) {
    DWORD ms = INFINITE;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return Signal::Deadline;
      ms = static_cast<DWORD>((left + 999) / 1000); // rounded up: no busy loop in the last millisecond
    }
    const DWORD got = WaitForMultipleObjects(3, g_signals, FALSE, ms);
    if (got < WAIT_OBJECT_0 + 3) return kSignalOf[got - WAIT_OBJECT_0];
    if (got == WAIT_FAILED) Sleep(ms);
  }
}

// Runs until someone kills it.
[[noreturn]] void runUntilKilled() {
  for (;;) Sleep(INFINITE);
}

// Whether the program runs inside a job, as the service launches it; the start line carries it on Windows.
std::string jobFact() {
  BOOL inJob = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob)) return " job=?";
  return inJob ? " job=1" : " job=0";
}

#else

using Path = std::string;

// <root>/BrimvaultServer/<name>, the folder made when missing.
Path serverFile(const char *name) {
  std::string dir = emu::machineRoot() + "/BrimvaultServer";
  ::mkdir(dir.c_str(), 0777);
  return dir + "/" + name;
}

void appendLine(const Path &path, const std::string &line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t n = ::write(fd, line.data(), line.size()); // one write: lines of several processes never mix
  (void)n;
  ::close(fd);
}

std::string readFile(const Path &path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

// Replaces the file's text with change(old text) while holding an exclusive lock on it; false when it cannot.
template <class Change> bool rewriteLocked(const Path &path, Change change) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  char buf[32] = {0};
  ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
  const std::string text = change(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
  if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0) {
    ssize_t w = ::write(fd, text.data(), text.size());
    (void)w;
  }
  ::close(fd); // releases the lock
  return true;
}

DWORD parentId() { return static_cast<DWORD>(::getppid()); }

DWORD fallbackSession() { return emu::currentSessionId(); }

const sigset_t &wantedSignals() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGHUP);
    sigaddset(&s, SIGTERM);
    return s;
  }();
  return set;
}

// Ctrl+C, logoff and termination requests are taken one at a time on the main thread, by waitSignal.
void watchSignals() { ::sigprocmask(SIG_BLOCK, &wantedSignals(), nullptr); }

// The next signal, or Signal::Deadline once the deadline (if any) has passed.
Signal waitSignal(const Clock::time_point *deadline) {
  for (;;) {
    int sig;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return Signal::Deadline;
      timespec ts{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
      sig = ::sigtimedwait(&wantedSignals(), nullptr, &ts);
      if (sig < 0) continue; // time-out (checked above) or interrupted
    } else if (::sigwait(&wantedSignals(), &sig) != 0) {
      continue;
    }
    return sig == SIGINT ? Signal::CtrlC : sig == SIGHUP ? Signal::Logoff : Signal::Terminate;
  }
}

// Runs until someone kills it; the signals the core blocked are the child's again.
[[noreturn]] void runUntilKilled() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (;;) ::pause();
}

// The emulated machine's processes do not ask for their job: the tests read it from the machine.
std::string jobFact() { return std::string(); }

#endif
// ---- End of the platform's part. ----

void logEvent(const std::string &text) {
  appendLine(serverFile("log"), std::to_string(GetCurrentProcessId()) + " " + text + "\n");
}

// Number of this launch among all launches of the core on this machine (beside this program on Windows), 1 for the
// first; 0 when the counter cannot be kept.
unsigned nextLaunch() {
  unsigned launch = 0;
  rewriteLocked(serverFile("launches"), [&](const std::string &old) {
    launch = static_cast<unsigned>(std::strtoul(old.c_str(), nullptr, 10)) + 1;
    return std::to_string(launch) + "\n";
  });
  return launch;
}

DWORD sessionId() {
  DWORD session = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &session) ? session : fallbackSession();
}

class Settings {
public:
  explicit Settings(unsigned launch) : launch_(launch) {
    std::istringstream in(readFile(serverFile("control")));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t eq = line.find('=');
      if (eq != std::string::npos && eq > 0) file_[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  std::string value(const std::string &key) const {
    auto it = file_.find(std::to_string(launch_) + "." + key);
    if (it != file_.end()) return it->second;
    it = file_.find(key);
    if (it != file_.end()) return it->second;
    std::string env = "BV_SERVER_";
    for (char c : key) env += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    const char *v = std::getenv(env.c_str());
    return v ? v : "";
  }
  bool has(const std::string &key) const { return !value(key).empty(); }
  unsigned long long number(const std::string &key, unsigned long long fallback) const {
    std::string v = value(key);
    if (v.empty()) return fallback;
    char *end = nullptr;
    unsigned long long n = std::strtoull(v.c_str(), &end, 0);
    return end == v.c_str() ? fallback : n;
  }

private:
  unsigned launch_;
  std::map<std::string, std::string> file_;
};

void writeExitCodeValue(DWORD value) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Orlenta\\Brimvault\\server"), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, TEXT("exitCode"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
    RegCloseKey(key);
  }
  logEvent("registry exitCode=" + std::to_string(value) + " result=" + std::to_string(rc));
}

[[noreturn]] void finish(DWORD code) {
  logEvent("exit code=" + std::to_string(code));
  ExitProcess(code);
}

// A child of the core's own: it lives until someone kills it (the job, when the core's cycle ends).
[[noreturn]] void runChild() {
  logEvent("child-start parent=" + std::to_string(parentId()) + " session=" + std::to_string(sessionId()));
  runUntilKilled();
}

void startChild() {
  WCHAR path[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    logEvent("child-failed step=GetModuleFileNameW error=" + std::to_string(GetLastError()));
    return;
  }
  std::basic_string<WCHAR> commandLine = TEXT("\"") + std::basic_string<WCHAR>(path) + TEXT("\" --child");
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    logEvent("child-failed step=CreateProcessW error=" + std::to_string(GetLastError()));
    return;
  }
  logEvent("child pid=" + std::to_string(pi.dwProcessId));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--child") == 0) runChild();

  watchSignals();
  const unsigned launch = nextLaunch();
  const Settings settings(launch);
  logEvent("start launch=" + std::to_string(launch) + " session=" + std::to_string(sessionId()) +
           " parent=" + std::to_string(parentId()) + " args=" + std::to_string(argc - 1) + jobFact());

  if (settings.value("spawnChild") == "1") startChild();
  const bool ignoreCtrlC = settings.value("ignoreCtrlC") == "1";
  const bool timed = settings.has("exitAfterMs");
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.number("exitAfterMs", 0));

  for (;;) {
    switch (waitSignal(timed ? &deadline : nullptr)) {
    case Signal::Deadline:
      if (settings.has("writeExitCode")) writeExitCodeValue(static_cast<DWORD>(settings.number("writeExitCode", 0)));
      finish(static_cast<DWORD>(settings.number("exitCode", 0)));
    case Signal::CtrlC:
      if (ignoreCtrlC) {
        logEvent("ctrl-c ignored");
        continue;
      }
      logEvent("ctrl-c");
      if (settings.has("writeExitCode")) writeExitCodeValue(static_cast<DWORD>(settings.number("writeExitCode", 0)));
      finish(0);
    case Signal::Logoff:
      logEvent("logoff");
      writeExitCodeValue(kLogoffMarker);
      finish(0);
    case Signal::Terminate:
      logEvent("terminate");
      finish(1);
    }
  }
}
