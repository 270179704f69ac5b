// SetupAPI over the machine's device tree: device information sets (elements, interfaces, install parameters,
// driver lists), registry properties, class installer requests and INF classes. Inner functions return 0 or a
// Windows error; each exported call sets it once.
#include <windows.h>
#include <devpkey.h>
#include <setupapi.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "devices/store.h"
#include "emu/account.h"
#include "emu/devices.h"
#include "emu/emu.h"

using namespace emu::dev;

namespace {

struct DriverEntry {
  std::string published;
  size_t model = 0;
  std::string description, manufacturer, provider, date, version;
  unsigned rank = 0;
};

struct Element {
  std::string id;
  GUID classGuid{};
  std::string className;
  DEVINST devInst = 0;
  bool registered = true;
  std::vector<Property> pending; // properties of an element not yet registered
  DWORD installFlags = 0;
  std::string classParams;
  std::vector<Interface> interfaces; // the node's interfaces when the element was added
  std::vector<DriverEntry> compat, classDrivers;
  bool builtCompat = false, builtClass = false;
  bool hasSelected = false;
  DriverEntry selected;
};

struct OpenInterface {
  size_t element;
  Interface itf;
};

struct DevInfoSet {
  bool hasClass = false;
  GUID classGuid{};
  std::vector<Element> elements;
  std::vector<OpenInterface> interfaces;
  DWORD installFlags = 0;
  std::string classParams;
};

std::mutex g_lock; // the set table and every set's contents
std::map<uintptr_t, std::shared_ptr<DevInfoSet>> g_sets;
uintptr_t g_nextSet = 0x5E70010;

DevInfoSet *setOf(HDEVINFO h) {
  auto it = g_sets.find(reinterpret_cast<uintptr_t>(h));
  return it == g_sets.end() ? nullptr : it->second.get();
}

HDEVINFO newSet(std::shared_ptr<DevInfoSet> s) {
  uintptr_t h = g_nextSet;
  g_nextSet += 0x10;
  g_sets[h] = std::move(s);
  return reinterpret_cast<HDEVINFO>(h);
}

GUID nodeClass(const Node &n) {
  GUID g{};
  if (const Property *p = n.find(DEVPKEY_Device_ClassGuid); p && p->data.size() == sizeof g)
    std::memcpy(&g, p->data.data(), sizeof g);
  return g;
}

Element elementFor(const Node &n) {
  Element e;
  e.id = n.id;
  e.classGuid = nodeClass(n);
  e.className = n.text(DEVPKEY_Device_Class);
  e.devInst = n.devInst;
  e.interfaces = n.interfaces;
  return e;
}

size_t addElement(DevInfoSet &s, const Element &e) {
  for (size_t i = 0; i < s.elements.size(); ++i)
    if (sameText(s.elements[i].id, e.id)) return i;
  s.elements.push_back(e);
  return s.elements.size() - 1;
}

void fillData(const DevInfoSet &s, size_t index, SP_DEVINFO_DATA *out) {
  out->ClassGuid = s.elements[index].classGuid;
  out->DevInst = s.elements[index].devInst;
  out->Reserved = index + 1;
}

// The element a caller's SP_DEVINFO_DATA names.
DWORD elementOf(DevInfoSet &s, const SP_DEVINFO_DATA *data, Element **out) {
  if (!data) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  if (data->Reserved == 0 || data->Reserved > s.elements.size()) return ERROR_INVALID_PARAMETER;
  Element &e = s.elements[data->Reserved - 1];
  if (e.devInst != data->DevInst) return ERROR_INVALID_PARAMETER;
  *out = &e;
  return 0;
}

// Boundary helper: sets the error once and returns FALSE, or TRUE for 0.
BOOL finish(DWORD rc) {
  if (rc) {
    SetLastError(rc);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DEVPROPKEY registryKey(DWORD property) {
  DEVPROPKEY k = DEVPKEY_Device_DeviceDesc;
  k.pid = property + 2;
  return k;
}

bool validRegistryProperty(DWORD p) {
  return p < SPDRP_MAXIMUM_PROPERTY && p != SPDRP_UNUSED0 && p != SPDRP_UNUSED1 && p != SPDRP_UNUSED2;
}

// A property of an element, registered or not.
bool elementProperty(const Element &e, const DEVPROPKEY &key, DEVPROPTYPE *type, std::string *data) {
  if (!e.registered) {
    if (sameKey(key, DEVPKEY_Device_InstanceId)) {
      *type = DEVPROP_TYPE_STRING, *data = utf16Bytes(e.id);
      return true;
    }
    for (const Property &p : e.pending)
      if (sameKey(p.key, key)) return *type = p.type, *data = p.data, true;
    return false;
  }
  Tree t = load();
  const Node *n = t.find(e.id);
  return n && readProperty(t, *n, key, type, data);
}

// A registry property in the registry's types; `ansi` converts the texts to the ANSI code page unit by unit, so
// the value keeps its terminators and its length in characters.
DWORD registryValue(const Element &e, DWORD property, bool ansi, DWORD *regType, std::string *bytes) {
  if (!validRegistryProperty(property)) return ERROR_INVALID_REG_PROPERTY;
  DEVPROPTYPE type = 0;
  std::string data;
  if (!elementProperty(e, registryKey(property), &type, &data)) return ERROR_INVALID_DATA;
  if (type == DEVPROP_TYPE_STRING) *regType = REG_SZ;
  else if (type == DEVPROP_TYPE_STRING_LIST) *regType = REG_MULTI_SZ;
  else if (type == DEVPROP_TYPE_UINT32) *regType = REG_DWORD;
  else if (type == DEVPROP_TYPE_GUID && data.size() == sizeof(GUID)) {
    GUID g;
    std::memcpy(&g, data.data(), sizeof g);
    *regType = REG_SZ;
    data = utf16Bytes(guidText(g));
  } else {
    *regType = REG_BINARY;
  }
  if (ansi && (*regType == REG_SZ || *regType == REG_MULTI_SZ)) {
    std::string narrow;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      char16_t c = static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                         (static_cast<unsigned char>(data[i + 1]) << 8));
      if (!c) narrow.push_back('\0');
      else narrow += toAnsi(emu::toUtf8(&c, 1));
    }
    data = narrow;
  }
  *bytes = data;
  return 0;
}

DWORD copySized(const std::string &bytes, PBYTE buffer, DWORD size, PDWORD required) {
  if (required) *required = static_cast<DWORD>(bytes.size());
  if (!buffer && size) return ERROR_INVALID_USER_BUFFER;
  if (size < bytes.size()) return ERROR_INSUFFICIENT_BUFFER;
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  return 0;
}

// ---- device sets ----

DWORD classDevs(const GUID *cls, const std::string *enumerator, DWORD flags, HDEVINFO *out) {
  if (!(flags & DIGCF_ALLCLASSES) && !cls) return ERROR_INVALID_PARAMETER;
  if (flags & ~DWORD(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE))
    return ERROR_INVALID_FLAGS;
  Tree t = load();
  auto s = std::make_shared<DevInfoSet>();
  bool all = flags & DIGCF_ALLCLASSES, present = flags & DIGCF_PRESENT;
  bool byInterface = flags & DIGCF_DEVICEINTERFACE;
  if (!byInterface && !all) s->hasClass = true, s->classGuid = *cls;
  const Node *only = nullptr;
  bool enumeratorName = false;
  if (enumerator && !enumerator->empty()) {
    only = byInterface ? t.find(*enumerator) : nullptr;
    enumeratorName = !only;
    if (byInterface && !only && enumerator->find('\\') != std::string::npos) {
      *out = newSet(s); // an instance id that names no device: an empty set
      return 0;
    }
  }
  for (const Node &n : t.nodes) {
    if (n.id == kRootId || (present && !n.present)) continue;
    if (only && &n != only) continue;
    if (enumeratorName && !sameText(n.id.substr(0, n.id.find('\\')), *enumerator)) continue;
    if (byInterface) {
      // A set for one instance id holds that device whether or not it has interfaces of the class.
      bool has = only != nullptr;
      for (const Interface &i : n.interfaces)
        if (all || emu::dev::sameGuid(i.classGuid, *cls)) has = true;
      if (!has) continue;
    } else if (!all && !emu::dev::sameGuid(nodeClass(n), *cls)) {
      continue;
    }
    addElement(*s, elementFor(n));
  }
  *out = newSet(s);
  return 0;
}

DWORD openDeviceInfo(HDEVINFO h, const std::string &id, DWORD flags, SP_DEVINFO_DATA *data) {
  DevInfoSet *s = setOf(h);
  if (!s) return ERROR_INVALID_HANDLE;
  if (flags & ~DWORD(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) return ERROR_INVALID_FLAGS;
  if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  Tree t = load();
  const Node *n = t.find(id);
  if (!n || n->id == kRootId) return ERROR_NO_SUCH_DEVINST;
  if (s->hasClass && !emu::dev::sameGuid(s->classGuid, nodeClass(*n))) return ERROR_CLASS_MISMATCH;
  size_t index = addElement(*s, elementFor(*n));
  if (data) fillData(*s, index, data);
  return 0;
}

DWORD instanceId(HDEVINFO h, PSP_DEVINFO_DATA data, std::string *id) {
  DevInfoSet *s = setOf(h);
  if (!s) return ERROR_INVALID_HANDLE;
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, data, &e)) return rc;
  *id = e->id;
  return 0;
}

// ---- interfaces ----

DWORD interfaceDetail(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA itf, std::string *link, PSP_DEVINFO_DATA dev) {
  DevInfoSet *s = setOf(h);
  if (!s) return ERROR_INVALID_HANDLE;
  if (!itf) return ERROR_INVALID_PARAMETER;
  if (itf->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return ERROR_INVALID_USER_BUFFER;
  if (itf->Reserved == 0 || itf->Reserved > s->interfaces.size()) return ERROR_INVALID_PARAMETER;
  const OpenInterface &oi = s->interfaces[itf->Reserved - 1];
  if (dev) {
    if (dev->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
    fillData(*s, oi.element, dev);
  }
  *link = oi.itf.link;
  return 0;
}

void fillInterface(DevInfoSet &s, size_t element, const Interface &itf, PSP_DEVICE_INTERFACE_DATA out) {
  size_t index = s.interfaces.size();
  for (size_t i = 0; i < s.interfaces.size(); ++i)
    if (sameText(s.interfaces[i].itf.link, itf.link)) index = i;
  if (index == s.interfaces.size()) s.interfaces.push_back({element, itf});
  Tree t = load();
  const Node *n = t.find(s.elements[element].id);
  out->InterfaceClassGuid = itf.classGuid;
  out->Flags = n && interfaceEnabled(*n) ? SPINT_ACTIVE : (n && n->present ? 0 : SPINT_REMOVED);
  out->Reserved = index + 1;
}

// ---- driver lists ----

FILETIME fileTimeOf(const std::string &date) {
  // "mm/dd/yyyy" to 100 ns units since 1601-01-01.
  unsigned m = 0, d = 0, y = 0;
  FILETIME ft{};
  if (std::sscanf(date.c_str(), "%u/%u/%u", &m, &d, &y) != 3 || m < 1 || m > 12 || y < 1601) return ft;
  long long yy = y - (m <= 2), era = yy / 400, yoe = yy - era * 400;
  long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1, doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  long long days = era * 146097 + doe - 719468; // since 1970-01-01
  unsigned long long t = static_cast<unsigned long long>(days + 134774) * 864000000000ULL;
  ft.dwLowDateTime = static_cast<DWORD>(t), ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

DWORDLONG versionOf(const std::string &v) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(v.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
  return (DWORDLONG(a & 0xFFFF) << 48) | (DWORDLONG(b & 0xFFFF) << 32) | (DWORDLONG(c & 0xFFFF) << 16) | (d & 0xFFFF);
}

DriverEntry entryOf(const Package &p, size_t model, unsigned rank) {
  const Model &m = p.models[model];
  return {p.published, model, m.description, m.manufacturer, p.provider, p.date, p.version, rank};
}

void buildCompat(Element &e) {
  Tree t = load();
  std::vector<std::string> hw, compat;
  const Node *n = t.find(e.id);
  if (n) hw = n->strings(DEVPKEY_Device_HardwareIds), compat = n->strings(DEVPKEY_Device_CompatibleIds);
  for (const Property &p : e.pending) {
    Node scratch;
    scratch.props.push_back(p);
    if (sameKey(p.key, DEVPKEY_Device_HardwareIds)) hw = scratch.strings(p.key);
    if (sameKey(p.key, DEVPKEY_Device_CompatibleIds)) compat = scratch.strings(p.key);
  }
  e.compat.clear();
  for (const Package &p : t.packages)
    for (size_t m = 0; m < p.models.size(); ++m) {
      unsigned best = ~0u;
      for (const std::string &id : p.models[m].hardwareIds) {
        for (size_t i = 0; i < hw.size(); ++i)
          if (sameText(id, hw[i])) best = std::min(best, static_cast<unsigned>(i));
        for (size_t i = 0; i < compat.size(); ++i)
          if (sameText(id, compat[i])) best = std::min(best, 0x1000u + static_cast<unsigned>(i));
      }
      if (best != ~0u) e.compat.push_back(entryOf(p, m, best));
    }
  std::stable_sort(e.compat.begin(), e.compat.end(),
                   [](const DriverEntry &a, const DriverEntry &b) { return a.rank < b.rank; });
  e.builtCompat = true;
}

void buildClass(Element &e, const GUID &cls) {
  e.classDrivers.clear();
  for (const Package &p : load().packages)
    if (emu::dev::sameGuid(p.classGuid, cls))
      for (size_t m = 0; m < p.models.size(); ++m) e.classDrivers.push_back(entryOf(p, m, 0));
  e.builtClass = true;
}

void copyText(WCHAR *dst, const std::string &utf8) {
  std::u16string w = emu::toUtf16(utf8);
  size_t n = std::min<size_t>(w.size(), LINE_LEN - 1);
  std::memcpy(dst, w.data(), n * sizeof(WCHAR));
  dst[n] = 0;
}

// ---- class installer ----

DWORD registerDevice(DevInfoSet &s, Element &e) {
  if (e.registered) return ERROR_DEVINST_ALREADY_EXISTS;
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    if (t.find(e.id)) return ERROR_DEVINST_ALREADY_EXISTS;
    Node n;
    n.id = e.id;
    n.parent = kRootId;
    n.props = e.pending;
    n.set(DEVPKEY_Device_ClassGuid, DEVPROP_TYPE_GUID,
          std::string(reinterpret_cast<const char *>(&e.classGuid), sizeof(GUID)));
    if (!e.className.empty()) n.set(DEVPKEY_Device_Class, DEVPROP_TYPE_STRING, utf16Bytes(e.className));
    n.problem = CM_PROB_FAILED_INSTALL; // registered, no driver yet
    n.devInst = e.devInst;
    t.nodes.push_back(n);
    changed = true;
    return 0;
  });
  if (rc) return rc;
  (void)s;
  e.registered = true;
  e.pending.clear();
  return 0;
}

DWORD removeDevice(Element &e) {
  if (!e.registered) return ERROR_DEVINFO_NOT_REGISTERED;
  if (!e.classParams.empty()) {
    SP_REMOVEDEVICE_PARAMS p{};
    std::memcpy(&p, e.classParams.data(), std::min(e.classParams.size(), sizeof p));
    if (p.ClassInstallHeader.InstallFunction == DIF_REMOVE && p.Scope != DI_REMOVEDEVICE_GLOBAL &&
        p.Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)
      return ERROR_INVALID_PARAMETER;
  }
  bool reboot = false;
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    Node *n = t.find(e.id);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    if (n->inUse) { // removed at the next start; until then the node says so
      n->problem = CM_PROB_WILL_BE_REMOVED;
      n->extraStatus |= DN_WILL_BE_REMOVED;
      reboot = true;
    } else {
      removeSubtree(t, e.id);
    }
    changed = true;
    return 0;
  });
  if (rc) return rc;
  if (reboot) e.installFlags |= DI_NEEDREBOOT;
  return 0;
}

DWORD propertyChange(Element &e, const std::string &params) {
  if (params.size() < sizeof(SP_PROPCHANGE_PARAMS)) return ERROR_NO_CLASSINSTALL_PARAMS;
  SP_PROPCHANGE_PARAMS p;
  std::memcpy(&p, params.data(), sizeof p);
  if (p.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) return ERROR_NO_CLASSINSTALL_PARAMS;
  if (p.Scope != DICS_FLAG_GLOBAL && p.Scope != DICS_FLAG_CONFIGSPECIFIC) return ERROR_INVALID_PARAMETER;
  if (p.StateChange < DICS_ENABLE || p.StateChange > DICS_STOP) return ERROR_INVALID_PARAMETER;
  bool reboot = false;
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    Node *n = t.find(e.id);
    if (!n || !n->present) return ERROR_NO_SUCH_DEVINST;
    switch (p.StateChange) {
    case DICS_ENABLE:
    case DICS_START:
      if (n->problem == CM_PROB_DISABLED) {
        n->problem = n->hasDriver ? 0 : CM_PROB_FAILED_INSTALL;
        ++n->restarts;
      }
      break;
    case DICS_DISABLE:
    case DICS_STOP:
      n->problem = CM_PROB_DISABLED;
      reboot = n->inUse;
      break;
    default: // DICS_PROPCHANGE: the device is stopped and started again
      ++n->restarts;
      reboot = n->inUse;
      break;
    }
    changed = true;
    return 0;
  });
  if (rc) return rc;
  if (reboot) e.installFlags |= DI_NEEDRESTART;
  return 0;
}

DWORD installDevice(Element &e) {
  if (!e.registered) return ERROR_DEVINFO_NOT_REGISTERED;
  if (!e.hasSelected) return ERROR_NO_DRIVER_SELECTED;
  bool reboot = false;
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    Node *n = t.find(e.id);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    Package *p = t.package(e.selected.published);
    if (!p || e.selected.model >= p->models.size()) return ERROR_NO_DRIVER_SELECTED;
    Package pkg = *p;
    installOn(t, *n, pkg, pkg.models[e.selected.model]);
    reboot = n->inUse;
    changed = true;
    return 0;
  });
  if (rc) return rc;
  if (reboot) e.installFlags |= DI_NEEDREBOOT;
  return 0;
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
  EMU_FAIL_POINT("SetupDiGetClassDevsW", INVALID_HANDLE_VALUE);
  std::lock_guard<std::mutex> hold(g_lock);
  std::string e = Enumerator ? emu::toUtf8(Enumerator) : std::string();
  HDEVINFO h = INVALID_HANDLE_VALUE;
  DWORD rc = classDevs(ClassGuid, Enumerator ? &e : nullptr, Flags, &h);
  finish(rc);
  return rc ? INVALID_HANDLE_VALUE : h;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  EMU_FAIL_POINT("SetupDiGetClassDevsA", INVALID_HANDLE_VALUE);
  std::lock_guard<std::mutex> hold(g_lock);
  std::string e = Enumerator ? fromAnsi(Enumerator) : std::string();
  HDEVINFO h = INVALID_HANDLE_VALUE;
  DWORD rc = classDevs(ClassGuid, Enumerator ? &e : nullptr, Flags, &h);
  finish(rc);
  return rc ? INVALID_HANDLE_VALUE : h;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND) {
  EMU_FAIL_POINT("SetupDiCreateDeviceInfoList", INVALID_HANDLE_VALUE);
  std::lock_guard<std::mutex> hold(g_lock);
  auto s = std::make_shared<DevInfoSet>();
  if (ClassGuid) s->hasClass = true, s->classGuid = *ClassGuid;
  SetLastError(ERROR_SUCCESS);
  return newSet(s);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  EMU_FAIL_POINT("SetupDiDestroyDeviceInfoList", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  return finish(g_sets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet)) ? 0 : ERROR_INVALID_HANDLE);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiEnumDeviceInfo", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DeviceInfoData) return finish(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return finish(ERROR_INVALID_USER_BUFFER);
  if (MemberIndex >= s->elements.size()) return finish(ERROR_NO_MORE_ITEMS);
  fillData(*s, MemberIndex, DeviceInfoData);
  return finish(0);
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiOpenDeviceInfoW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  if (!DeviceInstanceId) return finish(ERROR_INVALID_PARAMETER);
  return finish(openDeviceInfo(DeviceInfoSet, emu::toUtf8(DeviceInstanceId), OpenFlags, DeviceInfoData));
}

BOOL WINAPI SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiOpenDeviceInfoA", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  if (!DeviceInstanceId) return finish(ERROR_INVALID_PARAMETER);
  return finish(openDeviceInfo(DeviceInfoSet, fromAnsi(DeviceInstanceId), OpenFlags, DeviceInfoData));
}

BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID *ClassGuid,
                                     PCWSTR DeviceDescription, HWND, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiCreateDeviceInfoW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DeviceName || !ClassGuid) return finish(ERROR_INVALID_PARAMETER);
  if (CreationFlags & ~DWORD(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) return finish(ERROR_INVALID_FLAGS);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return finish(ERROR_INVALID_USER_BUFFER);
  if (s->hasClass && !emu::dev::sameGuid(s->classGuid, *ClassGuid)) return finish(ERROR_CLASS_MISMATCH);
  std::string name = emu::toUtf8(DeviceName);
  Tree t = load();
  Element e;
  e.classGuid = *ClassGuid;
  e.registered = false;
  if (CreationFlags & DICD_GENERATE_ID) {
    if (name.empty() || name.find('\\') != std::string::npos) return finish(ERROR_INVALID_DEVINST_NAME);
    std::string upper = name;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    e.className = name;
    for (unsigned n = 0; n < 10000 && e.id.empty(); ++n) {
      char num[8];
      std::snprintf(num, sizeof num, "%04u", n);
      std::string id = "ROOT\\" + upper + "\\" + num;
      bool taken = t.find(id) != nullptr;
      for (const Element &other : s->elements)
        if (sameText(other.id, id)) taken = true;
      if (!taken) e.id = id;
    }
  } else {
    if (std::count(name.begin(), name.end(), '\\') != 2 || name.size() >= MAX_DEVICE_ID_LEN)
      return finish(ERROR_INVALID_DEVINST_NAME);
    if (t.find(name)) return finish(ERROR_DEVINST_ALREADY_EXISTS);
    e.id = name;
  }
  // Windows makes a phantom node for a new element; its DEVINST stays the node's once it is registered.
  DWORD reserved = update([&](Tree &tree, bool &changed) -> DWORD {
    e.devInst = tree.nextDevInst++;
    changed = true;
    return 0;
  });
  if (reserved) return finish(reserved);
  if (DeviceDescription) e.pending.push_back({DEVPKEY_Device_DeviceDesc, DEVPROP_TYPE_STRING, utf16Bytes(emu::toUtf8(DeviceDescription))});
  s->elements.push_back(e);
  if (DeviceInfoData) fillData(*s, s->elements.size() - 1, DeviceInfoData);
  return finish(0);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  EMU_FAIL_POINT("SetupDiGetDeviceInstanceIdW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  std::string id;
  if (DWORD rc = instanceId(DeviceInfoSet, DeviceInfoData, &id)) return finish(rc);
  std::u16string w = emu::toUtf16(id);
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(w.size() + 1);
  if (!DeviceInstanceId && DeviceInstanceIdSize) return finish(ERROR_INVALID_USER_BUFFER);
  if (DeviceInstanceIdSize < w.size() + 1) return finish(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInstanceId, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
  return finish(0);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  EMU_FAIL_POINT("SetupDiGetDeviceInstanceIdA", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  std::string id;
  if (DWORD rc = instanceId(DeviceInfoSet, DeviceInfoData, &id)) return finish(rc);
  std::string a = toAnsi(id);
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(a.size() + 1);
  if (!DeviceInstanceId && DeviceInstanceIdSize) return finish(ERROR_INVALID_USER_BUFFER);
  if (DeviceInstanceIdSize < a.size() + 1) return finish(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInstanceId, a.c_str(), a.size() + 1);
  return finish(0);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  EMU_FAIL_POINT("SetupDiEnumDeviceInterfaces", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DeviceInterfaceData) return finish(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return finish(ERROR_INVALID_USER_BUFFER);
  size_t first = 0, last = s->elements.size();
  if (DeviceInfoData) {
    Element *e = nullptr;
    if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
    first = DeviceInfoData->Reserved - 1, last = first + 1;
  }
  DWORD seen = 0;
  for (size_t i = first; i < last; ++i)
    for (const Interface &itf : s->elements[i].interfaces) {
      if (InterfaceClassGuid && !emu::dev::sameGuid(itf.classGuid, *InterfaceClassGuid)) continue;
      if (seen++ == MemberIndex) {
        Interface copy = itf;
        fillInterface(*s, i, copy, DeviceInterfaceData);
        return finish(0);
      }
    }
  return finish(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  EMU_FAIL_POINT("SetupDiOpenDeviceInterfaceW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DevicePath) return finish(ERROR_INVALID_PARAMETER);
  if (OpenFlags & ~DWORD(DIODI_NO_ADD)) return finish(ERROR_INVALID_FLAGS);
  if (DeviceInterfaceData && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return finish(ERROR_INVALID_USER_BUFFER);
  Tree t = load();
  const Interface *itf = nullptr;
  const Node *n = t.interfaceOwner(emu::toUtf8(DevicePath), &itf);
  if (!n) return finish(ERROR_NO_SUCH_DEVICE_INTERFACE);
  if (s->hasClass && !emu::dev::sameGuid(s->classGuid, nodeClass(*n))) return finish(ERROR_CLASS_MISMATCH);
  size_t index = s->elements.size();
  for (size_t i = 0; i < s->elements.size(); ++i)
    if (sameText(s->elements[i].id, n->id)) index = i;
  if (index == s->elements.size()) {
    if (OpenFlags & DIODI_NO_ADD) return finish(ERROR_NO_SUCH_DEVICE_INTERFACE);
    index = addElement(*s, elementFor(*n));
  }
  SP_DEVICE_INTERFACE_DATA scratch{};
  fillInterface(*s, index, *itf, DeviceInterfaceData ? DeviceInterfaceData : &scratch);
  return finish(0);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiGetDeviceInterfaceDetailW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  if (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize) return finish(ERROR_INVALID_USER_BUFFER);
  if (DeviceInterfaceDetailData && DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
    return finish(ERROR_INVALID_USER_BUFFER);
  std::string link;
  if (DWORD rc = interfaceDetail(DeviceInfoSet, DeviceInterfaceData, &link, DeviceInfoData)) return finish(rc);
  std::u16string w = emu::toUtf16(link);
  DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (w.size() + 1) * 2);
  if (RequiredSize) *RequiredSize = needed;
  if (DeviceInterfaceDetailDataSize < needed) return finish(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, w.c_str(), (w.size() + 1) * 2);
  return finish(0);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiGetDeviceInterfaceDetailA", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  if (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize) return finish(ERROR_INVALID_USER_BUFFER);
  if (DeviceInterfaceDetailData && DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
    return finish(ERROR_INVALID_USER_BUFFER);
  std::string link;
  if (DWORD rc = interfaceDetail(DeviceInfoSet, DeviceInterfaceData, &link, DeviceInfoData)) return finish(rc);
  std::string a = toAnsi(link);
  DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + a.size() + 1);
  if (RequiredSize) *RequiredSize = needed;
  if (DeviceInterfaceDetailDataSize < needed) return finish(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, a.c_str(), a.size() + 1);
  return finish(0);
}

static BOOL registryProperty(const char *, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD property, PDWORD type,
                             PBYTE buffer, DWORD size, PDWORD required, bool ansi) {
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(set);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, dev, &e)) return finish(rc);
  DWORD regType = 0;
  std::string bytes;
  if (DWORD rc = registryValue(*e, property, ansi, &regType, &bytes)) return finish(rc);
  if (type) *type = regType;
  return finish(copySized(bytes, buffer, size, required));
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  EMU_FAIL_POINT("SetupDiGetDeviceRegistryPropertyW", FALSE);
  return registryProperty("W", DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                          PropertyBufferSize, RequiredSize, false);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  EMU_FAIL_POINT("SetupDiGetDeviceRegistryPropertyA", FALSE);
  return registryProperty("A", DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer,
                          PropertyBufferSize, RequiredSize, true);
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE *PropertyBuffer, DWORD PropertyBufferSize) {
  EMU_FAIL_POINT("SetupDiSetDeviceRegistryPropertyW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  DEVPROPTYPE type;
  switch (Property) {
  case SPDRP_HARDWAREID:
  case SPDRP_COMPATIBLEIDS:
  case SPDRP_UPPERFILTERS:
  case SPDRP_LOWERFILTERS:
    type = DEVPROP_TYPE_STRING_LIST;
    break;
  case SPDRP_FRIENDLYNAME:
  case SPDRP_LOCATION_INFORMATION:
  case SPDRP_DEVICEDESC:
    type = DEVPROP_TYPE_STRING;
    break;
  case SPDRP_CONFIGFLAGS:
    type = DEVPROP_TYPE_UINT32;
    break;
  default:
    return finish(ERROR_INVALID_REG_PROPERTY);
  }
  if (!PropertyBuffer && PropertyBufferSize) return finish(ERROR_INVALID_PARAMETER);
  std::string data(reinterpret_cast<const char *>(PropertyBuffer), PropertyBuffer ? PropertyBufferSize : 0);
  bool text = type != DEVPROP_TYPE_UINT32;
  if (PropertyBuffer && ((text && data.size() % 2) || (!text && data.size() != 4)))
    return finish(ERROR_INVALID_DATA);
  DEVPROPKEY key = registryKey(Property);
  if (!e->registered) {
    for (size_t i = 0; i < e->pending.size(); ++i)
      if (sameKey(e->pending[i].key, key)) e->pending.erase(e->pending.begin() + static_cast<std::ptrdiff_t>(i));
    if (PropertyBuffer) e->pending.push_back({key, type, data});
    return finish(0);
  }
  // A registered device's properties live in its registry key, which only administrators may write.
  if (!emu::currentIsAdministrator()) return finish(ERROR_ACCESS_DENIED);
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    Node *n = t.find(e->id);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    if (PropertyBuffer) n->set(key, type, data);
    else n->erase(key);
    changed = true;
    return 0;
  });
  return finish(rc);
}

BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType, PBYTE PropertyBuffer,
                                      DWORD PropertyBufferSize, PDWORD RequiredSize, DWORD Flags) {
  EMU_FAIL_POINT("SetupDiGetDevicePropertyW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!PropertyKey || !PropertyType) return finish(ERROR_INVALID_PARAMETER);
  if (Flags) return finish(ERROR_INVALID_FLAGS);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  std::string data;
  if (!elementProperty(*e, *PropertyKey, PropertyType, &data)) return finish(ERROR_NOT_FOUND);
  return finish(copySized(data, PropertyBuffer, PropertyBufferSize, RequiredSize));
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
  EMU_FAIL_POINT("SetupDiSetClassInstallParamsW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  std::string *target = &s->classParams;
  DWORD *flags = &s->installFlags;
  if (DeviceInfoData) {
    Element *e = nullptr;
    if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
    target = &e->classParams, flags = &e->installFlags;
  }
  if (!ClassInstallParams) {
    if (ClassInstallParamsSize) return finish(ERROR_INVALID_PARAMETER);
    target->clear();
    *flags &= ~DWORD(DI_CLASSINSTALLPARAMS);
    return finish(0);
  }
  if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) return finish(ERROR_INVALID_USER_BUFFER);
  if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER)) return finish(ERROR_INVALID_PARAMETER);
  target->assign(reinterpret_cast<const char *>(ClassInstallParams), ClassInstallParamsSize);
  *flags |= DI_CLASSINSTALLPARAMS;
  return finish(0);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  EMU_FAIL_POINT("SetupDiGetDeviceInstallParamsW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DeviceInstallParams) return finish(ERROR_INVALID_PARAMETER);
  if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return finish(ERROR_INVALID_USER_BUFFER);
  DWORD flags = s->installFlags;
  if (DeviceInfoData) {
    Element *e = nullptr;
    if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
    flags = e->installFlags;
  }
  std::memset(reinterpret_cast<char *>(DeviceInstallParams) + sizeof(DWORD), 0,
              sizeof(SP_DEVINSTALL_PARAMS_W) - sizeof(DWORD));
  DeviceInstallParams->Flags = flags;
  return finish(0);
}

BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  EMU_FAIL_POINT("SetupDiSetDeviceInstallParamsW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DeviceInstallParams) return finish(ERROR_INVALID_PARAMETER);
  if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return finish(ERROR_INVALID_USER_BUFFER);
  DWORD *flags = &s->installFlags;
  if (DeviceInfoData) {
    Element *e = nullptr;
    if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
    flags = &e->installFlags;
  }
  *flags = DeviceInstallParams->Flags;
  return finish(0);
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  EMU_FAIL_POINT("SetupDiCallClassInstaller", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  switch (InstallFunction) {
  case DIF_DESTROYPRIVATEDATA:
  case DIF_ALLOW_INSTALL:
  case DIF_INSTALLINTERFACES:
  case DIF_REGISTER_COINSTALLERS:
  case DIF_INSTALLDEVICEFILES:
    return finish(0); // nothing of these reaches the tree
  case DIF_REGISTERDEVICE:
  case DIF_REMOVE:
  case DIF_PROPERTYCHANGE:
  case DIF_INSTALLDEVICE:
  case DIF_SELECTBESTCOMPATDRV:
    break;
  default:
    return finish(ERROR_DI_DO_DEFAULT);
  }
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  // The default handlers of the requests that change the tree are for administrators only.
  if (InstallFunction != DIF_SELECTBESTCOMPATDRV && !emu::currentIsAdministrator()) return finish(ERROR_ACCESS_DENIED);
  const std::string &params = e->classParams.empty() ? s->classParams : e->classParams;
  switch (InstallFunction) {
  case DIF_REGISTERDEVICE:
    return finish(registerDevice(*s, *e));
  case DIF_REMOVE:
    return finish(removeDevice(*e));
  case DIF_PROPERTYCHANGE:
    return finish(propertyChange(*e, params));
  case DIF_SELECTBESTCOMPATDRV:
    if (!e->builtCompat) buildCompat(*e);
    if (e->compat.empty()) return finish(ERROR_NO_COMPAT_DRIVERS);
    e->selected = e->compat.front(), e->hasSelected = true;
    return finish(0);
  default:
    return finish(installDevice(*e));
  }
}

BOOL WINAPI SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize) {
  EMU_FAIL_POINT("SetupDiGetINFClassW", FALSE);
  if (!InfName || !ClassGuid) return finish(ERROR_INVALID_PARAMETER);
  std::string name = emu::toUtf8(InfName);
  std::ifstream in(emu::hostPath(name), std::ios::binary);
  // A bare file name is looked up in %windir%\INF, as Windows does.
  if (!in && name.find_first_of("\\/") == std::string::npos)
    in.open(emu::hostPath("C:\\Windows\\INF\\" + name), std::ios::binary);
  if (!in) return finish(ERROR_FILE_NOT_FOUND);
  std::stringstream ss;
  ss << in.rdbuf();
  Package p;
  if (!parseInf(ss.str(), &p)) return finish(ERROR_INVALID_CLASS);
  std::u16string w = emu::toUtf16(p.className);
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(w.size() + 1);
  if (!ClassName && ClassNameSize) return finish(ERROR_INVALID_USER_BUFFER);
  if (ClassNameSize < w.size() + 1) return finish(ERROR_INSUFFICIENT_BUFFER);
  *ClassGuid = p.classGuid;
  std::memcpy(ClassName, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
  return finish(0);
}

BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  EMU_FAIL_POINT("SetupDiBuildDriverInfoList", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (DriverType != SPDIT_COMPATDRIVER && DriverType != SPDIT_CLASSDRIVER) return finish(ERROR_INVALID_PARAMETER);
  if (!DeviceInfoData) {
    // A set-wide class list needs the set's class; a compatible list always needs a device.
    return finish(ERROR_INVALID_PARAMETER);
  }
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  if (DriverType == SPDIT_COMPATDRIVER) {
    if (!e->builtCompat) buildCompat(*e);
    e->installFlags |= DI_DIDCOMPAT;
  } else {
    if (!e->builtClass) buildClass(*e, e->classGuid);
    e->installFlags |= DI_DIDCLASS;
  }
  return finish(0);
}

BOOL WINAPI SetupDiEnumDriverInfoW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType,
                                   DWORD MemberIndex, PSP_DRVINFO_DATA_W DriverInfoData) {
  EMU_FAIL_POINT("SetupDiEnumDriverInfoW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DriverInfoData) return finish(ERROR_INVALID_PARAMETER);
  if (DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V2_W) && DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V1_W))
    return finish(ERROR_INVALID_USER_BUFFER);
  if (DriverType != SPDIT_COMPATDRIVER && DriverType != SPDIT_CLASSDRIVER) return finish(ERROR_INVALID_PARAMETER);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  const std::vector<DriverEntry> &list = DriverType == SPDIT_COMPATDRIVER ? e->compat : e->classDrivers;
  if (MemberIndex >= list.size()) return finish(ERROR_NO_MORE_ITEMS);
  const DriverEntry &d = list[MemberIndex];
  DriverInfoData->DriverType = DriverType;
  DriverInfoData->Reserved = MemberIndex + 1;
  copyText(DriverInfoData->Description, d.description);
  copyText(DriverInfoData->MfgName, d.manufacturer);
  copyText(DriverInfoData->ProviderName, d.provider);
  if (DriverInfoData->cbSize == sizeof(SP_DRVINFO_DATA_V2_W)) {
    DriverInfoData->DriverDate = fileTimeOf(d.date);
    DriverInfoData->DriverVersion = versionOf(d.version);
  }
  return finish(0);
}

BOOL WINAPI SetupDiSetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  EMU_FAIL_POINT("SetupDiSetSelectedDriverW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  if (!DriverInfoData) {
    e->hasSelected = false;
    return finish(0);
  }
  if (DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V2_W) && DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V1_W))
    return finish(ERROR_INVALID_USER_BUFFER);
  const std::vector<DriverEntry> &list =
      DriverInfoData->DriverType == SPDIT_CLASSDRIVER ? e->classDrivers : e->compat;
  size_t index = list.size();
  if (DriverInfoData->Reserved) {
    index = DriverInfoData->Reserved - 1;
  } else { // find it by description, manufacturer and provider
    for (size_t i = 0; i < list.size() && index == list.size(); ++i)
      if (emu::toUtf16(list[i].description) == DriverInfoData->Description &&
          emu::toUtf16(list[i].manufacturer) == DriverInfoData->MfgName &&
          emu::toUtf16(list[i].provider) == DriverInfoData->ProviderName)
        index = i;
  }
  if (index >= list.size()) return finish(ERROR_INVALID_PARAMETER);
  e->selected = list[index];
  e->hasSelected = true;
  DriverInfoData->Reserved = index + 1;
  return finish(0);
}

BOOL WINAPI SetupDiGetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  EMU_FAIL_POINT("SetupDiGetSelectedDriverW", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  if (!DriverInfoData) return finish(ERROR_INVALID_PARAMETER);
  if (DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V2_W) && DriverInfoData->cbSize != sizeof(SP_DRVINFO_DATA_V1_W))
    return finish(ERROR_INVALID_USER_BUFFER);
  if (!e->hasSelected) return finish(ERROR_NO_DRIVER_SELECTED);
  DriverInfoData->DriverType = SPDIT_COMPATDRIVER;
  copyText(DriverInfoData->Description, e->selected.description);
  copyText(DriverInfoData->MfgName, e->selected.manufacturer);
  copyText(DriverInfoData->ProviderName, e->selected.provider);
  if (DriverInfoData->cbSize == sizeof(SP_DRVINFO_DATA_V2_W)) {
    DriverInfoData->DriverDate = fileTimeOf(e->selected.date);
    DriverInfoData->DriverVersion = versionOf(e->selected.version);
  }
  return finish(0);
}

BOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  EMU_FAIL_POINT("SetupDiDestroyDriverInfoList", FALSE);
  std::lock_guard<std::mutex> hold(g_lock);
  DevInfoSet *s = setOf(DeviceInfoSet);
  if (!s) return finish(ERROR_INVALID_HANDLE);
  if (!DeviceInfoData) return finish(0);
  Element *e = nullptr;
  if (DWORD rc = elementOf(*s, DeviceInfoData, &e)) return finish(rc);
  if (DriverType == SPDIT_COMPATDRIVER) e->compat.clear(), e->builtCompat = false;
  else if (DriverType == SPDIT_CLASSDRIVER) e->classDrivers.clear(), e->builtClass = false;
  else return finish(ERROR_INVALID_PARAMETER);
  return finish(0);
}

} // extern "C"
