// Device property readers: by device node (CfgMgr32), by device information element (SetupAPI) and by interface
// path. Each family asks for the size, then reads into a buffer with room for a NUL the value may lack.
#include "Util/devicetools.h"

#include <initguid.h>

#include <devpkey.h>

#include "Log/log.h"
#include "Util/devicetools_internal.h"
#include "Util/regutil.h"
#include "Util/stringutil.h"

using namespace devicetools;

namespace {

// A property value read through a size query and a second call.
struct Value {
  bool ok = false;
  DWORD error = ERROR_SUCCESS; // last error (SetupAPI) or CONFIGRET (CfgMgr32) of the failed call
  bool sizeQueryFailed = false;
  bool wrongType = false; // the size query reported another type than the one asked for; nothing was read
  DWORD type = 0;
  std::vector<BYTE> bytes;
  DWORD size = 0; // bytes the read returned

  QString text() const { return ok ? textOf(bytes.data(), size) : QString(); }
  QStringList list() const {
    return ok ? StringUtil::multiSzToStringList(reinterpret_cast<const WCHAR *>(bytes.data()), size) : QStringList();
  }
};

Value readDevNodeProperty(DEVINST node, const DEVPROPKEY &key) {
  Value v;
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  v.error = CM_Get_DevNode_PropertyW(node, &key, &type, nullptr, &size, 0);
  if (v.error != CR_BUFFER_SMALL) {
    v.sizeQueryFailed = true;
    return v;
  }
  v.bytes = valueBuffer(size);
  v.error = CM_Get_DevNode_PropertyW(node, &key, &type, v.bytes.data(), &size, 0);
  v.ok = v.error == CR_SUCCESS;
  v.type = type;
  v.size = (std::min)(size, static_cast<ULONG>(v.bytes.size()));
  return v;
}

// wantedType 0 takes any type.
Value readRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *element, DWORD property, DWORD wantedType = 0) {
  Value v;
  DWORD type = 0;
  DWORD needed = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, element, property, &type, nullptr, 0, &needed)) {
    v.error = GetLastError();
    if (v.error != ERROR_INSUFFICIENT_BUFFER) {
      v.sizeQueryFailed = true;
      return v;
    }
  }
  v.type = type;
  if (wantedType != 0 && type != wantedType) {
    v.wrongType = true;
    return v;
  }
  v.bytes = valueBuffer(needed);
  DWORD returned = 0;
  v.ok = SetupDiGetDeviceRegistryPropertyW(set, element, property, &type, v.bytes.data(), needed, &returned) != FALSE;
  v.error = v.ok ? ERROR_SUCCESS : GetLastError();
  v.size = (std::min)(returned, needed);
  return v;
}

Value readSetupProperty(HDEVINFO set, SP_DEVINFO_DATA *element, const DEVPROPKEY &key) {
  Value v;
  DEVPROPTYPE type = 0;
  DWORD needed = 0;
  if (!SetupDiGetDevicePropertyW(set, element, &key, &type, nullptr, 0, &needed, 0)) {
    v.error = GetLastError();
    if (v.error != ERROR_INSUFFICIENT_BUFFER) {
      v.sizeQueryFailed = true;
      return v;
    }
  }
  v.bytes = valueBuffer(needed);
  DWORD returned = 0;
  v.ok = SetupDiGetDevicePropertyW(set, element, &key, &type, v.bytes.data(), needed, &returned, 0) != FALSE;
  v.error = v.ok ? ERROR_SUCCESS : GetLastError();
  v.type = type;
  v.size = (std::min)(returned, needed);
  return v;
}

} // namespace

bool DeviceTools::initSetupApiByInstanceId(HDEVINFO &deviceInfoSet, SP_DEVINFO_DATA &deviceInfoData,
                                           const QString &instanceId) {
  deviceInfoSet = SetupDiGetClassDevsW(nullptr, wide(instanceId), nullptr, DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
  if (deviceInfoSet == INVALID_HANDLE_VALUE) {
    LOGE("SetupDiGetClassDevs failed: 0x%x", hex(GetLastError()));
    return false;
  }
  deviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiEnumDeviceInfo(deviceInfoSet, 0, &deviceInfoData)) {
    LOGE("SetupDiEnumDeviceInfo failed: 0x%x", hex(GetLastError()));
    return false;
  }
  return true;
}

QString DeviceTools::getDevNodeStringProperty(DEVINST devInst, const DEVPROPKEY &key) {
  return readDevNodeProperty(devInst, key).text();
}

QStringList DeviceTools::getDevNodeStringListProperty(DEVINST devInst, const DEVPROPKEY &key) {
  const Value v = readDevNodeProperty(devInst, key);
  if (!v.ok || v.type != DEVPROP_TYPE_STRING_LIST) return {};
  return v.list();
}

QStringList DeviceTools::getDeviceRegistryStringListProperty(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                                             DWORD property) {
  const Value v = readRegistryProperty(deviceInfoSet, deviceInfoData, property, REG_MULTI_SZ);
  if (v.sizeQueryFailed) {
    LOGE("SetupDiGetDeviceRegistryProperty failed: 0x%x", hex(v.error));
    return {};
  }
  if (v.wrongType) {
    LOGE("dataType %d not equal REG_MULTI_SZ", static_cast<int>(v.type));
    return {};
  }
  if (!v.ok) {
    LOGE("SetupDiGetDeviceRegistryProperty11 failed: 0x%x", hex(v.error));
    return {};
  }
  return v.list();
}

QString DeviceTools::getDeviceRegistryStringProperty(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                                     DWORD property) {
  const Value v = readRegistryProperty(deviceInfoSet, deviceInfoData, property);
  if (v.sizeQueryFailed) {
    LOGE("SetupDiGetDeviceRegistryProperty failed: 0x%x", hex(v.error));
    return {};
  }
  if (!v.ok) {
    LOGE("SetupDiGetDeviceRegistryProperty11 failed: 0x%x", hex(v.error));
    return {};
  }
  return v.text();
}

QString DeviceTools::getDeviceInstanceId(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData) {
  DWORD chars = 0;
  if (!SetupDiGetDeviceInstanceIdW(deviceInfoSet, deviceInfoData, nullptr, 0, &chars)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      LOGE("SetupDiGetDeviceInstanceId failed: 0x%x", hex(error));
      return {};
    }
  }
  std::vector<BYTE> buffer = valueBuffer(static_cast<size_t>(chars) * sizeof(WCHAR));
  if (!SetupDiGetDeviceInstanceIdW(deviceInfoSet, deviceInfoData, reinterpret_cast<WCHAR *>(buffer.data()), chars,
                                   nullptr)) {
    LOGE("SetupDiGetDeviceInstanceId failed: 0x%x", hex(GetLastError()));
    return {};
  }
  return textOf(buffer.data(), static_cast<size_t>(chars) * sizeof(WCHAR));
}

QString DeviceTools::getDeviceStringProperty_Setup(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                                   const DEVPROPKEY &key) {
  const Value v = readSetupProperty(deviceInfoSet, deviceInfoData, key);
  if (!v.ok) {
    LOGE("SetupDiGetDeviceProperty failed: 0x%x", hex(v.error));
    return {};
  }
  return v.text();
}

QString DeviceTools::getDriverDescription(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData) {
  const QString driverKey = getDeviceRegistryStringProperty(deviceInfoSet, deviceInfoData, SPDRP_DRIVER);
  return RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\Class\\") + driverKey,
                                QStringLiteral("DriverDesc"));
}

QString DeviceTools::getParentDeviceInstanceId(const QString &instanceId) {
  DEVINST node = 0;
  CONFIGRET cr = CM_Locate_DevNodeW(&node, wideMutable(instanceId), CM_LOCATE_DEVNODE_NORMAL);
  if (cr != CR_SUCCESS) {
    LOGE("CM_Locate_DevNode failed: 0x%x", hex(cr));
    return {};
  }
  DEVINST parent = 0;
  cr = CM_Get_Parent(&parent, node, 0);
  if (cr != CR_SUCCESS) {
    LOGE("CM_Get_Parent failed: 0x%x", hex(cr));
    return {};
  }
  ULONG length = 0;
  cr = CM_Get_Device_ID_Size(&length, parent, 0);
  if (cr != CR_SUCCESS) {
    LOGE("CM_Get_Device_ID_Size failed: 0x%x", hex(cr));
    return {};
  }
  std::vector<WCHAR> buffer(static_cast<size_t>(length) + 1, 0);
  cr = CM_Get_Device_IDW(parent, buffer.data(), length, 0);
  if (cr != CR_SUCCESS) {
    LOGE("CM_Get_Device_ID failed: 0x%x", hex(cr));
    return {};
  }
  return textOf(reinterpret_cast<const BYTE *>(buffer.data()), static_cast<size_t>(length) * sizeof(WCHAR));
}

bool DeviceTools::getDeviceInterfaceStringProperty(LPCWSTR interfacePath, const DEVPROPKEY &key, QString &out) {
  using GetInterfaceProperty = CONFIGRET(WINAPI *)(LPCWSTR, const DEVPROPKEY *, DEVPROPTYPE *, PBYTE, PULONG, ULONG);
  Module cfgmgr(LoadLibraryW(TEXT("cfgmgr32.dll")));
  if (!cfgmgr.valid()) return false;
  // Through void (*)(), the type that stands for any function, as a FARPROC is not the call's own type.
  const auto getProperty = reinterpret_cast<GetInterfaceProperty>(
      reinterpret_cast<void (*)()>(GetProcAddress(cfgmgr.get(), "CM_Get_Device_Interface_PropertyW")));
  if (!getProperty) return false;
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  if (getProperty(interfacePath, &key, &type, nullptr, &size, 0) != CR_BUFFER_SMALL) return false;
  std::vector<BYTE> buffer = valueBuffer(size);
  const CONFIGRET cr = getProperty(interfacePath, &key, &type, buffer.data(), &size, 0);
  cfgmgr.reset();
  if (cr != CR_SUCCESS) return false;
  out = textOf(buffer.data(), (std::min)(static_cast<size_t>(size), buffer.size()));
  return true;
}
