// CfgMgr32 over the machine's device tree. Every call returns a CONFIGRET and leaves the last error alone; an
// injected failure of a call is returned as its CONFIGRET.
#include <windows.h>
#include <cfgmgr32.h>
#include <devpkey.h>
#include <setupapi.h>

#include "devices/store.h"
#include "emu/devices.h"
#include "emu/emu.h"

using namespace emu::dev;

#define EMU_CM_FAIL_POINT(name)                                                                                         \
  do {                                                                                                                 \
    if (DWORD emu_code_ = ::emu::failureFor(name)) return emu_code_;                                                  \
  } while (0)

namespace {

// The present node behind a DEVINST (CM calls see only the present tree).
CONFIGRET presentNode(const Tree &t, DEVINST dn, const Node **out) {
  const Node *n = t.find(dn);
  if (!n) return CR_INVALID_DEVNODE;
  if (!n->present) return CR_NO_SUCH_DEVINST;
  *out = n;
  return CR_SUCCESS;
}

CONFIGRET locate(const std::string &id, ULONG flags, PDEVINST out) {
  if (!out) return CR_INVALID_POINTER;
  *out = 0;
  if (flags & ~ULONG(CM_LOCATE_DEVNODE_BITS)) return CR_INVALID_FLAG;
  if (id.size() >= MAX_DEVICE_ID_LEN) return CR_INVALID_DEVICE_ID;
  Tree t = load();
  const Node *n = id.empty() ? &t.nodes[0] : t.find(id);
  if (!n) return CR_NO_SUCH_DEVNODE;
  if (!n->present && !(flags & CM_LOCATE_DEVNODE_PHANTOM)) return CR_NO_SUCH_DEVNODE;
  *out = n->devInst;
  return CR_SUCCESS;
}

// Copies an id into a caller's buffer of `len` characters; the NUL only when it fits.
template <class Char> CONFIGRET copyId(const std::basic_string<Char> &id, Char *buffer, ULONG len) {
  if (!buffer) return CR_INVALID_POINTER;
  size_t n = std::min<size_t>(id.size(), len);
  std::copy(id.begin(), id.begin() + static_cast<std::ptrdiff_t>(n), buffer);
  if (len > id.size()) buffer[id.size()] = 0;
  return len < id.size() ? CR_BUFFER_SMALL : CR_SUCCESS;
}

CONFIGRET deviceId(DEVINST dn, ULONG flags, std::string *id) {
  if (flags) return CR_INVALID_FLAG;
  Tree t = load();
  const Node *n = t.find(dn);
  if (!n) return CR_INVALID_DEVNODE;
  *id = n->id;
  return CR_SUCCESS;
}

std::u16string idList(const Tree &t, const std::string &filter, ULONG flags) {
  std::u16string out;
  for (const Node &n : t.nodes) {
    if ((flags & CM_GETIDLIST_FILTER_PRESENT) && !n.present) continue;
    if ((flags & CM_GETIDLIST_FILTER_ENUMERATOR) && !filter.empty() &&
        !sameText(n.id.substr(0, n.id.find('\\')), filter))
      continue;
    if ((flags & CM_GETIDLIST_FILTER_SERVICE) && !sameText(n.text(DEVPKEY_Device_Service), filter)) continue;
    out += emu::toUtf16(n.id);
    out.push_back(0);
  }
  out.push_back(0); // the list's own terminator: an empty list is one character
  return out;
}

CONFIGRET interfaceList(const GUID *cls, PCWSTR deviceId, ULONG flags, std::u16string *out) {
  if (!cls) return CR_INVALID_POINTER;
  if (flags & ~ULONG(CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES)) return CR_INVALID_FLAG;
  Tree t = load();
  const Node *only = nullptr;
  if (deviceId && *deviceId) {
    only = t.find(emu::toUtf8(deviceId));
    if (!only) return CR_INVALID_DEVICE_ID;
  }
  out->clear();
  for (const Node &n : t.nodes) {
    if (only && &n != only) continue;
    // Without ALL_DEVICES only the enabled interfaces of present devices count.
    if (!(flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) && !interfaceEnabled(n)) continue;
    for (const Interface &i : n.interfaces)
      if (emu::dev::sameGuid(i.classGuid, *cls)) {
        *out += emu::toUtf16(i.link);
        out->push_back(0);
      }
  }
  out->push_back(0); // the list's own terminator: an empty list is one character
  return CR_SUCCESS;
}

CONFIGRET copyProperty(DEVPROPTYPE type, const std::string &data, DEVPROPTYPE *typeOut, PBYTE buffer, PULONG size) {
  *typeOut = type;
  ULONG have = *size;
  *size = static_cast<ULONG>(data.size());
  if (!buffer && have) return CR_INVALID_POINTER;
  if (have < data.size()) return CR_BUFFER_SMALL;
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  return CR_SUCCESS;
}

CONFIGRET registryProperty(DEVINST dn, ULONG property, PULONG regType, PVOID buffer, PULONG length, ULONG flags,
                           bool ansi) {
  if (!length) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
  Tree t = load();
  const Node *n = nullptr;
  if (CONFIGRET cr = presentNode(t, dn, &n)) return cr;
  DEVPROPKEY key = DEVPKEY_Device_DeviceDesc;
  key.pid = property - 1 + 2;
  DEVPROPTYPE type = 0;
  std::string data;
  if (!readProperty(t, *n, key, &type, &data)) return CR_NO_SUCH_VALUE;
  DWORD reg = type == DEVPROP_TYPE_STRING ? REG_SZ : type == DEVPROP_TYPE_STRING_LIST ? REG_MULTI_SZ
              : type == DEVPROP_TYPE_UINT32 ? REG_DWORD : REG_BINARY;
  if (type == DEVPROP_TYPE_GUID && data.size() == sizeof(GUID)) {
    GUID g;
    std::memcpy(&g, data.data(), sizeof g);
    data = utf16Bytes(guidText(g)), reg = REG_SZ;
  }
  if (ansi && (reg == REG_SZ || reg == REG_MULTI_SZ)) {
    std::string narrow;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      char16_t c = static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                         (static_cast<unsigned char>(data[i + 1]) << 8));
      narrow += c ? toAnsi(emu::toUtf8(&c, 1)) : std::string(1, '\0');
    }
    data = narrow;
  }
  if (regType) *regType = reg;
  DEVPROPTYPE ignored;
  return copyProperty(type, data, &ignored, static_cast<PBYTE>(buffer), length);
}

// CM_Get_Parent, _Child and _Sibling: `pick` names the related node of a present one, or none.
template <class Pick> CONFIGRET related(PDEVINST out, DEVINST dn, ULONG flags, Pick pick) {
  if (!out) return CR_INVALID_POINTER;
  *out = 0;
  if (flags) return CR_INVALID_FLAG;
  Tree t = load();
  const Node *n = nullptr;
  if (CONFIGRET cr = presentNode(t, dn, &n)) return cr;
  const Node *r = pick(t, *n);
  if (!r) return CR_NO_SUCH_DEVNODE;
  *out = r->devInst;
  return CR_SUCCESS;
}

const Node *parentOf(const Tree &t, const Node &n) { return n.id == kRootId ? nullptr : t.find(n.parent); }

} // namespace

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Locate_DevNodeW");
  return locate(pDeviceID ? emu::toUtf8(pDeviceID) : std::string(), ulFlags, pdnDevInst);
}

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Locate_DevNodeA");
  return locate(pDeviceID ? fromAnsi(pDeviceID) : std::string(), ulFlags, pdnDevInst);
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Parent");
  return related(pdnDevInst, dnDevInst, ulFlags, [](const Tree &t, const Node &n) -> const Node * {
    const Node *p = parentOf(t, n);
    return p && p->present ? p : nullptr;
  });
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Child");
  return related(pdnDevInst, dnDevInst, ulFlags, [](const Tree &t, const Node &n) -> const Node * {
    std::vector<const Node *> kids = t.children(n);
    return kids.empty() ? nullptr : kids.front();
  });
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Sibling");
  return related(pdnDevInst, dnDevInst, ulFlags, [](const Tree &t, const Node &n) -> const Node * {
    const Node *p = parentOf(t, n);
    if (!p) return nullptr;
    std::vector<const Node *> kids = t.children(*p);
    for (size_t i = 0; i + 1 < kids.size(); ++i)
      if (kids[i] == &n) return kids[i + 1];
    return nullptr;
  });
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_DevNode_Status");
  if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
  *pulStatus = 0, *pulProblemNumber = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  Tree t = load();
  const Node *n = nullptr;
  if (CONFIGRET cr = presentNode(t, dnDevInst, &n)) return cr;
  *pulStatus = statusOf(*n);
  *pulProblemNumber = n->problem;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_ID_Size");
  if (!pulLen) return CR_INVALID_POINTER;
  *pulLen = 0;
  std::string id;
  if (CONFIGRET cr = deviceId(dnDevInst, ulFlags, &id)) return cr;
  *pulLen = static_cast<ULONG>(emu::toUtf16(id).size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_IDW");
  std::string id;
  if (CONFIGRET cr = deviceId(dnDevInst, ulFlags, &id)) return cr;
  return copyId(emu::toUtf16(id), Buffer, BufferLen);
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_IDA");
  std::string id;
  if (CONFIGRET cr = deviceId(dnDevInst, ulFlags, &id)) return cr;
  return copyId(toAnsi(id), Buffer, BufferLen);
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeW(PULONG pulLen, PCWSTR pszFilter, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_ID_List_SizeW");
  if (!pulLen) return CR_INVALID_POINTER;
  *pulLen = 0;
  if (ulFlags & ~ULONG(CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_SERVICE | CM_GETIDLIST_FILTER_PRESENT))
    return CR_INVALID_FLAG;
  *pulLen = static_cast<ULONG>(idList(load(), pszFilter ? emu::toUtf8(pszFilter) : std::string(), ulFlags).size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListW(PCWSTR pszFilter, PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_ID_ListW");
  if (!Buffer || !BufferLen) return CR_INVALID_POINTER;
  if (ulFlags & ~ULONG(CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_SERVICE | CM_GETIDLIST_FILTER_PRESENT))
    return CR_INVALID_FLAG;
  std::u16string list = idList(load(), pszFilter ? emu::toUtf8(pszFilter) : std::string(), ulFlags);
  if (BufferLen < list.size()) {
    Buffer[0] = 0;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(Buffer, list.data(), list.size() * sizeof(WCHAR));
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_PropertyW(DEVINST dnDevInst, const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType,
                                          PBYTE PropertyBuffer, PULONG PropertyBufferSize, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_DevNode_PropertyW");
  if (!PropertyKey || !PropertyType || !PropertyBufferSize) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  Tree t = load();
  const Node *n = t.find(dnDevInst);
  if (!n) return CR_INVALID_DEVNODE;
  DEVPROPTYPE type = 0;
  std::string data;
  if (!readProperty(t, *n, *PropertyKey, &type, &data)) {
    *PropertyBufferSize = 0;
    return CR_NO_SUCH_VALUE;
  }
  return copyProperty(type, data, PropertyType, PropertyBuffer, PropertyBufferSize);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType,
                                                   PVOID Buffer, PULONG pulLength, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_DevNode_Registry_PropertyW");
  return registryProperty(dnDevInst, ulProperty, pulRegDataType, Buffer, pulLength, ulFlags, false);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType,
                                                   PVOID Buffer, PULONG pulLength, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_DevNode_Registry_PropertyA");
  return registryProperty(dnDevInst, ulProperty, pulRegDataType, Buffer, pulLength, ulFlags, true);
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                                    ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_Interface_List_SizeW");
  if (!pulLen) return CR_INVALID_POINTER;
  *pulLen = 0;
  std::u16string list;
  if (CONFIGRET cr = interfaceList(InterfaceClassGuid, pDeviceID, ulFlags, &list)) return cr;
  *pulLen = static_cast<ULONG>(list.size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                               ULONG BufferLen, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_Interface_ListW");
  if (!Buffer || !BufferLen) return CR_INVALID_POINTER;
  std::u16string list;
  if (CONFIGRET cr = interfaceList(InterfaceClassGuid, pDeviceID, ulFlags, &list)) return cr;
  if (BufferLen < list.size()) {
    Buffer[0] = 0;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(Buffer, list.data(), list.size() * sizeof(WCHAR));
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_PropertyW(LPCWSTR pszDeviceInterface, const DEVPROPKEY *PropertyKey,
                                                   DEVPROPTYPE *PropertyType, PBYTE PropertyBuffer,
                                                   PULONG PropertyBufferSize, ULONG ulFlags) {
  EMU_CM_FAIL_POINT("CM_Get_Device_Interface_PropertyW");
  if (!pszDeviceInterface || !PropertyKey || !PropertyType || !PropertyBufferSize) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  Tree t = load();
  const Interface *itf = nullptr;
  const Node *n = t.interfaceOwner(emu::toUtf8(pszDeviceInterface), &itf);
  if (!n) return CR_NO_SUCH_DEVICE_INTERFACE;
  // An interface answers its own keys and its device's instance id.
  if (sameKey(*PropertyKey, DEVPKEY_Device_InstanceId))
    return copyProperty(DEVPROP_TYPE_STRING, utf16Bytes(n->id), PropertyType, PropertyBuffer, PropertyBufferSize);
  if (sameKey(*PropertyKey, DEVPKEY_DeviceInterface_ClassGuid))
    return copyProperty(DEVPROP_TYPE_GUID, std::string(reinterpret_cast<const char *>(&itf->classGuid), sizeof(GUID)),
                        PropertyType, PropertyBuffer, PropertyBufferSize);
  if (sameKey(*PropertyKey, DEVPKEY_DeviceInterface_Enabled))
    return copyProperty(DEVPROP_TYPE_BOOLEAN, std::string(1, interfaceEnabled(*n) ? '\xff' : '\0'), PropertyType,
                        PropertyBuffer, PropertyBufferSize);
  *PropertyBufferSize = 0;
  return CR_NO_SUCH_VALUE;
}

} // extern "C"
