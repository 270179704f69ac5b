// The USB topology of the machine: host controllers, hubs, ports and what each port's device answers, parsed from the
// device description's "usb" value. Read-only once parsed; handles keep the snapshot they were opened on.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace emu::usb {

// A device or hub made to misbehave the way broken or hostile ones do. Absent values mean "behave".
struct Faults {
  std::map<std::string, long long> values; // e.g. "connectorActualLength", "driverKeyReturned"
  std::set<std::string> unsupported;       // requests answered with ERROR_INVALID_FUNCTION: "connector", "v2", "ex", ...
  std::set<int> failStrings;               // string indexes that stall
  std::map<int, long long> stringReturned; // bytes returned reported for a string index
  bool has(const char *name) const { return values.count(name) != 0; }
  long long get(const char *name, long long otherwise) const {
    auto it = values.find(name);
    return it == values.end() ? otherwise : it->second;
  }
};

struct Hub;

struct Port {
  ULONG number = 0;
  ULONG status = 0; // USB_CONNECTION_STATUS
  std::string device;    // instance id of the attached device
  std::string driverKey; // explicit; else the devnode's
  UCHAR speed = 2;       // USB_DEVICE_SPEED
  USHORT address = 0;
  std::string deviceDescriptor; // 18 bytes or empty
  std::string configuration;    // the configuration set of index 0
  std::string bos;
  std::map<std::pair<int, int>, std::string> strings; // (index, language or -1 for any) -> descriptor bytes
  ULONG connectorProperties = 0;
  USHORT companionIndex = 0, companionPort = 0;
  std::u16string companionHub;
  ULONG v2Protocols = 3; // Usb110 | Usb200
  ULONG v2Flags = 0;
  std::shared_ptr<Hub> hub; // an external hub on this port
  Faults faults;
  // The descriptor bytes for a request, or nullptr when the device stalls it.
  const std::string *descriptor(UCHAR type, UCHAR index, USHORT language) const;
};

struct Hub {
  std::string device; // instance id
  std::string name;   // symbolic name, without "\\.\"
  ULONG hubType = 3;  // USB_HUB_TYPE
  bool root = false;
  ULONG portCount = 0;
  std::vector<Port> ports;
  Faults faults;
  const Port *port(ULONG number) const;
};

struct Controller {
  std::string device;
  std::string driverKey; // explicit; else the devnode's
  std::shared_ptr<Hub> rootHub;
  Faults faults;
};

struct Topology {
  std::vector<Controller> controllers;
  // Depth-first, ancestors before their descendants.
  std::vector<const Hub *> hubs() const;
};

std::shared_ptr<const Topology> parseTopology(const std::string &json, std::string *error);
// The topology in effect for this process: its override, else the machine's "usb" value (empty when none).
std::shared_ptr<const Topology> currentTopology(std::string *error = nullptr);

// Symbolic name of a hub devnode: its instance id with '#' for '\', then the hub interface class.
std::string hubSymbolicName(const std::string &instanceId);
// Instance ids compare without regard to case.
bool sameId(const std::string &a, const std::string &b);
// The driver key of a devnode, "" when the machine has no such node or it has no driver.
std::string driverKeyOf(const std::string &instanceId);
// CreateFile of a device path (a controller or hub); the last error set on failure.
HANDLE createDeviceFile(const std::string &path, DWORD disposition);

} // namespace emu::usb
