// Cost of a log line: an enabled line written to a file, and a call site whose level is off, for our back end and
// for spdlog's basic file sink in the same run. Our back end hands every line to the kernel before returning, so
// spdlog is measured both with its default buffering and with a flush per line (the same durability).
#define SPDLOG_ACTIVE_LEVEL SPDLOG_LEVEL_TRACE // keep spdlog's debug call sites as runtime checks, like ours
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "Log/log.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::shared_ptr<spdlog::logger> g_buffered, g_flushed;

// Stands in for the GetLastError() a disabled line would print.
DWORD errorCode() { return GetLastError(); }

void bvlogEnabled(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) LOGI("device %d changed state to %s (code 0x%x)", ++i, "present", 0x1f);
  state.SetItemsProcessed(state.iterations());
}

void bvlogDisabledCallSite(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) LOGD("device %d changed state to %s (code 0x%lx)", ++i, "present", (unsigned long)errorCode());
  benchmark::DoNotOptimize(i);
}

void spdlogEnabled(benchmark::State &state, std::shared_ptr<spdlog::logger> *logger) {
  int i = 0;
  for (auto _ : state) SPDLOG_LOGGER_INFO(*logger, "device {} changed state to {} (code {:#x})", ++i, "present", 0x1f);
  state.SetItemsProcessed(state.iterations());
}

void spdlogDisabledCallSite(benchmark::State &state) {
  int i = 0;
  for (auto _ : state)
    SPDLOG_LOGGER_DEBUG(g_buffered, "device {} changed state to {} (code {:#x})", ++i, "present", errorCode());
  benchmark::DoNotOptimize(i);
}

} // namespace

BENCHMARK(bvlogEnabled)->Name("enabled_line/bvlog_xlog");
BENCHMARK(bvlogEnabled)->Name("enabled_line/bvlog_xlog")->Threads(8)->UseRealTime();
BENCHMARK_CAPTURE(spdlogEnabled, flush_each, &g_flushed)->Name("enabled_line/spdlog_basic_file_flush_each");
BENCHMARK_CAPTURE(spdlogEnabled, flush_each, &g_flushed)
    ->Name("enabled_line/spdlog_basic_file_flush_each")
    ->Threads(8)
    ->UseRealTime();
BENCHMARK_CAPTURE(spdlogEnabled, buffered, &g_buffered)->Name("enabled_line/spdlog_basic_file_buffered");
BENCHMARK(bvlogDisabledCallSite)->Name("disabled_call_site/bvlog_LOGD_at_info");
BENCHMARK(spdlogDisabledCallSite)->Name("disabled_call_site/spdlog_debug_at_info");

int main(int argc, char **argv) {
  const char *tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_log.XXXXXX";
  if (!mkdtemp(folder.data())) return 2;

  xlogger_SetLevel(kLevelInfo);
  appender_set_console_log_export(0);
  LogAppenderConfig config{folder.c_str(), "bench", "", folder.c_str(), 5};
  appender_open_export(&config);

  // Same fields as our line: level, time with ms, pid, tid, tag, file:line, function, message.
  const char *pattern = "%L %Y-%m-%d %H:%M:%S.%e %P %t [UI] %s:%# %! | %v";
  g_buffered = spdlog::basic_logger_mt("buffered", folder + "/spdlog_buffered.log", true);
  g_flushed = spdlog::basic_logger_mt("flushed", folder + "/spdlog_flushed.log", true);
  for (auto &l : {g_buffered, g_flushed}) {
    l->set_pattern(pattern);
    l->set_level(spdlog::level::info);
  }
  g_flushed->flush_on(spdlog::level::info);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  appender_close_export();
  g_buffered.reset();
  g_flushed.reset();
  spdlog::shutdown();
  const std::string rm = "rm -rf '" + folder + "'";
  return std::system(rm.c_str()) == 0 ? 0 : 3;
}
