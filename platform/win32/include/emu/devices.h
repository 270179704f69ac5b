// Control of the emulated machine's device tree and driver store, for tests, win32ctl, pnputil and the stand-in's
// other areas (the USB side reads the description's "usb" section). Not part of the Windows API: product code never
// includes this header.
//
// One tree per machine, stored under the machine root (<root>/devices/tree.json) and shared by every process of the
// machine. Instance ids compare without regard to case; text is UTF-8 here. The file format is described in
// platform/win32/src/devices/MODEL.md.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bvwin/base.h"
#include "cfgmgr32.h"
#include "devpropdef.h"

namespace emu::dev {

// Replaces the machine's tree with a description (a JSON file a person writes; INF paths in it are relative to
// the file). Publishes the description's driver packages and writes each driver's Class key in the registry.
// False with a readable reason in *error when the description is not valid.
bool loadFile(const std::string &path, std::string *error = nullptr);
bool loadJson(const std::string &json, const std::string &baseFolder, std::string *error = nullptr);
// The stored tree in the description format (round-trips through loadJson).
std::string saveJson();
// The description's top-level "usb" value as compact JSON text; "" when the description has none.
std::string usbSection();
// Replaces the "usb" value of the stored tree (compact JSON text of an object, or "" to drop it).
bool setUsbSection(const std::string &json);

struct InterfaceInfo {
  GUID classGuid{};
  std::string symbolicLink; // "\\?\USB#VID_1234&PID_5678#SER1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
  bool enabled = true;      // false while the device is not present, disabled or without its driver
};

struct NodeInfo {
  std::string instanceId;
  std::string parent; // "" for the root HTREE\ROOT\0
  std::vector<std::string> children;
  bool present = true;
  DWORD status = 0;  // DN_ bits as CM_Get_DevNode_Status reports them (0 when not present)
  DWORD problem = 0; // CM_PROB_ number, 0 for none
  DEVINST devInst = 0;
  std::string driverKey; // "{class guid}\NNNN", "" without a driver
  bool inUse = false;    // a removal then needs a restart
  unsigned restarts = 0; // DIF_PROPERTYCHANGE restarts (DICS_PROPCHANGE) and successful enables
  unsigned installs = 0; // driver installations on this node
  std::vector<InterfaceInfo> interfaces;
};

// Nodes in the description's order; the root HTREE\ROOT\0 comes first.
std::vector<NodeInfo> nodes();
std::optional<NodeInfo> findNode(const std::string &instanceId);
// The node whose DEVINST this is (stable for the life of the node, across processes).
std::optional<NodeInfo> findNode(DEVINST devInst);
// The owner of an interface, by symbolic link (case-insensitive).
std::optional<NodeInfo> findInterfaceOwner(const std::string &symbolicLink);

struct PropertyValue {
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::string data; // raw bytes as the property calls return them (UTF-16 text with its NULs)
};
// A property of a node by key, as CM_Get_DevNode_PropertyW would give it (synthesised keys included).
std::optional<PropertyValue> property(const std::string &instanceId, const DEVPROPKEY &key);
// The texts of a string or string-list property; empty when absent.
std::vector<std::string> propertyStrings(const std::string &instanceId, const DEVPROPKEY &key);
// Writes a stored property (raw bytes, any type: tests write odd values such as a text without its NUL).
bool setProperty(const std::string &instanceId, const DEVPROPKEY &key, DEVPROPTYPE type, const std::string &data);

// State changes, as the device manager or a driver would cause them. False for an unknown node.
bool setProblem(const std::string &instanceId, DWORD problem);       // 0 clears it
bool setEnabled(const std::string &instanceId, bool enabled);        // disabled = problem 22
bool setPresent(const std::string &instanceId, bool present);        // unplug and plug back
bool setInUse(const std::string &instanceId, bool inUse);

// The driver store.
struct DriverModelInfo {
  std::string description;
  std::string manufacturer;
  std::vector<std::string> hardwareIds;
};
struct DriverPackageInfo {
  std::string publishedName; // "oem3.inf"
  std::string originalName;  // "brimport.inf"
  std::string className;
  GUID classGuid{};
  std::string provider;
  std::string date;    // "mm/dd/yyyy" as DriverVer gives it
  std::string version; // "a.b.c.d"
  std::vector<DriverModelInfo> models;
};
std::vector<DriverPackageInfo> driverPackages();
// Publishes an INF (a host or Windows path) as oemN.inf; an identical package keeps its name (*existed true).
// Returns 0 or a Windows error (ERROR_FILE_NOT_FOUND, ERROR_GENERAL_SYNTAX for an INF without a valid [Version]).
DWORD addDriverPackage(const std::string &infPath, std::string *publishedName, bool *existed = nullptr);
// Installs a published package on every present node that one of its models matches (hardware or compatible id)
// and that does not run that model already (all of them with `force`). *installed counts the nodes; *reboot is
// set when one of them is in use. Returns 0, or ERROR_NO_MORE_ITEMS when no node was updated.
DWORD installDriverPackage(const std::string &publishedName, bool force, unsigned *installed, bool *reboot);

// Text helpers shared with the tools.
std::string guidText(const GUID &g); // "{36fc9e60-c465-11cf-8056-444553540000}"
bool parseGuid(const std::string &text, GUID *out);
bool sameGuid(const GUID &a, const GUID &b);

} // namespace emu::dev
