// Host processor facts for the power area and PDH; every file is read under a prefix tests may set.
#include "power/host.h"

#include "emu/power.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace emu::power {

namespace {

std::mutex g_mutex;
std::string g_prefix;

std::string prefix() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_prefix;
}

// One number from a sysfs file, 0 when absent.
unsigned long long readNumber(const std::string &path) {
  std::string text;
  if (!readHostFile(path, &text)) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

std::string cpuDir(unsigned cpu) { return "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/"; }

// "cpu MHz" of each processor in /proc/cpuinfo, in processor order.
std::vector<double> cpuinfoMhz() {
  std::vector<double> out;
  std::string text;
  if (!readHostFile("/proc/cpuinfo", &text)) return out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 7, "cpu MHz") != 0) continue;
    size_t colon = line.find(':');
    if (colon != std::string::npos) out.push_back(std::strtod(line.c_str() + colon + 1, nullptr));
  }
  return out;
}

// "@ 2.20GHz" at the end of the model name, as Intel names its parts; 0 when absent.
unsigned modelNameMhz() {
  std::string text;
  if (!readHostFile("/proc/cpuinfo", &text)) return 0;
  size_t name = text.find("model name");
  if (name == std::string::npos) return 0;
  std::string line = text.substr(name, text.find('\n', name) - name);
  size_t at = line.rfind('@');
  if (at == std::string::npos) return 0;
  char *end = nullptr;
  double ghz = std::strtod(line.c_str() + at + 1, &end);
  return (end && std::string(end).find("GHz") != std::string::npos) ? static_cast<unsigned>(std::lround(ghz * 1000)) : 0;
}

} // namespace

void setHostFileRoot(const std::string &p) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_prefix = p;
}

bool readHostFile(const std::string &path, std::string *out) {
  std::ifstream in(prefix() + path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

unsigned processorCount() {
  std::string text;
  if (!readHostFile("/proc/stat", &text)) return 0;
  unsigned n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 3, "cpu") == 0 && line.size() > 3 && std::isdigit(static_cast<unsigned char>(line[3]))) ++n;
  return n;
}

// The base frequency where cpufreq tells it, else the rated clock in the model name, else what /proc/cpuinfo
// reports (a virtual machine's fixed clock).
unsigned nominalMhz() {
  if (unsigned long long khz = readNumber(cpuDir(0) + "base_frequency")) return static_cast<unsigned>(khz / 1000);
  if (unsigned mhz = modelNameMhz()) return mhz;
  if (unsigned long long khz = readNumber(cpuDir(0) + "cpuinfo_max_freq")) return static_cast<unsigned>(khz / 1000);
  std::vector<double> mhz = cpuinfoMhz();
  return mhz.empty() ? 0 : static_cast<unsigned>(std::lround(mhz[0]));
}

ProcessorSample sampleProcessors() {
  ProcessorSample s;
  std::string text;
  if (readHostFile("/proc/stat", &text)) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, 3, "cpu") != 0) continue;
      std::istringstream fields(line);
      std::string name;
      fields >> name;
      unsigned long long v[8] = {};
      for (auto &x : v) fields >> x; // user nice system idle iowait irq softirq steal
      CpuTimes t;
      for (auto x : v) t.total += x;
      t.busy = t.total - v[3] - v[4]; // idle and iowait are idle time, as Windows counts it
      if (name == "cpu")
        s.all = t;
      else
        s.each.push_back(t);
    }
  }
  std::vector<double> info = cpuinfoMhz();
  for (unsigned cpu = 0; cpu < s.each.size(); ++cpu) {
    const unsigned long long cur = readNumber(cpuDir(cpu) + "scaling_cur_freq");
    s.mhz.push_back(cur ? cur / 1000.0 : (cpu < info.size() ? info[cpu] : 0.0));
    const unsigned long long cap = readNumber(cpuDir(cpu) + "scaling_max_freq");
    const unsigned long long top = readNumber(cpuDir(cpu) + "cpuinfo_max_freq");
    if (cap && top && cap < top) s.limitFlags |= 0x1;
  }
  return s;
}

} // namespace emu::power
