// A processor of the test's own under a folder that emu::power::setHostFileRoot points at: /proc/stat,
// /proc/cpuinfo and cpufreq files, written anew by each call.
#pragma once

#include <filesystem>
#include <string>

#include "emu/power.h"
#include "testenv.h"

namespace fakehost {

struct Cpu {
  unsigned long long busy, idle; // ticks since boot
  unsigned curMhz;
  unsigned capMhz = 0, maxMhz = 0; // cpufreq's scaling_max_freq and cpuinfo_max_freq, 0 = no cpufreq
};

// Two processors with the same figures; a model name rated at `ratedMhz` ("@ x.xxGHz").
inline void write(const std::string &dir, const Cpu &cpu, unsigned ratedMhz) {
  std::filesystem::create_directories(dir + "/proc");
  for (int i = 0; i < 2 && cpu.maxMhz; ++i)
    std::filesystem::create_directories(dir + "/sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq");
  const std::string line = std::to_string(cpu.busy) + " 0 0 " + std::to_string(cpu.idle) + " 0 0 0 0 0 0\n";
  testenv::writeFile(dir + "/proc/stat", "cpu  " + std::to_string(2 * cpu.busy) + " 0 0 " + std::to_string(2 * cpu.idle) +
                                             " 0 0 0 0 0 0\ncpu0 " + line + "cpu1 " + line + "intr 0\n");
  std::string info;
  for (int i = 0; i < 2; ++i)
    info += "processor\t: " + std::to_string(i) + "\nmodel name\t: Test CPU @ " + std::to_string(ratedMhz / 1000) + "." +
            std::to_string(ratedMhz % 1000 / 10) + "GHz\ncpu MHz\t\t: " + std::to_string(cpu.curMhz) + ".000\n\n";
  testenv::writeFile(dir + "/proc/cpuinfo", info);
  for (int i = 0; i < 2 && cpu.maxMhz; ++i) {
    const std::string f = dir + "/sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq/";
    testenv::writeFile(f + "scaling_cur_freq", std::to_string(cpu.curMhz * 1000) + "\n");
    testenv::writeFile(f + "scaling_max_freq", std::to_string(cpu.capMhz * 1000) + "\n");
    testenv::writeFile(f + "cpuinfo_max_freq", std::to_string(cpu.maxMhz * 1000) + "\n");
  }
  emu::power::setHostFileRoot(dir);
}

} // namespace fakehost
