// Control of the emulated machine's power schemes and processor counters, for tests, win32ctl and the stand-in.
// Not part of the Windows API: product code never includes this header.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu::power {

// The processor settings the machine's schemes carry, in their subgroup.
extern const GUID kProcessorSubgroup;
extern const GUID kThrottleMinimum;
extern const GUID kThrottleMaximum;
extern const GUID kPerfIncreasePolicy;
// Windows' usual schemes.
extern const GUID kBalanced;
extern const GUID kHighPerformance;
extern const GUID kPowerSaver;

struct Setting {
  GUID subgroup;
  GUID setting;
  DWORD ac = 0, dc = 0;
  DWORD minimum = 0, maximum = 0; // the range a write must respect
};

struct Scheme {
  GUID guid;
  std::u16string name;
  std::vector<Setting> settings;
  // false: the name is stored without its NUL (a registry string may lack one), so PowerReadFriendlyName gives
  // exactly its characters and a size without the terminator.
  bool nameTerminated = true;
  Setting *find(const GUID &subgroup, const GUID &setting);
};

struct Machine {
  std::vector<Scheme> schemes;
  GUID active{};
  unsigned applied = 0;                // PowerSetActiveScheme calls that succeeded
  std::string displayLanguage = "en-US"; // the language PdhAddCounterW resolves names in
  Scheme *find(const GUID &scheme);
  const Scheme *find(const GUID &scheme) const;
};

// A snapshot; a new machine has Balanced (active), High performance and Power saver.
Machine load();
// Runs `change` under the area's lock and stores the result when it returns 0 and sets `changed`.
DWORD update(const std::function<DWORD(Machine &, bool &changed)> &change);

std::string guidText(const GUID &g);                  // "381b4222-f694-41f0-9685-ff5bb260df2e"
bool parseGuid(const std::string &text, GUID *out);   // with or without braces, any case
bool sameGuid(const GUID &a, const GUID &b);

// Processor facts of the host. Files are read under this prefix ("" = the real /proc and /sys), so tests can give
// a processor of their own.
void setHostFileRoot(const std::string &prefix);
unsigned nominalMhz(); // 0 when the host does not say
unsigned processorCount();

// PDH queries open in this process (tests check that none is leaked).
size_t openPdhQueries();

} // namespace emu::power
