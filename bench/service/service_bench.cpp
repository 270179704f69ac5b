// BrimvaultService at time scale 1 under the stand-in control manager, with the stand-in core:
//  - Relaunch: from the moment a core process ends to the moment the next one has started, minus the service's
//    3000 ms wait before every launch (reported as the iteration time; "total_ms" keeps the whole span). Baseline:
//    the same core started directly through the stand-in's CreateProcessW, from the call to its start line.
//  - Watch: the service's CPU time (user + system) over 15 seconds while the core runs. Baseline: the CPU time of
//    the idle core it watches, over the same span.
// Each benchmark makes a machine root and temp folder of its own. Ends with both ratios.
#include <benchmark/benchmark.h>

#include <windows.h>
#include <winsvc.h>

#include "../support/ratio.h"
#include "emu/emu.h"
#include "emu/process.h"
#include "emu/scm.h"

#include <chrono>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kService[] = "BrimvaultService";
constexpr double kLaunchDelayMs = 3000;

std::string binDir() {
  if (const char *dir = std::getenv("BV_BIN_DIR"); dir && *dir) return dir;
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.rfind('/'));
}

// A fresh machine with the service installed and started; stopped and thrown away at the end.
class Machine {
public:
  explicit Machine(const std::string &coreControl, bool withService = true) {
    char pattern[] = "/tmp/bvbench.XXXXXX";
    base = ::mkdtemp(pattern);
    std::string root = base + "/root", temp = base + "/tmp";
    ::mkdir(root.c_str(), 0777);
    ::mkdir(temp.c_str(), 0777);
    ::mkdir((root + "/BrimvaultServer").c_str(), 0777);
    ::setenv("WIN32_ROOT", root.c_str(), 1);
    ::setenv("TMPDIR", temp.c_str(), 1);
    ::setenv("BV_BIN_DIR", binDir().c_str(), 1);
    ::setenv("WIN32_TIME_SCALE", "1", 1);
    emu::resetMachineRoot();
    std::ofstream(root + "/BrimvaultServer/control") << coreControl;
    if (!withService) {
      ok = true;
      return;
    }
    emu::scm::ServiceConfig config;
    config.name = kService;
    config.binaryPath = "\"" + binDir() + "/BrimvaultService\"";
    const DWORD created = emu::scm::createService(config);
    const DWORD started = created == 0 ? emu::scm::startService(kService) : created;
    ok = started == 0;
    if (!ok) std::fprintf(stderr, "service not started: error %u\n", static_cast<unsigned>(started));
    servicePid = emu::scm::queryService(kService).processId;
    withService_ = true;
  }
  ~Machine() {
    if (withService_) {
      emu::scm::sendControl(kService, SERVICE_CONTROL_STOP);
      emu::scm::waitForState(kService, SERVICE_STOPPED, 60000);
    }
    auto others = [] {
      std::vector<pid_t> pids;
      for (const auto &p : emu::listProcesses())
        if (p.pid != static_cast<DWORD>(::getpid())) pids.push_back(static_cast<pid_t>(p.pid));
      return pids;
    };
    for (pid_t pid : others()) ::kill(pid, SIGKILL);
    // Gone before the root goes, so that nothing records its end into a removed root.
    for (int i = 0; i < 500 && !others().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (std::system(("rm -rf '" + base + "'").c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", base.c_str());
    ::unsetenv("WIN32_ROOT"); // this process's own exit is not recorded into the removed root
  }

  int coreLaunches() const {
    std::ifstream in(emu::machineRoot() + "/BrimvaultServer/log");
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(" start launch=") != std::string::npos;
    return n;
  }

  // Pid of the n-th core launched on this machine, waiting for it up to `limit`; 0 when it did not come.
  DWORD corePid(int launch, std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) const {
    const std::string key = " start launch=" + std::to_string(launch) + " ";
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      std::ifstream in(emu::machineRoot() + "/BrimvaultServer/log");
      for (std::string line; std::getline(in, line);)
        if (line.find(key) != std::string::npos) return static_cast<DWORD>(std::stoul(line));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return 0;
  }

  std::string base;
  bool ok = false;
  DWORD servicePid = 0;

private:
  bool withService_ = false;
};

// The moment a process ends (it need not be our child).
Clock::time_point waitForEnd(DWORD pid) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 60000);
    ::close(fd);
  } else {
    while (::kill(static_cast<pid_t>(pid), 0) == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return Clock::now();
}

// CPU time of every thread of a process, in nanoseconds (the scheduler's own accounting, finer than clock ticks).
double cpuSeconds(DWORD pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  if (DIR *d = ::opendir(dir.c_str())) {
    while (dirent *e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(dir + "/" + e->d_name + "/schedstat");
      unsigned long long onCpuNs = 0;
      if (in >> onCpuNs) total += static_cast<double>(onCpuNs) / 1e9;
    }
    ::closedir(d);
  }
  return total;
}

void BM_RelaunchBeyondLaunchDelay(benchmark::State &state) {
  // Every core ends by itself 300 ms after its start.
  Machine machine("exitAfterMs=300\n");
  if (!machine.ok) {
    state.SkipWithError("the service did not start");
    return;
  }
  int launch = 1;
  double totalMs = 0;
  for (auto _ : state) {
    DWORD core = machine.corePid(launch);
    if (core == 0) {
      state.SkipWithError("no core launch");
      return;
    }
    Clock::time_point ended = waitForEnd(core);
    if (machine.corePid(launch + 1) == 0) {
      state.SkipWithError("no relaunch");
      return;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - ended).count();
    totalMs += ms;
    state.SetIterationTime((ms - kLaunchDelayMs) / 1000.0);
    ++launch;
  }
  state.counters["total_ms"] = benchmark::Counter(totalMs / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_RelaunchBeyondLaunchDelay)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The baseline of the relaunch: the stand-in's own cost of starting the core, without the service.
void BM_BareCoreLaunch(benchmark::State &state) {
  Machine machine("", false);
  std::u16string command = emu::toUtf16("\"" + emu::windowsPath(binDir() + "/BrimvaultServer.exe") + "\"");
  int launch = 1;
  for (auto _ : state) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const auto start = Clock::now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      std::fprintf(stderr, "CreateProcessW failed: error %u\n", static_cast<unsigned>(GetLastError()));
      state.SkipWithError("CreateProcessW failed");
      return;
    }
    const bool started = machine.corePid(launch) != 0;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    if (!started) {
      state.SkipWithError("the core did not start");
      return;
    }
    ++launch;
  }
}
BENCHMARK(BM_BareCoreLaunch)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

constexpr int kWatchSeconds = 15;

void BM_ServiceCpuWhileWatching(benchmark::State &state) {
  Machine machine("");
  const DWORD core = machine.ok ? machine.corePid(1) : 0;
  if (core == 0) {
    state.SkipWithError("the core did not start");
    return;
  }
  double cpu = 0, coreCpu = 0;
  for (auto _ : state) {
    const double before = cpuSeconds(machine.servicePid), coreBefore = cpuSeconds(core);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kWatchSeconds));
    cpu = cpuSeconds(machine.servicePid) - before;
    coreCpu = cpuSeconds(core) - coreBefore;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.counters["service_cpu_ms"] = benchmark::Counter(cpu * 1000.0);
  state.counters["core_cpu_ms"] = benchmark::Counter(coreCpu * 1000.0);
  state.counters["core_launches"] = benchmark::Counter(machine.coreLaunches());
}
BENCHMARK(BM_ServiceCpuWhileWatching)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv) {
  benchratio::Reporter reporter;
  if (!benchratio::run(&argc, argv, reporter)) return 1;
  benchratio::printRatio("relaunch beyond the 3000 ms wait / bare core launch",
                         reporter.seconds("BM_RelaunchBeyondLaunchDelay/iterations:5/manual_time") * 1e3,
                         reporter.seconds("BM_BareCoreLaunch/iterations:5/manual_time") * 1e3, "ms");
  const std::string watch = "BM_ServiceCpuWhileWatching/iterations:1/manual_time";
  benchratio::printRatio("service CPU / watched core CPU, 15 s", reporter.counter(watch, "service_cpu_ms"),
                         reporter.counter(watch, "core_cpu_ms"), "ms");
  return 0;
}
