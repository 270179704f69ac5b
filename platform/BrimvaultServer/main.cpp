// Stand-in for the product's core program "BrimvaultServer.exe". It runs until Ctrl+C (SIGINT, as the stand-in's
// consoles deliver it) and then exits with 0. Tests steer it with key=value lines in <root>/BrimvaultServer/control
// ("<n>.<key>" applies to the n-th launch on this machine only, and wins over "<key>") or with BV_SERVER_<KEY>
// environment variables:
//   exitAfterMs    end by itself after this many milliseconds (real time)
//   exitCode       ... with this exit code (full 32 bits; default 0)
//   writeExitCode  write this DWORD as "exitCode" under HKLM "SOFTWARE\Orlenta\Brimvault\server" before ending
//   ignoreCtrlC    1: log the Ctrl+C and run on
//   spawnChild     1: start a child of its own that runs until it is killed
// A logoff (the stand-in's logoff event, SIGHUP) writes "exitCode" 0x40010004 and ends the program.
// Every event is a line "<pid> <event> [key=value ...]" in <root>/BrimvaultServer/log.
#include <windows.h>

#include "emu/emu.h"
#include "emu/session.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr DWORD kLogoffMarker = 0x40010004;

std::string folder() {
  std::string dir = emu::machineRoot() + "/BrimvaultServer";
  ::mkdir(dir.c_str(), 0777);
  return dir;
}

void logEvent(const std::string &text) {
  std::string line = std::to_string(::getpid()) + " " + text + "\n";
  int fd = ::open((folder() + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t n = ::write(fd, line.data(), line.size()); // one write: lines of several processes never mix
  (void)n;
  ::close(fd);
}

// Number of this launch among all launches of the core on this machine, 1 for the first.
unsigned nextLaunch() {
  int fd = ::open((folder() + "/launches").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return 0;
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  char buf[32] = {0};
  ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
  unsigned launch = (n > 0 ? static_cast<unsigned>(std::strtoul(buf, nullptr, 10)) : 0) + 1;
  std::string text = std::to_string(launch) + "\n";
  if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0) {
    ssize_t w = ::write(fd, text.data(), text.size());
    (void)w;
  }
  ::close(fd); // releases the lock
  return launch;
}

class Settings {
public:
  explicit Settings(unsigned launch) : launch_(launch) {
    std::istringstream in(readFile(folder() + "/control"));
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
  static std::string readFile(const std::string &path) {
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
  }
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
int runChild() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  logEvent("child-start parent=" + std::to_string(::getppid()) + " session=" + std::to_string(emu::currentSessionId()));
  for (;;) ::pause();
}

void startChild() {
  WCHAR path[MAX_PATH + 1] = {0};
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    logEvent("child-failed step=GetModuleFileNameW error=" + std::to_string(GetLastError()));
    return;
  }
  std::u16string commandLine = u"\"" + std::u16string(path) + u"\" --child";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    logEvent("child-failed step=CreateProcessW error=" + std::to_string(GetLastError()));
    return;
  }
  logEvent("child pid=" + std::to_string(pi.dwProcessId));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--child") == 0) return runChild();

  // Ctrl+C, logoff and termination requests are taken one at a time on this thread.
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGINT);
  sigaddset(&wanted, SIGHUP);
  sigaddset(&wanted, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &wanted, nullptr);

  const unsigned launch = nextLaunch();
  const Settings settings(launch);
  DWORD session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) session = emu::currentSessionId();
  logEvent("start launch=" + std::to_string(launch) + " session=" + std::to_string(session) +
           " parent=" + std::to_string(::getppid()) + " args=" + std::to_string(argc - 1));

  if (settings.value("spawnChild") == "1") startChild();
  const bool ignoreCtrlC = settings.value("ignoreCtrlC") == "1";
  const bool timed = settings.has("exitAfterMs");
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.number("exitAfterMs", 0));

  for (;;) {
    int sig;
    if (timed) {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      timespec ts{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
      sig = ::sigtimedwait(&wanted, nullptr, &ts);
      if (sig < 0) continue; // time-out (checked above) or interrupted
    } else {
      if (::sigwait(&wanted, &sig) != 0) continue;
    }
    if (sig == SIGINT) {
      if (ignoreCtrlC) {
        logEvent("ctrl-c ignored");
        continue;
      }
      logEvent("ctrl-c");
      if (settings.has("writeExitCode")) writeExitCodeValue(static_cast<DWORD>(settings.number("writeExitCode", 0)));
      finish(0);
    }
    if (sig == SIGHUP) {
      logEvent("logoff");
      writeExitCodeValue(kLogoffMarker);
      finish(0);
    }
    logEvent("terminate");
    finish(1);
  }
  if (settings.has("writeExitCode")) writeExitCodeValue(static_cast<DWORD>(settings.number("writeExitCode", 0)));
  finish(static_cast<DWORD>(settings.number("exitCode", 0)));
}
