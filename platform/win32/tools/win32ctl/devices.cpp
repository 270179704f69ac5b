// Device tree commands: device-load (a description file), device-list (in the manner of pnputil /enum-devices),
// device-show (a node's properties), and the state changes tests need: disable, enable, problem, unplug, plug.
#include "command.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <devpkey.h>

#include <cstdio>
#include <cstdlib>

#include "emu/devices.h"
#include "emu/emu.h"

using namespace emu::dev;

namespace {

const char *const kProblemNames[] = {
    "", "CM_PROB_NOT_CONFIGURED", "CM_PROB_DEVLOADER_FAILED", "CM_PROB_OUT_OF_MEMORY", "CM_PROB_ENTRY_IS_WRONG_TYPE",
    "CM_PROB_LACKED_ARBITRATOR", "CM_PROB_BOOT_CONFIG_CONFLICT", "CM_PROB_FAILED_FILTER",
    "CM_PROB_DEVLOADER_NOT_FOUND", "CM_PROB_INVALID_DATA", "CM_PROB_FAILED_START", "CM_PROB_LIAR",
    "CM_PROB_NORMAL_CONFLICT", "CM_PROB_NOT_VERIFIED", "CM_PROB_NEED_RESTART", "CM_PROB_REENUMERATION",
    "CM_PROB_PARTIAL_LOG_CONF", "CM_PROB_UNKNOWN_RESOURCE", "CM_PROB_REINSTALL", "CM_PROB_REGISTRY",
    "CM_PROB_VXDLDR", "CM_PROB_WILL_BE_REMOVED", "CM_PROB_DISABLED", "CM_PROB_DEVLOADER_NOT_READY",
    "CM_PROB_DEVICE_NOT_THERE", "CM_PROB_MOVED", "CM_PROB_TOO_EARLY", "CM_PROB_NO_VALID_LOG_CONF",
    "CM_PROB_FAILED_INSTALL", "CM_PROB_HARDWARE_DISABLED", "CM_PROB_CANT_SHARE_IRQ", "CM_PROB_FAILED_ADD",
    "CM_PROB_DISABLED_SERVICE", "CM_PROB_TRANSLATION_FAILED", "CM_PROB_NO_SOFTCONFIG", "CM_PROB_BIOS_TABLE",
    "CM_PROB_IRQ_TRANSLATION_FAILED", "CM_PROB_FAILED_DRIVER_ENTRY", "CM_PROB_DRIVER_FAILED_PRIOR_UNLOAD",
    "CM_PROB_DRIVER_FAILED_LOAD", "CM_PROB_DRIVER_SERVICE_KEY_INVALID", "CM_PROB_LEGACY_SERVICE_NO_DEVICES",
    "CM_PROB_DUPLICATE_DEVICE", "CM_PROB_FAILED_POST_START", "CM_PROB_HALTED", "CM_PROB_PHANTOM",
    "CM_PROB_SYSTEM_SHUTDOWN", "CM_PROB_HELD_FOR_EJECT", "CM_PROB_DRIVER_BLOCKED", "CM_PROB_REGISTRY_TOO_LARGE",
    "CM_PROB_SETPROPERTIES_FAILED", "CM_PROB_WAITING_ON_DEPENDENCY", "CM_PROB_UNSIGNED_DRIVER",
    "CM_PROB_USED_BY_DEBUGGER", "CM_PROB_DEVICE_RESET", "CM_PROB_CONSOLE_LOCKED", "CM_PROB_NEED_CLASS_CONFIG"};

std::string text(const std::string &id, const DEVPROPKEY &key) {
  std::vector<std::string> v = propertyStrings(id, key);
  return v.empty() ? std::string() : v[0];
}

void field(const char *label, const std::string &value) { std::printf("%-28s%s\n", label, value.c_str()); }

const char *statusWord(const NodeInfo &n) {
  if (!n.present) return "Disconnected";
  if (n.problem == CM_PROB_DISABLED) return "Disabled";
  if (n.problem) return "Problem";
  return (n.status & DN_STARTED) ? "Started" : "Stopped";
}

int deviceLoad(const win32ctl::Args &args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: win32ctl device-load <description.json>\n");
    return 2;
  }
  std::string error;
  if (!loadFile(args[0], &error)) {
    std::fprintf(stderr, "win32ctl: %s\n", error.c_str());
    return 1;
  }
  std::printf("Loaded %zu device nodes and %zu driver packages.\n", nodes().size() - 1, driverPackages().size());
  return 0;
}

int deviceList(const win32ctl::Args &args) {
  bool connectedOnly = args.size() == 1 && (args[0] == "/connected" || args[0] == "--connected");
  if (args.size() > 1 || (args.size() == 1 && !connectedOnly)) {
    std::fprintf(stderr, "usage: win32ctl device-list [/connected]\n");
    return 2;
  }
  std::printf("Microsoft PnP Utility\n\n");
  for (const NodeInfo &n : nodes()) {
    if (n.parent.empty() || (connectedOnly && !n.present)) continue; // the root is not a device
    field("Instance ID:", n.instanceId);
    field("Device Description:", text(n.instanceId, DEVPKEY_Device_DeviceDesc));
    std::string cls = text(n.instanceId, DEVPKEY_Device_Class);
    if (!cls.empty()) field("Class Name:", cls);
    std::optional<PropertyValue> g = property(n.instanceId, DEVPKEY_Device_ClassGuid);
    if (g && g->data.size() == sizeof(GUID)) {
      GUID guid;
      std::memcpy(&guid, g->data.data(), sizeof guid);
      field("Class GUID:", guidText(guid));
    }
    std::string mfg = text(n.instanceId, DEVPKEY_Device_Manufacturer);
    if (!mfg.empty()) field("Manufacturer Name:", mfg);
    field("Status:", statusWord(n));
    if (n.present && n.problem) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "%u (0x%X) [%s]", static_cast<unsigned>(n.problem), static_cast<unsigned>(n.problem),
                    n.problem < sizeof kProblemNames / sizeof kProblemNames[0] ? kProblemNames[n.problem] : "?");
      field("Problem Code:", buf);
    }
    std::string inf = text(n.instanceId, DEVPKEY_Device_DriverInfPath);
    if (!inf.empty()) field("Driver Name:", inf);
    std::printf("\n");
  }
  return 0;
}

int deviceShow(const win32ctl::Args &args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: win32ctl device-show <instance id>\n");
    return 2;
  }
  std::optional<NodeInfo> n = findNode(args[0]);
  if (!n) {
    std::fprintf(stderr, "win32ctl: no device %s\n", args[0].c_str());
    return 1;
  }
  struct Shown {
    const char *label;
    const DEVPROPKEY *key;
  };
  const Shown shown[] = {{"DeviceDesc", &DEVPKEY_Device_DeviceDesc},       {"FriendlyName", &DEVPKEY_Device_FriendlyName},
                         {"HardwareIds", &DEVPKEY_Device_HardwareIds},     {"CompatibleIds", &DEVPKEY_Device_CompatibleIds},
                         {"Class", &DEVPKEY_Device_Class},                 {"Service", &DEVPKEY_Device_Service},
                         {"Manufacturer", &DEVPKEY_Device_Manufacturer},   {"Driver", &DEVPKEY_Device_Driver},
                         {"DriverDesc", &DEVPKEY_Device_DriverDesc},       {"DriverVersion", &DEVPKEY_Device_DriverVersion},
                         {"LocationInfo", &DEVPKEY_Device_LocationInfo},   {"LocationPaths", &DEVPKEY_Device_LocationPaths},
                         {"Parent", &DEVPKEY_Device_Parent},               {"Children", &DEVPKEY_Device_Children}};
  std::printf("%s\n", n->instanceId.c_str());
  std::printf("  %-14s %s, status 0x%08X, problem %u, DEVINST %u, restarts %u, installs %u\n", "State",
              statusWord(*n), static_cast<unsigned>(n->status), static_cast<unsigned>(n->problem),
              static_cast<unsigned>(n->devInst), n->restarts, n->installs);
  for (const Shown &s : shown) {
    std::vector<std::string> v = propertyStrings(n->instanceId, *s.key);
    for (size_t i = 0; i < v.size(); ++i) std::printf("  %-14s %s\n", i ? "" : s.label, v[i].c_str());
  }
  for (const InterfaceInfo &i : n->interfaces)
    std::printf("  %-14s %s%s\n", "Interface", i.symbolicLink.c_str(), i.enabled ? "" : " (not enabled)");
  return 0;
}

int change(const win32ctl::Args &args, size_t count, const char *usage, bool (*apply)(const win32ctl::Args &)) {
  if (args.size() != count) {
    std::fprintf(stderr, "usage: win32ctl %s\n", usage);
    return 2;
  }
  if (!apply(args)) {
    std::fprintf(stderr, "win32ctl: no device %s\n", args[0].c_str());
    return 1;
  }
  return 0;
}

int deviceDisable(const win32ctl::Args &a) {
  return change(a, 1, "device-disable <instance id>", [](const win32ctl::Args &x) { return setEnabled(x[0], false); });
}
int deviceEnable(const win32ctl::Args &a) {
  return change(a, 1, "device-enable <instance id>", [](const win32ctl::Args &x) { return setEnabled(x[0], true); });
}
int deviceProblem(const win32ctl::Args &a) {
  return change(a, 2, "device-problem <instance id> <code>", [](const win32ctl::Args &x) {
    return setProblem(x[0], static_cast<DWORD>(std::strtoul(x[1].c_str(), nullptr, 0)));
  });
}
int deviceUnplug(const win32ctl::Args &a) {
  return change(a, 1, "device-unplug <instance id>", [](const win32ctl::Args &x) { return setPresent(x[0], false); });
}
int devicePlug(const win32ctl::Args &a) {
  return change(a, 1, "device-plug <instance id>", [](const win32ctl::Args &x) { return setPresent(x[0], true); });
}

win32ctl::Command regLoad("device-load", "device-load <file.json>  replace the machine's device tree with a description",
                          &deviceLoad);
win32ctl::Command regList("device-list", "device-list [/connected]  devices in the manner of pnputil /enum-devices",
                          &deviceList);
win32ctl::Command regShow("device-show", "device-show <instance id>  a device's state, properties and interfaces",
                          &deviceShow);
win32ctl::Command regDisable("device-disable", "device-disable <instance id>  disable a device (problem 22)",
                             &deviceDisable);
win32ctl::Command regEnable("device-enable", "device-enable <instance id>  enable a disabled device", &deviceEnable);
win32ctl::Command regProblem("device-problem", "device-problem <instance id> <code>  set a problem code (0 clears it)",
                             &deviceProblem);
win32ctl::Command regUnplug("device-unplug", "device-unplug <instance id>  the device is no longer present",
                            &deviceUnplug);
win32ctl::Command regPlug("device-plug", "device-plug <instance id>  the device is present again", &devicePlug);

} // namespace
