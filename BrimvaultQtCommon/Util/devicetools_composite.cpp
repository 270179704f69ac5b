// Composite USB devices: interface numbers, serial numbers and roots; driver binding; lookups by symbolic link
// and by instance id.
#include "Util/devicetools.h"

#include <initguid.h>

#include <devpkey.h>

#include <QEventLoop>
#include <QTimer>

#include "Log/log.h"
#include "Util/devicetools_internal.h"
#include "Util/windows/usb/serial/enum/usbenum.h"

using namespace devicetools;

namespace {

constexpr int kRestartAttempts = 5;
constexpr int kRestartWaitMs = 1000;

// Text in the system code page, as the USB enumerator takes and gives it.
std::vector<char> toAnsi(const QString &text) {
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide(text), length, nullptr, 0, nullptr, nullptr);
  std::vector<char> out(static_cast<size_t>(bytes > 0 ? bytes : 0) + 1, '\0');
  if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, wide(text), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

QString fromAnsi(const char *text) {
  if (!text || !*text) return QString();
  const int chars = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (chars <= 1) return QString();
  std::vector<WCHAR> out(static_cast<size_t>(chars), 0);
  MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), chars);
  return QString::fromUtf16(reinterpret_cast<const char16_t *>(out.data()), chars - 1);
}

QString serialFromUsbTree(const QString &instanceId) {
  UsbEnumInit();
  EnumerateHostControllers(nullptr);
  const std::vector<char> id = toAnsi(instanceId);
  PCHAR serial = GetSerialNumberByInstanceId(id.data());
  const QString result = fromAnsi(serial);
  UsbEnumFree(serial);
  UsbEnumCleanup();
  UsbEnumFinish();
  return result;
}

QString lastSegment(const QString &id) { return id.mid(id.lastIndexOf(QLatin1Char('\\')) + 1); }

bool matchesHardwareIds(HDEVINFO set, SP_DEVINFO_DATA *element, const QStringList &wanted) {
  const QStringList ids = DeviceTools::getDeviceRegistryStringListProperty(set, element, SPDRP_HARDWAREID);
  for (const QString &w : wanted) {
    if (ids.contains(w, Qt::CaseInsensitive)) return true;
  }
  return false;
}

bool containsMtp(const QStringList &ids) {
  for (const QString &id : ids) {
    if (id.contains(QLatin1String("_MTP"), Qt::CaseInsensitive)) return true;
  }
  return false;
}

// Waits while the calling thread's events are dispatched.
void waitDispatching(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Opens the interface into a set of all present devices and runs compute on its owning device; notReached when
// the device cannot be reached. Failures are logged as `operation`.
template <class Result, class Compute>
Result withDeviceBySymbolicLink(const char *operation, const QString &symbolicLink, Result notReached,
                                Compute compute) {
  DevInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.valid()) {
    DT_LOGE_FOR(operation, "SetupDiGetClassDevsW failed: 0x%x", hex(GetLastError()));
    return notReached;
  }
  SP_DEVICE_INTERFACE_DATA interfaceData;
  ZeroMemory(&interfaceData, sizeof(interfaceData));
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  if (!SetupDiOpenDeviceInterfaceW(set.get(), wide(symbolicLink), 0, &interfaceData)) {
    DT_LOGE_FOR(operation, "SetupDiOpenDeviceInterfaceW failed: 0x%x", hex(GetLastError()));
    return notReached; // no interface, so nothing to ask its details of
  }
  SP_DEVINFO_DATA element = emptyElement();
  if (!SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, nullptr, 0, nullptr, &element)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      DT_LOGE_FOR(operation, "SetupDiGetDeviceInterfaceDetailW failed: 0x%x", hex(error));
      return notReached;
    }
  }
  return compute(set.get(), &element);
}

template <class Result, class Compute>
Result withDeviceByInstanceId(const QString &instanceId, Result notReached, Compute compute) {
  DevInfoSet set;
  SP_DEVINFO_DATA element = emptyElement();
  if (!DeviceTools::initSetupApiByInstanceId(*set.receive(), element, instanceId)) return notReached;
  return compute(set.get(), &element);
}

} // namespace

int DeviceTools::getCompositeInterfaceNumber(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                             bool checkLocationPaths) {
  if (checkLocationPaths) {
    for (const QString &path :
         getDeviceRegistryStringListProperty(deviceInfoSet, deviceInfoData, SPDRP_LOCATION_PATHS)) {
      const int n = parseUsbMiNumber(path);
      if (n != -1) return n;
    }
  }
  const QString instanceId = getDeviceInstanceId(deviceInfoSet, deviceInfoData);
  int n = parseMiNumber(instanceId);
  if (n != -1) return n;
  for (DWORD property : {static_cast<DWORD>(SPDRP_HARDWAREID), static_cast<DWORD>(SPDRP_COMPATIBLEIDS)}) {
    for (const QString &id : getDeviceRegistryStringListProperty(deviceInfoSet, deviceInfoData, property)) {
      n = parseMiNumber(id);
      if (n != -1) return n;
    }
  }
  return parseInstanceIdInterfaceToken(instanceId);
}

QString DeviceTools::getDeviceSerialNum(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                        const QString &instanceId) {
  if (instanceId.isEmpty()) return QString();
  const QString fromUsb = serialFromUsbTree(instanceId);
  if (!fromUsb.isEmpty()) return fromUsb;

  QString chosen = instanceId;
  if (getCompositeInterfaceNumber(deviceInfoSet, deviceInfoData, true) != -1) {
    const QString parent = getDeviceStringProperty_Setup(deviceInfoSet, deviceInfoData, DEVPKEY_Device_Parent);
    if (!parent.isEmpty()) chosen = parent;
  }
  if (chosen == instanceId) {
    LOGI("Device Instance ID: %s", instanceId.toUtf8().constData());
    const QString parentId = getParentDeviceInstanceId(instanceId);
    if (!parentId.isEmpty()) {
      LOGI("Parent Device Instance ID: %s", parentId.toUtf8().constData());
      SP_DEVINFO_DATA parent = emptyElement();
      if (!SetupDiOpenDeviceInfoW(deviceInfoSet, wide(parentId), nullptr, 0, &parent)) {
        LOGE("Failed to open parent device info.");
      } else {
        const QString service = getDeviceRegistryStringProperty(deviceInfoSet, &parent, SPDRP_SERVICE);
        if (service.isEmpty()) {
          LOGE("Failed to get Parent Service Name.");
        } else {
          LOGI("Parent Service Name: %s", service.toUtf8().constData());
          if (service.compare(QLatin1String("usbccgp"), Qt::CaseInsensitive) == 0 ||
              service.compare(QLatin1String("dg_ssudbus"), Qt::CaseInsensitive) == 0)
            chosen = parentId;
        }
      }
    }
  }
  const QString serial = lastSegment(chosen);
  LOGI("parent device: %s, serial num: %s", chosen.toUtf8().constData(), serial.toUtf8().constData());
  return serial;
}

QString DeviceTools::findCompositeDeviceRootBySerialNumber(const QString &serialNumber) {
  if (serialNumber.isEmpty()) return QString();
  DevInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.valid()) {
    LOGE("Failed to get device information set, 0x%x", hex(GetLastError()));
    return QString();
  }
  // The root's own id ends in the serial as its whole last segment; "...\ABCD" is another device than "ABC".
  const QString ownSegment = QLatin1Char('\\') + serialNumber;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = emptyElement();
    if (!SetupDiEnumDeviceInfo(set.get(), index, &element)) break;
    const QString instanceId = getDeviceInstanceId(set.get(), &element);
    if (instanceId.isEmpty() || !instanceId.contains(serialNumber, Qt::CaseInsensitive)) continue;
    if (getCompositeInterfaceNumber(set.get(), &element, true) != -1) continue;
    const QString parent = getDeviceStringProperty_Setup(set.get(), &element, DEVPKEY_Device_Parent);
    if (!parent.isEmpty() && parent.contains(serialNumber, Qt::CaseInsensitive)) continue;
    if (instanceId.endsWith(ownSegment, Qt::CaseInsensitive)) return instanceId;
  }
  return QString();
}

bool DeviceTools::bindDriverToDevice(const QStringList &hardwareIds, const QString &driverDesc) {
  if (hardwareIds.isEmpty() || driverDesc.isEmpty()) return false;
  DevInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.valid()) {
    LOGE("Failed to get device list, 0x%x", hex(GetLastError()));
    return false;
  }
  bool result = true;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = emptyElement();
    if (!SetupDiEnumDeviceInfo(set.get(), index, &element)) break;
    if (!matchesHardwareIds(set.get(), &element, hardwareIds)) continue;
    if (!SetupDiBuildDriverInfoList(set.get(), &element, SPDIT_COMPATDRIVER)) {
      // This device stays unbound: a failure for the caller, but no reason to leave the others unbound too.
      LOGE("Failed to build driver list, 0x%x", hex(GetLastError()));
      result = false;
      continue;
    }
    CompatDriverList drivers(set.get(), &element);
    if (getDriverDescription(set.get(), &element).compare(driverDesc, Qt::CaseInsensitive) == 0) continue;
    const QString instanceId = getDeviceInstanceId(set.get(), &element);
    const QString serial = getDeviceSerialNum(set.get(), &element, instanceId);
    for (DWORD driverIndex = 0;; ++driverIndex) {
      SP_DRVINFO_DATA_V2_W driver;
      ZeroMemory(&driver, sizeof(driver));
      driver.cbSize = sizeof(SP_DRVINFO_DATA_V2_W);
      if (!SetupDiEnumDriverInfoW(set.get(), &element, SPDIT_COMPATDRIVER, driverIndex, &driver)) break;
      const QString description = textOf(reinterpret_cast<const BYTE *>(driver.Description), sizeof(driver.Description));
      if (description.compare(driverDesc, Qt::CaseInsensitive) != 0) continue;
      if (!SetupDiSetSelectedDriverW(set.get(), &element, &driver)) {
        LOGE("Failed to select driver. Error: 0x%x", hex(GetLastError()));
        result = false;
        continue;
      }
      if (!SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set.get(), &element)) {
        LOGE("Failed to install driver. Error: 0x%x", hex(GetLastError()));
        result = false;
        continue;
      }
      // The new driver takes effect once the whole composite device restarts; its node may take a moment.
      for (int attempt = 0; attempt < kRestartAttempts; ++attempt) {
        const QString root = findCompositeDeviceRootBySerialNumber(serial);
        if (!root.isEmpty()) {
          restartDeviceUsingPropertyChange(root);
          break;
        }
        waitDispatching(kRestartWaitMs);
      }
    }
  }
  return result;
}

bool DeviceTools::checkDeviceBindErrorDriver(const QStringList &targetHwIds, const QString &expectedDriverDesc,
                                             bool &deviceFound, DeviceProblemList &problems) {
  if (targetHwIds.isEmpty() || expectedDriverDesc.isEmpty()) {
    LOGE("targetHwIds.isEmpty() || expectedDriverDesc.isEmpty()");
    return false;
  }
  DevInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.valid()) {
    LOGE("Failed to get device list, 0x%x", hex(GetLastError()));
    return false;
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element = emptyElement();
    if (!SetupDiEnumDeviceInfo(set.get(), index, &element)) break;
    if (!matchesHardwareIds(set.get(), &element, targetHwIds)) continue;
    deviceFound = true;
    const QString current = getDriverDescription(set.get(), &element);
    if (current.compare(expectedDriverDesc, Qt::CaseInsensitive) == 0) continue;
    auto record = QSharedPointer<DeviceProblemInfo>::create();
    record->hasProblem = true;
    record->problemCode = 0;
    record->instanceId = getDeviceInstanceId(set.get(), &element);
    record->name = getDeviceRegistryStringProperty(set.get(), &element, SPDRP_DEVICEDESC);
    record->driverDesc = current;
    problems.append(record);
  }
  return true;
}

int DeviceTools::getCompositeDeviceInterfaceNumberBySymbolicLink(const QString &symbolicLink) {
  return withDeviceBySymbolicLink(__func__, symbolicLink, -1, [](HDEVINFO set, SP_DEVINFO_DATA *element) {
    return getCompositeInterfaceNumber(set, element, true);
  });
}

QString DeviceTools::getDeviceInstanceIdBySymbolicLink(const QString &symbolicLink) {
  return withDeviceBySymbolicLink(__func__, symbolicLink, QString(), [](HDEVINFO set, SP_DEVINFO_DATA *element) {
    return getDeviceInstanceId(set, element);
  });
}

bool DeviceTools::isWPDDevice(const QString &symbolicLink) {
  return withDeviceBySymbolicLink(__func__, symbolicLink, false, [](HDEVINFO set, SP_DEVINFO_DATA *element) {
    return isWpdDeviceInfo(set, element);
  });
}

QString DeviceTools::getDeviceClassNameBySymbolicLink(const QString &symbolicLink) {
  return withDeviceBySymbolicLink(__func__, symbolicLink, QString(), [](HDEVINFO set, SP_DEVINFO_DATA *element) {
    return getDeviceRegistryStringProperty(set, element, SPDRP_CLASS);
  });
}

bool DeviceTools::isWPDDeviceByInstanceId(const QString &instanceId) {
  return withDeviceByInstanceId(instanceId, false, [](HDEVINFO set, SP_DEVINFO_DATA *element) {
    return isWpdDeviceInfo(set, element);
  });
}

QString DeviceTools::getDeviceClassNameByInstanceId(const QString &instanceId) {
  return withDeviceByInstanceId(instanceId, QString(), [](HDEVINFO set, SP_DEVINFO_DATA *element) {
    return getDeviceRegistryStringProperty(set, element, SPDRP_CLASS);
  });
}

bool DeviceTools::isWpdDeviceInfo(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData) {
  if (getDeviceRegistryStringProperty(deviceInfoSet, deviceInfoData, SPDRP_CLASS)
          .compare(QLatin1String("WPD"), Qt::CaseInsensitive) == 0)
    return true;
  if (getDeviceInstanceId(deviceInfoSet, deviceInfoData).contains(QLatin1String("_MTP"), Qt::CaseInsensitive))
    return true;
  return containsMtp(getDeviceRegistryStringListProperty(deviceInfoSet, deviceInfoData, SPDRP_HARDWAREID)) ||
         containsMtp(getDeviceRegistryStringListProperty(deviceInfoSet, deviceInfoData, SPDRP_COMPATIBLEIDS));
}
