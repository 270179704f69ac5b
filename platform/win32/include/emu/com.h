// Control of the emulated COM runtime and the firewall's rule store, for tests, win32ctl and the stand-in.
// Not part of the Windows API: product code never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu::com {

// Objects made by the runtime and strings from SysAllocString* that are still alive in this process.
long liveObjects();
long liveStrings();

enum class Apartment { None, SingleThreaded, MultiThreaded };
// The calling thread's apartment and how many CoInitializeEx calls are still to be balanced.
Apartment currentApartment();
unsigned initDepth();
const char *nameOf(Apartment a);

} // namespace emu::com

namespace emu::fw {

// One rule as the firewall keeps it. Empty strings are "not set": the getters give a null BSTR for them.
struct Rule {
  uint64_t id = 0; // unique in the machine, never reused
  std::u16string name, description, applicationName, serviceName;
  long protocol = 256;
  std::u16string localPorts, remotePorts;
  std::u16string localAddresses = u"*", remoteAddresses = u"*";
  std::u16string icmpTypesAndCodes;
  long direction = 1; // NET_FW_RULE_DIR_IN
  std::u16string interfaceTypes = u"All";
  bool enabled = false;
  std::u16string grouping;
  long profiles = 0x7FFFFFFF; // NET_FW_PROFILE2_ALL
  bool edgeTraversal = false;
  long action = 1; // NET_FW_ACTION_ALLOW
};

struct Store {
  uint64_t nextId = 1;
  std::vector<Rule> rules; // the order the firewall enumerates them: the order they were added
};

// A snapshot of the machine's rules; readers take no lock.
Store load();
// Runs `change` under the store's lock and writes the result when it returns 0 and sets `changed`.
DWORD update(const std::function<DWORD(Store &, bool &changed)> &change);

// Checks the value of a property the way the rule's setters do; 0 or E_INVALIDARG (as a DWORD).
DWORD checkRule(const Rule &rule);

// The enumerator of this process puts, before each rule, one VT_I4 element and one VT_DISPATCH element holding a
// null pointer, as a malformed collection could; for tests of callers that must skip them.
void setStrayEnumElements(bool on);

std::string utf8(const std::u16string &s);
std::u16string utf16(const std::string &s);

} // namespace emu::fw
