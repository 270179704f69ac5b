// Driver packages through pnputil.exe, and enabling, disabling and restarting a device by property change.
#include "Util/devicetools.h"

#include <QFileInfo>
#include <QProcess>

#include "Log/hostpath.h"
#include "Log/log.h"
#include "Util/devicetools_internal.h"

using namespace devicetools;

namespace {

constexpr int kPnpUtilWaitMs = 30000;

// DIF_PROPERTYCHANGE with the given state change on the first device of the instance id; logs as `operation`.
bool changeProperty(const char *operation, const QString &instanceId, DWORD stateChange, bool readStatusFirst) {
  DevInfoSet set;
  SP_DEVINFO_DATA element = emptyElement();
  if (!DeviceTools::initSetupApiByInstanceId(*set.receive(), element, instanceId)) {
    DT_LOGE_FOR(operation, "initSetupApiByInstanceId failed");
    return false;
  }
  if (readStatusFirst) {
    // A node whose status cannot be read is not one to change; say so rather than report success.
    const NodeStatus s = nodeStatus(element.DevInst);
    if (!s.ok()) {
      DT_LOGE_FOR(operation, "CM_Get_DevNode_Status failed: 0x%x", hex(s.result));
      return false;
    }
  }
  SP_PROPCHANGE_PARAMS params;
  ZeroMemory(&params, sizeof(params));
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = stateChange;
  params.Scope = DICS_FLAG_GLOBAL;
  params.HwProfile = 0;
  if (!SetupDiSetClassInstallParamsW(set.get(), &element, &params.ClassInstallHeader, sizeof(params))) {
    DT_LOGE_FOR(operation, "SetupDiSetClassInstallParams failed: 0x%x", hex(GetLastError()));
    return false;
  }
  if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.get(), &element)) {
    DT_LOGE_FOR(operation, "SetupDiCallClassInstaller failed: 0x%x", hex(GetLastError()));
    return false;
  }
  return true;
}

} // namespace

bool DeviceTools::installDriverWithPnPUtil(const QString &infPath, bool install) {
  if (!QFileInfo::exists(hostFolder(infPath))) {
    LOGE("Driver file does not exist: %s", infPath.toUtf8().constData());
    return false;
  }
  QStringList arguments{QStringLiteral("/add-driver"), infPath};
  if (install) arguments << QStringLiteral("/install");

  QProcess process;
#ifdef Q_OS_WIN
  // A console of its own, kept hidden: wShowWindow counts only with STARTF_USESHOWWINDOW.
  process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *args) {
    args->flags |= CREATE_NEW_CONSOLE;
    args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
    args->startupInfo->wShowWindow = SW_HIDE;
  });
#endif
  process.start(QStringLiteral("pnputil.exe"), arguments, QIODevice::ReadWrite);
  if (!process.waitForStarted(kPnpUtilWaitMs)) {
    LOGE("Failed to start pnputil process");
    return false;
  }
  if (!process.waitForFinished(kPnpUtilWaitMs)) {
    LOGE("Process timed out");
    process.kill();
    process.waitForFinished(kPnpUtilWaitMs);
    return false;
  }
  if (process.exitStatus() == QProcess::CrashExit) {
    LOGE("Process crashed");
    return false;
  }
  const int exitCode = process.exitCode();
  LOGI("Process exited with code: %d", exitCode);
  const QByteArray output = process.readAllStandardOutput();
  const QByteArray error = process.readAllStandardError();
  if (!output.isEmpty()) LOGI("Output: %s", output.constData());
  if (!error.isEmpty()) LOGI("Error: %s", error.constData());
  return exitCode == 0;
}

bool DeviceTools::isDriverInstalled(const QString &text) {
  QProcess process;
  process.start(QStringLiteral("pnputil.exe"), {QStringLiteral("/enum-drivers")}, QIODevice::ReadWrite);
  if (!process.waitForFinished(kPnpUtilWaitMs)) {
    LOGE("Failed to enumerate drivers, %d", process.exitCode());
    return false;
  }
  return QString::fromLocal8Bit(process.readAllStandardOutput()).contains(text, Qt::CaseInsensitive);
}

bool DeviceTools::enableDevice(const QString &instanceId, bool enable) {
  return changeProperty(__func__, instanceId, enable ? DICS_ENABLE : DICS_DISABLE, true);
}

bool DeviceTools::restartDeviceUsingPropertyChange(const QString &instanceId) {
  return changeProperty(__func__, instanceId, DICS_PROPCHANGE, false);
}
