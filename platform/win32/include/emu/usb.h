// Control of the emulated machine's USB side, for tests, win32ctl and the fuzz target. Not part of the Windows API:
// product code never includes this header.
//
// The topology is the device description's "usb" value (see platform/win32/src/usb/MODEL.md); host controllers and
// hubs name their devnodes by instance id. CreateFile opens their interface paths, DeviceIoControl answers the
// IOCTLs of the host-controller and hub drivers from it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu::usb {

// Checks a "usb" value (compact or pretty JSON text of an object); false with a reason when it is not valid.
bool validate(const std::string &json, std::string *error = nullptr);
// In this process only, answer from this "usb" value instead of the machine's; "" goes back to the machine's.
bool setTopologyOverride(const std::string &json, std::string *error = nullptr);

// Every IOCTL a controller or hub handle of this process answered or refused, in order.
struct Request {
  std::string device; // the symbolic name of the hub, or the controller's instance id
  DWORD ioctl = 0;
  ULONG port = 0;     // ConnectionIndex where the request has one
  USHORT wValue = 0;  // descriptor requests: type << 8 | index
  USHORT wIndex = 0;  // descriptor requests: language id
};
std::vector<Request> requests();
void clearRequests();

// Controller and hub handles open in this process now, and the most open at once since the last reset.
size_t openHandles();
size_t maxOpenHandles();
void resetMaxOpenHandles();

// The topology as a tree, for win32ctl.
struct PortView {
  ULONG number = 0;
  std::string status;  // "connected", "empty", or the connection status number
  std::string device;  // instance id of the attached device
  std::string speed;   // "low", "full", "high", "super"
  USHORT vendorId = 0, productId = 0;
  std::string manufacturer, product, serial; // from the device's string descriptors (first language), UTF-8
  bool isHub = false;
  size_t hub = 0; // index into TreeView::hubs when isHub
};
struct HubView {
  std::string name;   // symbolic name
  std::string device; // instance id
  std::vector<PortView> ports;
};
struct ControllerView {
  std::string device;
  size_t rootHub = 0; // index into TreeView::hubs
};
struct TreeView {
  std::vector<ControllerView> controllers;
  std::vector<HubView> hubs;
};
// The machine's topology (or this process's override); false with a reason when it cannot be read.
bool tree(TreeView *out, std::string *error = nullptr);

} // namespace emu::usb
