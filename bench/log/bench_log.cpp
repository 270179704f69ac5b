// Cost of a log line: an enabled line written through our back end to its file, and a call site whose level is off,
// against the floor: one bare write(2) of the same formatted line to the same kind of file (a file opened for
// appending in the same folder). The back end hands every line to the kernel before it returns, so the floor is
// what any back end with that durability pays at least. Ends with the enabled line's ratio against the floor.
#include <benchmark/benchmark.h>

#include "../support/ratio.h"
#include "Log/log.h"

#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string g_folder;
std::string g_line; // one line exactly as the back end wrote it, newline included
int g_floorFd = -1;

// Stands in for the GetLastError() a disabled line would print.
DWORD errorCode() { return GetLastError(); }

void enabledLine(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) LOGI("device %d changed state to %s (code 0x%x)", ++i, "present", 0x1f);
  state.SetItemsProcessed(state.iterations());
}

void bareWrite(benchmark::State &state) {
  for (auto _ : state) {
    if (::write(g_floorFd, g_line.data(), g_line.size()) != static_cast<ssize_t>(g_line.size())) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void disabledCallSite(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) LOGD("device %d changed state to %s (code 0x%lx)", ++i, "present", (unsigned long)errorCode());
  benchmark::DoNotOptimize(i);
}

// The last line of the back end's file in the folder.
std::string lastLoggedLine(const std::string &folder) {
  std::string last;
  if (DIR *dir = ::opendir(folder.c_str())) {
    while (dirent *e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name.rfind("bench_", 0) != 0) continue;
      std::ifstream in(folder + "/" + name);
      for (std::string line; std::getline(in, line);) last = line + "\n";
    }
    ::closedir(dir);
  }
  return last;
}

} // namespace

BENCHMARK(enabledLine)->Name("enabled_line/bvlog_xlog");
BENCHMARK(bareWrite)->Name("enabled_line/floor_bare_write");
BENCHMARK(enabledLine)->Name("enabled_line/bvlog_xlog")->Threads(8)->UseRealTime();
BENCHMARK(disabledCallSite)->Name("disabled_call_site/bvlog_LOGD_at_info");

int main(int argc, char **argv) {
  const char *tmp = std::getenv("TMPDIR");
  g_folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_log.XXXXXX";
  if (!mkdtemp(g_folder.data())) return 2;

  xlogger_SetLevel(kLevelInfo);
  appender_set_console_log_export(0);
  LogAppenderConfig config{g_folder.c_str(), "bench", "", g_folder.c_str(), 5};
  appender_open_export(&config);
  LOGI("device %d changed state to %s (code 0x%x)", 1, "present", 0x1f);
  g_line = lastLoggedLine(g_folder);
  g_floorFd = ::open((g_folder + "/floor.xlog").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (g_line.empty() || g_floorFd < 0) return 2;

  benchratio::Reporter reporter;
  const bool ran = benchratio::run(&argc, argv, reporter);
  appender_close_export();
  ::close(g_floorFd);
  if (ran)
    benchratio::printRatio("enabled line / bare write(2) of the same line",
                           reporter.seconds("enabled_line/bvlog_xlog") * 1e9,
                           reporter.seconds("enabled_line/floor_bare_write") * 1e9, "ns");
  const std::string rm = "rm -rf '" + g_folder + "'";
  return std::system(rm.c_str()) == 0 && ran ? 0 : 3;
}
