// Entries of the local service control manager: create, delete, change and read the start type, start, query.
#include "Util/miscutil.h"

#include <windows.h>
#include <winsvc.h>

#include <QFile>

#include "Log/hostpath.h"
#include "Log/log.h"

namespace {

const WCHAR *wide(const QString &s) { return reinterpret_cast<const WCHAR *>(s.utf16()); }

// A wide copy for an optional argument: none when empty.
const WCHAR *wideOrNone(const QString &s) { return s.isEmpty() ? nullptr : wide(s); }

unsigned int lastError() { return static_cast<unsigned int>(GetLastError()); }

// Closes a control-manager or service handle when the scope ends; NULL is none.
class ScHandle {
public:
  explicit ScHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ~ScHandle() {
    if (h_) CloseServiceHandle(h_);
  }
  ScHandle(const ScHandle &) = delete;
  ScHandle &operator=(const ScHandle &) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

private:
  SC_HANDLE h_;
};

// A composed text goes in as data: a '%' in a service name is printed, never read as a format.
#define LOGE_TEXT(text) LOGE("%s", (text).toUtf8().constData())

// The binary path of a new service: the native path, trimmed, quoted when it holds a blank, then the arguments.
QString commandLine(const QString &exePath, const QStringList &arguments) {
  QString line = nativeSeparators(exePath).trimmed();
  if (line.contains(QLatin1Char(' '))) line = QLatin1Char('"') + line + QLatin1Char('"');
  for (const QString &argument : arguments) line += QLatin1Char(' ') + argument;
  return line;
}

} // namespace

bool MiscUtil::createServiceEntry(const QString &serviceName, const QString &displayName, const QString &exePath,
                                  const QStringList &arguments, int serviceType, int startType,
                                  const QString &description, const QString &account, const QString &password) {
  if (!QFile::exists(hostFolder(exePath))) {
    LOGE("exe path %s not exist!", exePath.toUtf8().constData());
    return false;
  }
  const QString binaryPath = commandLine(exePath, arguments);
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) {
    LOGE_TEXT(QString("OpenSCManager failed with %1").arg(GetLastError()));
    return false;
  }
  ScHandle service(CreateServiceW(scm.get(), wide(serviceName), wide(displayName), SERVICE_ALL_ACCESS,
                                  static_cast<DWORD>(serviceType), static_cast<DWORD>(startType),
                                  SERVICE_ERROR_NORMAL, wide(binaryPath), nullptr, nullptr, nullptr,
                                  wideOrNone(account), wideOrNone(password)));
  if (!service) {
    // One multi-argument arg: a "%2" inside the name is not substituted into.
    LOGE_TEXT(QString("CreateService %1 failed with %2").arg(serviceName, QString::number(GetLastError())));
    return false;
  }
  if (!description.isEmpty()) {
    QString text = description; // SERVICE_DESCRIPTIONW wants a writable pointer
    SERVICE_DESCRIPTIONW info{reinterpret_cast<LPWSTR>(text.data())};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
  }
  LOGE("Service %s create succ", serviceName.toUtf8().constData());
  return true;
}

bool MiscUtil::deleteServiceEntry(const QString &serviceName) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) {
    LOGE_TEXT(QString("OpenSCManager failed with %1").arg(GetLastError()));
    return false;
  }
  ScHandle service(OpenServiceW(scm.get(), wide(serviceName), DELETE));
  if (!service) {
    LOGE_TEXT(QString("OpenService %1 failed with %2").arg(serviceName, QString::number(GetLastError())));
    return false;
  }
  const bool deleted = DeleteService(service.get()) != FALSE;
  if (deleted)
    LOGE("Service %s delete succ", serviceName.toUtf8().constData());
  else
    LOGE_TEXT(QString("DeleteService %1 failed with: %2").arg(serviceName, QString::number(GetLastError())));
  return deleted;
}

bool MiscUtil::ChangeServiceStartType(const QString &serviceName, int startType) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_MODIFY_BOOT_CONFIG));
  if (!scm) {
    LOGE("cannot open sc manager: 0x%x", lastError());
    return false;
  }
  ScHandle service(OpenServiceW(scm.get(), wide(serviceName), SERVICE_CHANGE_CONFIG));
  if (!service) {
    LOGE("cannot open service %s, err: 0x%x", serviceName.toUtf8().constData(), lastError());
    return false;
  }
  if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, static_cast<DWORD>(startType), SERVICE_NO_CHANGE,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    LOGE("cannot change start type, err: 0x%x", lastError());
    return false;
  }
  LOGI("service %s start type has changed", serviceName.toUtf8().constData());
  return true;
}

bool MiscUtil::QueryServiceStartType(const QString &serviceName, int *startType) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) {
    LOGE("cannot open sc manager: 0x%x", lastError());
    return false;
  }
  ScHandle service(OpenServiceW(scm.get(), wide(serviceName), SERVICE_QUERY_CONFIG));
  if (!service) {
    LOGE("cannot open service %s, err: 0x%x", serviceName.toUtf8().constData(), lastError());
    return false;
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    LOGE("query service config failed, err: 0x%x", lastError());
    return false;
  }
  auto *config = static_cast<LPQUERY_SERVICE_CONFIGW>(LocalAlloc(LMEM_ZEROINIT, needed));
  if (!config) {
    LOGE("memory alloc failed");
    return false;
  }
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
    LOGE("query service config failed, err: 0x%x", lastError());
    LocalFree(config);
    return false;
  }
  if (startType) *startType = static_cast<int>(config->dwStartType);
  LocalFree(config);
  return true;
}

bool MiscUtil::StartWindowsService(const QString &serviceName) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) {
    LOGE("cannot open sc manager: 0x%x", lastError());
    return false;
  }
  ScHandle service(OpenServiceW(scm.get(), wide(serviceName), SERVICE_START));
  if (!service) {
    LOGE("cannot open service %s, err: 0x%x", serviceName.toUtf8().constData(), lastError());
    return false;
  }
  if (StartServiceW(service.get(), 0, nullptr)) {
    LOGE("service %s start success", serviceName.toUtf8().constData());
    return true;
  }
  if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
    LOGI("service %s already running", serviceName.toUtf8().constData());
    return true;
  }
  LOGE("cannot start service, err: 0x%x", lastError());
  return false;
}

bool MiscUtil::IsServiceRunning(const QString &serviceName) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) {
    LOGE("Failed to open Service Control Manager. Error: 0x%x", lastError());
    return false;
  }
  ScHandle service(OpenServiceW(scm.get(), wide(serviceName), SERVICE_QUERY_STATUS));
  if (!service) {
    LOGE("Failed to open service: %s. Error: 0x%x", serviceName.toUtf8().constData(), lastError());
    return false;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  bool running = false;
  if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                           &needed))
    running = status.dwCurrentState == SERVICE_RUNNING;
  else
    LOGE("Failed to query service status. Error: 0x%x", lastError());
  LOGI("service %s is running (%d)", serviceName.toUtf8().constData(), running ? 1 : 0);
  return running;
}

bool MiscUtil::IsServiceExist(const QString &serviceName) {
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) {
    LOGE("Failed to open Service Control Manager. Error: 0x%x", lastError());
    return false;
  }
  ScHandle service(OpenServiceW(scm.get(), wide(serviceName), SERVICE_QUERY_STATUS));
  if (service) return true;
  const DWORD code = GetLastError();
  LOGE("Failed to open service: %s. Error: 0x%x", serviceName.toUtf8().constData(), static_cast<unsigned int>(code));
  // Any other refusal (access denied, a bad name) still means something answers to the name.
  return code != ERROR_SERVICE_DOES_NOT_EXIST;
}
