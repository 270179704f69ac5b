// Every benchmark program ends with its figure as a ratio against a baseline measured in the same run. This reporter
// prints the runs as usual and keeps each run's time per iteration and counters by name, so main can print that
// ratio last, once every run has finished.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <unistd.h>
#include <map>
#include <string>
#include <vector>

namespace benchratio {

class Reporter : public benchmark::ConsoleReporter {
public:
  // Colours only on a terminal: the figures usually go to a file or a report.
  Reporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      seconds_[name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      for (const auto &counter : run.counters) counters_[name][counter.first] = counter.second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Real seconds per iteration of a run, by the name printed for it; -1 when it did not run.
  double seconds(const std::string &name) const {
    auto it = seconds_.find(name);
    return it == seconds_.end() ? -1 : it->second;
  }
  // A counter of a run; -1 when the run or the counter is missing.
  double counter(const std::string &name, const std::string &key) const {
    auto run = counters_.find(name);
    if (run == counters_.end()) return -1;
    auto it = run->second.find(key);
    return it == run->second.end() ? -1 : it->second;
  }

private:
  std::map<std::string, double> seconds_;
  std::map<std::string, std::map<std::string, double>> counters_;
};

// One closing line: "ratio <what>: <figure> / <baseline> = <ratio>"; "n/a" when a side is missing or the baseline
// measured nothing.
inline void printRatio(const char *what, double figure, double baseline, const char *unit) {
  if (figure < 0 || baseline < 0)
    std::printf("ratio %s: n/a (a run is missing)\n", what);
  else if (baseline == 0)
    std::printf("ratio %s: %.4g %s / 0 %s = n/a (the baseline measured nothing)\n", what, figure, unit, unit);
  else
    std::printf("ratio %s: %.4g %s / %.4g %s = %.3f\n", what, figure, unit, baseline, unit, figure / baseline);
  std::fflush(stdout);
}

// Runs the benchmarks selected on the command line with the reporter; true when they ran.
inline bool run(int *argc, char **argv, Reporter &reporter) {
  benchmark::Initialize(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(*argc, argv)) return false;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return true;
}

} // namespace benchratio
