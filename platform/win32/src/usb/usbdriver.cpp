// CreateFile on the interface paths of USB host controllers and hubs, and DeviceIoControl answering the requests of
// the host-controller and hub drivers from the machine's USB topology.
#include <windows.h>
#include <usbioctl.h>
#include <usb.h>
#include <usbuser.h>

#include "emu/emu.h"
#include "emu/usb.h"
#include <cfgmgr32.h>
#include "emu/devices.h"
#include "usb/topology.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace emu::usb {

namespace {

std::atomic<size_t> g_open{0};
std::atomic<size_t> g_maxOpen{0};

struct Journal {
  std::mutex mutex;
  std::vector<Request> requests;
};
Journal &journal() {
  static Journal *j = new Journal;
  return *j;
}

// A controller or hub opened by CreateFile; it answers from the topology it was opened on.
struct DriverHandle : KernelObject {
  std::shared_ptr<const Topology> topology;
  const Controller *controller = nullptr;
  const Hub *hub = nullptr;
  DriverHandle() {
    size_t now = ++g_open;
    size_t seen = g_maxOpen.load();
    while (now > seen && !g_maxOpen.compare_exchange_weak(seen, now)) {
    }
  }
  ~DriverHandle() override { --g_open; }
  const char *typeName() const override { return "UsbDriver"; }
  std::string name() const { return hub ? hub->name : controller->device; }
};

void note(const DriverHandle &h, DWORD ioctl, ULONG port = 0, USHORT wValue = 0, USHORT wIndex = 0) {
  Journal &j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  j.requests.push_back({h.name(), ioctl, port, wValue, wIndex});
}

// "\\?\X" and "\\.\X" both name X; everything else is no device of ours.
bool stripPrefix(const std::string &path, std::string *rest) {
  if (path.size() < 5 || path[0] != '\\' || path[1] != '\\' || (path[2] != '?' && path[2] != '.') || path[3] != '\\')
    return false;
  *rest = path.substr(4);
  return true;
}

// The instance id inside an interface path: "PCI#VEN_8086&DEV_A36D#3&11583659&0&A0#{guid}" -> "PCI\VEN_...\3&...".
std::string instanceIdOf(const std::string &name) {
  std::string id = name;
  size_t guid = id.rfind("#{");
  if (guid != std::string::npos) id.resize(guid);
  std::replace(id.begin(), id.end(), '#', '\\');
  return id;
}

DWORD open(const std::string &path, std::shared_ptr<DriverHandle> *out) {
  std::string name;
  if (!stripPrefix(path, &name)) return ERROR_FILE_NOT_FOUND;
  std::string error;
  auto topology = currentTopology(&error);
  if (!topology) return ERROR_FILE_NOT_FOUND;
  auto handle = std::make_shared<DriverHandle>();
  handle->topology = topology;
  for (const Hub *hub : topology->hubs()) {
    if (sameId(hub->name, name)) {
      handle->hub = hub;
      *out = handle;
      return 0;
    }
  }
  std::string id = instanceIdOf(name);
  if (auto owner = emu::dev::findInterfaceOwner(path)) id = owner->instanceId;
  for (const Controller &c : topology->controllers) {
    if (sameId(c.device, id)) {
      handle->controller = &c;
      *out = handle;
      return 0;
    }
  }
  for (const Hub *hub : topology->hubs()) {
    if (!hub->device.empty() && sameId(hub->device, id)) {
      handle->hub = hub;
      *out = handle;
      return 0;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

// --- replies -------------------------------------------------------------------------------------

struct Io {
  const BYTE *in;
  DWORD inSize;
  BYTE *out;
  DWORD outSize;
  DWORD returned = 0;
  DWORD delivered = 0; // bytes that reach the caller when more than reported (a stack that miscounts); else returned
};

template <class T> T readIn(const Io &io) {
  T value{};
  std::memcpy(&value, io.in, std::min<size_t>(sizeof(T), io.inSize));
  return value;
}

ULONG portOf(const Io &io) { return io.inSize >= sizeof(ULONG) ? readIn<ULONG>(io) : 0; }

// A counted UTF-16 name: the whole record when it fits, else only its fixed part with ActualLength set.
// header: bytes before the name; faults may report another ActualLength or byte count.
DWORD countedName(Io &io, DWORD header, const std::u16string &name, const Faults &faults, const char *lengthFault,
                  const char *returnedFault) {
  if (io.outSize < header + sizeof(WCHAR)) return ERROR_INVALID_PARAMETER;
  const DWORD needed = header + static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR));
  const DWORD reported = static_cast<DWORD>(faults.get(lengthFault, needed));
  std::memcpy(io.out + header - sizeof(ULONG), &reported, sizeof(ULONG));
  if (io.outSize < needed) {
    io.returned = header + sizeof(WCHAR);
    std::memset(io.out + header, 0, sizeof(WCHAR));
  } else {
    std::memcpy(io.out + header, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    io.returned = needed;
  }
  if (faults.has(returnedFault)) io.returned = static_cast<DWORD>(std::min<long long>(faults.get(returnedFault, 0), io.outSize));
  return 0;
}

std::u16string utf16(const std::string &s) { return emu::toUtf16(s); }

// PCI ids from "PCI\VEN_8086&DEV_A36D&...&REV_10\...".
ULONG pciField(const std::string &id, const char *key) {
  size_t at = id.find(key);
  return at == std::string::npos ? 0 : static_cast<ULONG>(std::strtoul(id.c_str() + at + std::strlen(key), nullptr, 16));
}

DWORD userRequest(const DriverHandle &h, Io &io) {
  if (io.inSize < sizeof(USBUSER_REQUEST_HEADER) || io.outSize < sizeof(USBUSER_REQUEST_HEADER))
    return ERROR_INVALID_PARAMETER;
  auto header = readIn<USBUSER_REQUEST_HEADER>(io);
  if (header.RequestBufferLength > io.inSize || header.RequestBufferLength > io.outSize) return ERROR_INVALID_PARAMETER;
  const Faults &f = h.controller->faults;
  std::memcpy(io.out, io.in, std::min(io.inSize, io.outSize));
  auto *reply = reinterpret_cast<USBUSER_REQUEST_HEADER *>(io.out);
  io.returned = header.RequestBufferLength;
  if (header.UsbUserRequest == USBUSER_GET_POWER_STATE_MAP) {
    if (f.has("failPower")) return static_cast<DWORD>(f.get("failPower", ERROR_GEN_FAILURE));
    if (header.RequestBufferLength < sizeof(USBUSER_POWER_INFO_REQUEST)) {
      reply->UsbUserStatus = UsbUserBufferTooSmall;
      return 0;
    }
    auto *power = reinterpret_cast<USBUSER_POWER_INFO_REQUEST *>(io.out);
    const WDMUSB_POWER_STATE state = power->PowerInformation.SystemState;
    if (state < WdmUsbPowerSystemWorking || state > WdmUsbPowerSystemShutdown) {
      reply->UsbUserStatus = UsbUserInvalidParameter;
      return 0;
    }
    const bool working = state == WdmUsbPowerSystemWorking;
    power->PowerInformation.HcDevicePowerState = working ? WdmUsbPowerDeviceD0 : WdmUsbPowerDeviceD3;
    power->PowerInformation.HcDeviceWake = working ? WdmUsbPowerNotMapped : WdmUsbPowerDeviceD2;
    power->PowerInformation.HcSystemWake = WdmUsbPowerSystemSleeping3;
    power->PowerInformation.RhDevicePowerState = working ? WdmUsbPowerDeviceD0 : WdmUsbPowerDeviceD3;
    power->PowerInformation.RhDeviceWake = working ? WdmUsbPowerNotMapped : WdmUsbPowerDeviceD2;
    power->PowerInformation.RhSystemWake = WdmUsbPowerSystemSleeping3;
    power->PowerInformation.LastSystemSleepState = WdmUsbPowerNotMapped;
    power->PowerInformation.CanWakeup = state <= WdmUsbPowerSystemSleeping3;
    power->PowerInformation.IsPowered = working;
    reply->UsbUserStatus = UsbUserSuccess;
    reply->ActualBufferLength = sizeof(USBUSER_POWER_INFO_REQUEST);
    return 0;
  }
  if (header.UsbUserRequest == USBUSER_GET_CONTROLLER_INFO_0) {
    if (f.has("failInfo")) return static_cast<DWORD>(f.get("failInfo", ERROR_GEN_FAILURE));
    if (header.RequestBufferLength < sizeof(USBUSER_CONTROLLER_INFO_0)) {
      reply->UsbUserStatus = UsbUserBufferTooSmall;
      return 0;
    }
    auto *info = reinterpret_cast<USBUSER_CONTROLLER_INFO_0 *>(io.out);
    info->Info0.PciVendorId = pciField(h.controller->device, "VEN_");
    info->Info0.PciDeviceId = pciField(h.controller->device, "DEV_");
    info->Info0.PciRevision = pciField(h.controller->device, "REV_");
    info->Info0.NumberOfRootPorts = h.controller->rootHub ? h.controller->rootHub->portCount : 0;
    info->Info0.ControllerFlavor = USB_HcGeneric;
    info->Info0.HcFeatureFlags = 0;
    reply->UsbUserStatus = UsbUserSuccess;
    reply->ActualBufferLength = sizeof(USBUSER_CONTROLLER_INFO_0);
    return 0;
  }
  reply->UsbUserStatus = UsbUserInvalidRequestCode;
  return 0;
}

DWORD controllerRequest(const DriverHandle &h, DWORD code, Io &io) {
  note(h, code);
  const Controller &c = *h.controller;
  switch (code) {
  case IOCTL_GET_HCD_DRIVERKEY_NAME: {
    const std::string key = c.driverKey.empty() ? driverKeyOf(c.device) : c.driverKey;
    return countedName(io, sizeof(ULONG), utf16(key), c.faults, "driverKeyActualLength", "driverKeyReturned");
  }
  case IOCTL_USB_GET_ROOT_HUB_NAME:
    if (!c.rootHub) return ERROR_INVALID_FUNCTION;
    return countedName(io, sizeof(ULONG), utf16(c.rootHub->name), c.faults, "rootHubActualLength",
                       "rootHubReturned");
  case IOCTL_USB_USER_REQUEST:
    return userRequest(h, io);
  default:
    return ERROR_INVALID_FUNCTION;
  }
}

void fillHubDescriptor(const Hub &hub, USB_HUB_DESCRIPTOR *d) {
  d->bDescriptorLength = 9;
  d->bDescriptorType = hub.hubType == 3 ? 0x2A : 0x29;
  d->bNumberOfPorts = static_cast<UCHAR>(std::min<ULONG>(hub.portCount, 255));
  d->bPowerOnToPowerGood = 50;
}

// Endpoint descriptors of a configuration set: the open pipes of a configured device.
std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints(const std::string &config) {
  std::vector<USB_ENDPOINT_DESCRIPTOR> out;
  for (size_t at = 0; at + 2 <= config.size() && static_cast<UCHAR>(config[at]) >= 2;
       at += static_cast<UCHAR>(config[at])) {
    if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at + sizeof(USB_ENDPOINT_DESCRIPTOR) <= config.size()) {
      USB_ENDPOINT_DESCRIPTOR e;
      std::memcpy(&e, config.data() + at, sizeof(e));
      out.push_back(e);
    }
  }
  return out;
}

// Connection information, EX or the older form (LowSpeed in place of Speed; both records share the layout).
DWORD connectionInfo(const Port &p, bool ex, Io &io) {
  if (io.outSize < sizeof(USB_NODE_CONNECTION_INFORMATION_EX)) return ERROR_INSUFFICIENT_BUFFER;
  std::memset(io.out, 0, io.outSize);
  auto *info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION_EX *>(io.out);
  info->ConnectionIndex = p.number;
  info->ConnectionStatus = static_cast<USB_CONNECTION_STATUS>(p.status);
  io.returned = sizeof(USB_NODE_CONNECTION_INFORMATION_EX);
  if (p.status == NoDeviceConnected) return 0;
  std::memcpy(&info->DeviceDescriptor, p.deviceDescriptor.data(),
              std::min(p.deviceDescriptor.size(), sizeof(USB_DEVICE_DESCRIPTOR)));
  // The hub driver reports a SuperSpeed device as high speed here; the V2 flags tell the rest.
  info->Speed = ex ? static_cast<UCHAR>(std::min<UCHAR>(p.speed, UsbHighSpeed)) : (p.speed == UsbLowSpeed);
  info->DeviceIsHub = p.hub != nullptr;
  info->DeviceAddress = p.address;
  if (p.status == DeviceConnected && p.configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    info->CurrentConfigurationValue = static_cast<UCHAR>(p.configuration[5]);
    auto pipes = endpoints(p.configuration);
    size_t room = (io.outSize - sizeof(USB_NODE_CONNECTION_INFORMATION_EX)) / sizeof(USB_PIPE_INFO);
    size_t n = std::min(pipes.size(), room);
    info->NumberOfOpenPipes = static_cast<ULONG>(pipes.size());
    for (size_t i = 0; i < n; ++i) {
      USB_PIPE_INFO pipe{};
      pipe.EndpointDescriptor = pipes[i];
      std::memcpy(io.out + sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + i * sizeof(USB_PIPE_INFO), &pipe, sizeof(pipe));
    }
    io.returned += static_cast<DWORD>(n * sizeof(USB_PIPE_INFO));
  }
  return 0;
}

DWORD descriptorRequest(const DriverHandle &h, const Port &p, Io &io) {
  if (io.inSize < sizeof(USB_DESCRIPTOR_REQUEST) || io.outSize < sizeof(USB_DESCRIPTOR_REQUEST))
    return ERROR_INVALID_PARAMETER;
  auto request = readIn<USB_DESCRIPTOR_REQUEST>(io);
  note(h, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, p.number, request.SetupPacket.wValue,
       request.SetupPacket.wIndex);
  if (p.status != DeviceConnected) return ERROR_GEN_FAILURE;
  const UCHAR type = static_cast<UCHAR>(request.SetupPacket.wValue >> 8);
  const UCHAR index = static_cast<UCHAR>(request.SetupPacket.wValue & 0xFF);
  const std::string *bytes = p.descriptor(type, index, request.SetupPacket.wIndex);
  if (!bytes) return ERROR_GEN_FAILURE; // the device stalls the request
  std::string data = *bytes;
  // A device whose configuration set grows or shrinks between the two requests.
  if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.SetupPacket.wLength > sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
      p.faults.has("configTotalLengthSecond") && data.size() >= 4) {
    USHORT total = static_cast<USHORT>(p.faults.get("configTotalLengthSecond", 0));
    std::memcpy(&data[2], &total, sizeof(total));
  }
  const size_t room = io.outSize - sizeof(USB_DESCRIPTOR_REQUEST);
  const size_t n = std::min({static_cast<size_t>(request.SetupPacket.wLength), room, data.size()});
  std::memmove(io.out, io.in, sizeof(USB_DESCRIPTOR_REQUEST));
  std::memcpy(io.out + sizeof(USB_DESCRIPTOR_REQUEST), data.data(), n);
  io.returned = static_cast<DWORD>(sizeof(USB_DESCRIPTOR_REQUEST) + n);
  // A reply counted short: the bytes written still reach the caller, beyond the count it reports.
  if (type == USB_STRING_DESCRIPTOR_TYPE) {
    auto it = p.faults.stringReturned.find(index);
    if (it != p.faults.stringReturned.end()) {
      io.delivered = io.returned;
      io.returned = static_cast<DWORD>(std::min<long long>(it->second, io.outSize));
    }
  }
  return 0;
}

DWORD hubRequest(const DriverHandle &h, DWORD code, Io &io) {
  const Hub &hub = *h.hub;
  if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) {
    const Port *p = hub.port(portOf(io));
    if (!p) {
      note(h, code, portOf(io));
      return ERROR_INVALID_PARAMETER;
    }
    return descriptorRequest(h, *p, io);
  }
  note(h, code, code == IOCTL_USB_GET_NODE_INFORMATION || code == IOCTL_USB_GET_HUB_INFORMATION_EX ||
                        code == IOCTL_USB_GET_HUB_CAPABILITIES_EX
                    ? 0
                    : portOf(io));
  switch (code) {
  case IOCTL_USB_GET_NODE_INFORMATION: {
    if (io.outSize < sizeof(USB_NODE_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
    USB_NODE_INFORMATION info{};
    info.NodeType = UsbHub;
    fillHubDescriptor(hub, &info.u.HubInformation.HubDescriptor);
    std::memcpy(io.out, &info, sizeof(info));
    io.returned = sizeof(info);
    return 0;
  }
  case IOCTL_USB_GET_HUB_INFORMATION_EX: {
    if (hub.faults.unsupported.count("infoEx")) return ERROR_INVALID_FUNCTION;
    if (io.outSize < sizeof(USB_HUB_INFORMATION_EX)) return ERROR_INSUFFICIENT_BUFFER;
    USB_HUB_INFORMATION_EX info{};
    info.HubType = static_cast<USB_HUB_TYPE>(hub.hubType);
    info.HighestPortNumber = static_cast<USHORT>(hub.portCount);
    fillHubDescriptor(hub, &info.u.UsbHubDescriptor);
    std::memcpy(io.out, &info, sizeof(info));
    io.returned = sizeof(info);
    return 0;
  }
  case IOCTL_USB_GET_HUB_CAPABILITIES_EX: {
    if (hub.faults.unsupported.count("capabilities")) return ERROR_INVALID_FUNCTION;
    if (io.outSize < sizeof(USB_HUB_CAPABILITIES_EX)) return ERROR_INSUFFICIENT_BUFFER;
    USB_HUB_CAPABILITIES_EX caps{};
    caps.CapabilityFlags.HubIsHighSpeedCapable = 1;
    caps.CapabilityFlags.HubIsHighSpeed = 1;
    caps.CapabilityFlags.HubIsRoot = hub.root;
    std::memcpy(io.out, &caps, sizeof(caps));
    io.returned = sizeof(caps);
    return 0;
  }
  default:
    break;
  }

  if (io.inSize < sizeof(ULONG)) return ERROR_INVALID_PARAMETER;
  const Port *p = hub.port(portOf(io));
  if (!p) return ERROR_INVALID_PARAMETER;
  const Faults &f = p->faults;
  switch (code) {
  case IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES: {
    if (hub.faults.unsupported.count("connector") || f.unsupported.count("connector")) return ERROR_INVALID_FUNCTION;
    if (io.inSize < sizeof(USB_PORT_CONNECTOR_PROPERTIES) || io.outSize < sizeof(USB_PORT_CONNECTOR_PROPERTIES))
      return ERROR_INVALID_PARAMETER;
    const DWORD header = offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionHubSymbolicLinkName);
    const DWORD needed = header + static_cast<DWORD>((p->companionHub.size() + 1) * sizeof(WCHAR));
    USB_PORT_CONNECTOR_PROPERTIES props{};
    props.ConnectionIndex = p->number;
    props.ActualLength = static_cast<ULONG>(f.get("connectorActualLength", needed));
    props.UsbPortProperties.ul = p->connectorProperties;
    props.CompanionIndex = p->companionIndex;
    props.CompanionPortNumber = p->companionPort;
    std::memcpy(io.out, &props, sizeof(props));
    if (io.outSize >= needed) {
      std::memcpy(io.out + header, p->companionHub.c_str(), (p->companionHub.size() + 1) * sizeof(WCHAR));
      io.returned = needed;
    } else {
      io.returned = sizeof(props);
    }
    return 0;
  }
  case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2: {
    if (hub.faults.unsupported.count("v2") || f.unsupported.count("v2")) return ERROR_INVALID_FUNCTION;
    if (io.inSize < sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2) ||
        io.outSize < sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2))
      return ERROR_INVALID_PARAMETER;
    auto v2 = readIn<USB_NODE_CONNECTION_INFORMATION_EX_V2>(io);
    if (v2.Length != sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2)) return ERROR_INVALID_PARAMETER;
    v2.SupportedUsbProtocols.ul &= p->v2Protocols;
    v2.Flags.ul = p->status == DeviceConnected ? p->v2Flags : 0;
    std::memcpy(io.out, &v2, sizeof(v2));
    io.returned = sizeof(v2);
    return 0;
  }
  case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
    if (hub.faults.unsupported.count("ex") || f.unsupported.count("ex")) return ERROR_INVALID_FUNCTION;
    return connectionInfo(*p, true, io);
  case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
    return connectionInfo(*p, false, io);
  case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME: {
    if (io.inSize < sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME)) return ERROR_INVALID_PARAMETER;
    if (p->status == NoDeviceConnected) return ERROR_INVALID_PARAMETER;
    std::memcpy(io.out, &p->number, sizeof(ULONG));
    const std::string key = p->driverKey.empty() ? driverKeyOf(p->device) : p->driverKey;
    return countedName(io, 2 * sizeof(ULONG), utf16(key), f, "driverKeyActualLength", "driverKeyReturned");
  }
  case IOCTL_USB_GET_NODE_CONNECTION_NAME: {
    if (io.inSize < sizeof(USB_NODE_CONNECTION_NAME)) return ERROR_INVALID_PARAMETER;
    std::memcpy(io.out, &p->number, sizeof(ULONG));
    // A port without a hub has an empty name.
    return countedName(io, 2 * sizeof(ULONG), p->hub ? utf16(p->hub->name) : std::u16string(), f,
                       "hubNameActualLength", "hubNameReturned");
  }
  default:
    return ERROR_INVALID_FUNCTION;
  }
}

} // namespace

HANDLE createDeviceFile(const std::string &path, DWORD disposition) {
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING) { // a device is never created
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<DriverHandle> handle;
  if (DWORD error = open(path, &handle)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return insertHandle(handle);
}

std::vector<Request> requests() {
  Journal &j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  return j.requests;
}

void clearRequests() {
  Journal &j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  j.requests.clear();
}

size_t openHandles() { return g_open.load(); }
size_t maxOpenHandles() { return g_maxOpen.load(); }
void resetMaxOpenHandles() { g_maxOpen = g_open.load(); }

} // namespace emu::usb

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD, HANDLE) {
  EMU_FAIL_POINT("CreateFileA", INVALID_HANDLE_VALUE);
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Device paths are ASCII; the code page matters not.
  return emu::usb::createDeviceFile(lpFileName, dwCreationDisposition);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
  EMU_FAIL_POINT("DeviceIoControl", FALSE);
  auto handle = emu::lookupHandleAs<emu::usb::DriverHandle>(hDevice);
  if (!handle) {
    SetLastError(emu::lookupHandle(hDevice) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Documented: without an OVERLAPPED the byte count is required.
  if (!lpBytesReturned && !lpOverlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // METHOD_BUFFERED: the driver sees one system buffer that holds the input and receives the output.
  std::vector<BYTE> system(std::max(nInBufferSize, nOutBufferSize), 0);
  if (nInBufferSize) std::memcpy(system.data(), lpInBuffer, nInBufferSize);
  emu::usb::Io io{system.data(), nInBufferSize, system.data(), nOutBufferSize};
  DWORD error = handle->hub ? emu::usb::hubRequest(*handle, dwIoControlCode, io)
                            : emu::usb::controllerRequest(*handle, dwIoControlCode, io);
  if (lpBytesReturned) *lpBytesReturned = error ? 0 : std::min(io.returned, nOutBufferSize);
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  const DWORD copied = std::min(std::max(io.returned, io.delivered), nOutBufferSize);
  if (copied) std::memcpy(lpOutBuffer, system.data(), copied);
  return TRUE;
}
