// What the host's processors say: busy time from /proc/stat, frequencies from cpufreq or /proc/cpuinfo.
#pragma once

#include <string>
#include <vector>

namespace emu::power {

struct CpuTimes {
  unsigned long long busy = 0, total = 0; // clock ticks since boot
};

struct ProcessorSample {
  CpuTimes all;                  // the "cpu" line
  std::vector<CpuTimes> each;    // "cpu0", "cpu1", ...
  std::vector<double> mhz;       // current frequency per processor, 0 when unknown
  unsigned limitFlags = 0;       // non-zero while a processor's frequency is capped below its maximum
};

ProcessorSample sampleProcessors();
// Reads a host file under the prefix that setHostFileRoot set.
bool readHostFile(const std::string &path, std::string *out);

} // namespace emu::power
