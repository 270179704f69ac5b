// Device and driver operations over SetupAPI, CfgMgr32, newdev and pnputil.exe, and the device problem texts.
// Every operation is static; failures are logged (tag "UI", error level unless said otherwise) and returned as
// false, a negative code or an empty result.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// One device that Windows marks as having a problem, or that runs another driver than the expected one.
struct DeviceProblemInfo {
  bool hasProblem = false;
  quint32 problemCode = 0;
  QString instanceId;
  QString name;
  QString driverDesc; // filled by the bind-error check only
};

using DeviceProblemList = QList<QSharedPointer<DeviceProblemInfo>>;

class DeviceTools : public QObject {
  Q_OBJECT

public:
  explicit DeviceTools(QObject *parent = nullptr);

  // Problem texts of the CM_PROB_ codes 1 to 56; "Unknown device problem." otherwise.
  static QString getProblemDescription(quint32 problemCode);

  // Property access. The set that initSetupApiByInstanceId makes belongs to the caller whenever it is valid,
  // also when false is returned.
  static bool initSetupApiByInstanceId(HDEVINFO &deviceInfoSet, SP_DEVINFO_DATA &deviceInfoData,
                                       const QString &instanceId);
  static QString getDevNodeStringProperty(DEVINST devInst, const DEVPROPKEY &key);
  static QStringList getDevNodeStringListProperty(DEVINST devInst, const DEVPROPKEY &key);
  static QStringList getDeviceRegistryStringListProperty(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                                         DWORD property);
  static QString getDeviceRegistryStringProperty(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                                 DWORD property);
  static QString getDeviceInstanceId(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData);
  static QString getDeviceStringProperty_Setup(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                               const DEVPROPKEY &key);
  static QString getDriverDescription(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData);
  static QString getParentDeviceInstanceId(const QString &instanceId);
  // cfgmgr32 is loaded for each call; out is set only on success.
  static bool getDeviceInterfaceStringProperty(LPCWSTR interfacePath, const DEVPROPKEY &key, QString &out);

  // Node creation and removal. CreateDevNodeAndInstallDriver returns 0, or -1 to -6 for the step that failed.
  static int CreateDevNodeAndInstallDriver(const QString &infPath, const QString &hardwareId);
  static bool RemoveDeviceByInstanceIdEx(const QString &instanceId, bool *needRestart);

  // Status checks of present devices; results are appended to the caller's lists.
  static bool checkDeviceStatusByHardwareID(const QStringList &hardwareIds, QStringList &instanceIds,
                                            DeviceProblemList &problems);
  static QStringList getInstanceIdsByHardwareIds(const QStringList &hardwareIds);
  static bool checkDeviceStatusByInstanceID(const QStringList &instanceIds, bool *found, DeviceProblemList &problems,
                                            bool partialMatch);
  static bool checkDeviceStatusByInterfaceClass(const GUID *interfaceClass, bool *found, DeviceProblemList &problems);

  // pnputil.exe and device control.
  static bool installDriverWithPnPUtil(const QString &infPath, bool install);
  static bool isDriverInstalled(const QString &text);
  static bool enableDevice(const QString &instanceId, bool enable);
  static bool restartDeviceUsingPropertyChange(const QString &instanceId);

  // Identifier parsing; -1 or an empty string when nothing is found.
  static int parseMiNumber(const QString &id);
  static int parseInstanceIdInterfaceToken(const QString &instanceId);
  static int parseUsbMiNumber(const QString &locationPath);
  static QString getVidFromId(const QString &id);
  static QString getPidFromId(const QString &id);
  static QString getGuidFromString(const QString &text);

  // Composite devices and serial numbers. getDeviceSerialNum may open the parent into the caller's set.
  static int getCompositeInterfaceNumber(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                         bool checkLocationPaths);
  static QString getDeviceSerialNum(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData,
                                    const QString &instanceId);
  static QString findCompositeDeviceRootBySerialNumber(const QString &serialNumber);

  // Driver binding of present devices known by their hardware ids.
  static bool bindDriverToDevice(const QStringList &hardwareIds, const QString &driverDesc);
  static bool checkDeviceBindErrorDriver(const QStringList &targetHwIds, const QString &expectedDriverDesc,
                                         bool &deviceFound, DeviceProblemList &problems);

  // Lookups by device interface path (symbolic link) and by instance id.
  static int getCompositeDeviceInterfaceNumberBySymbolicLink(const QString &symbolicLink);
  static QString getDeviceInstanceIdBySymbolicLink(const QString &symbolicLink);
  static bool isWPDDevice(const QString &symbolicLink);
  static QString getDeviceClassNameBySymbolicLink(const QString &symbolicLink);
  static bool isWPDDeviceByInstanceId(const QString &instanceId);
  static QString getDeviceClassNameByInstanceId(const QString &instanceId);
  static bool isWpdDeviceInfo(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData);
};
