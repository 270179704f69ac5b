// Creation of root-enumerated device nodes with their driver, and removal of devices by instance id.
#include "Util/devicetools.h"

#include <newdev.h>

#include "Log/hostpath.h"
#include "Log/log.h"
#include "Util/devicetools_internal.h"

using namespace devicetools;

namespace {

// DIF_REMOVE on one element; false with the last error set when either call fails.
bool removeElement(HDEVINFO set, SP_DEVINFO_DATA *element) {
  SP_REMOVEDEVICE_PARAMS params;
  ZeroMemory(&params, sizeof(params));
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  params.Scope = DI_REMOVEDEVICE_GLOBAL;
  params.HwProfile = 0;
  return SetupDiSetClassInstallParamsW(set, element, &params.ClassInstallHeader, sizeof(params)) &&
         SetupDiCallClassInstaller(DIF_REMOVE, set, element);
}

} // namespace

int DeviceTools::CreateDevNodeAndInstallDriver(const QString &infPath, const QString &hardwareId) {
  // The driver update needs a full path; the class read does not care.
  const QString inf = nativeSeparators(absoluteWindowsPath(infPath));

  GUID classGuid;
  WCHAR className[MAX_CLASS_NAME_LEN] = {};
  if (!SetupDiGetINFClassW(wide(inf), &classGuid, className, MAX_CLASS_NAME_LEN, nullptr)) {
    LOGE("SetupDiGetINFClass failed with 0x%x", hex(GetLastError()));
    return -1;
  }

  DevInfoSet set(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
  if (!set.valid()) {
    LOGE("SetupDiCreateDeviceInfoList failed with 0x%x", hex(GetLastError()));
    return -2;
  }

  SP_DEVINFO_DATA element = emptyElement();
  if (!SetupDiCreateDeviceInfoW(set.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &element)) {
    LOGE("SetupDiCreateDeviceInfo failed with 0x%x", hex(GetLastError()));
    return -3;
  }

  // A list of one entry: the id, its NUL and the NUL that ends the list.
  std::vector<WCHAR> hardwareIdList(static_cast<size_t>(hardwareId.size()) + 2, 0);
  std::copy(hardwareId.utf16(), hardwareId.utf16() + hardwareId.size(), hardwareIdList.begin());
  if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &element, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE *>(hardwareIdList.data()),
                                         static_cast<DWORD>(hardwareIdList.size() * sizeof(WCHAR)))) {
    LOGE("SetupDiSetDeviceRegistryProperty failed with 0x%x", hex(GetLastError()));
    return -4;
  }

  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &element)) {
    LOGE("SetupDiCallClassInstaller failed with 0x%x", hex(GetLastError()));
    return -5;
  }

  BOOL rebootRequired = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, wide(hardwareId), wide(inf), INSTALLFLAG_FORCE, &rebootRequired)) {
    const DWORD error = GetLastError();
    // Without its driver the node is of no use, and each retry would leave one more behind.
    removeElement(set.get(), &element);
    LOGE("UpdateDriverForPlugAndPlayDevices failed with 0x%x", hex(error));
    return -6;
  }
  return 0;
}

bool DeviceTools::RemoveDeviceByInstanceIdEx(const QString &instanceId, bool *needRestart) {
  *needRestart = false;
  DevInfoSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set.valid()) {
    LOGE("SetupDiCreateDeviceInfoList failed: 0x%x", hex(GetLastError()));
    return false;
  }
  SP_DEVINFO_DATA element = emptyElement();
  if (!SetupDiOpenDeviceInfoW(set.get(), wide(instanceId), nullptr, 0, &element)) {
    LOGE("SetupDiOpenDeviceInfo failed: 0x%x", hex(GetLastError()));
    return false;
  }
  if (!removeElement(set.get(), &element)) {
    LOGE("failed to invoke DIF_REMOVE: 0x%x", hex(GetLastError()));
    return false;
  }
  SP_DEVINSTALL_PARAMS_W installParams;
  ZeroMemory(&installParams, sizeof(installParams));
  installParams.cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
  if (SetupDiGetDeviceInstallParamsW(set.get(), &element, &installParams) &&
      (installParams.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0) {
    *needRestart = true;
    LOGE("reboot required after DIF_REMOVE");
  } else {
    LOGE("DIF_REMOVE appears to have succeeded");
  }
  return true;
}
