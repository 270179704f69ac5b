// The control-manager client calls: handles to the manager and to services, configuration, start, control, query.
#include <windows.h>
#include <winsvc.h>

#include "emu/account.h"
#include "emu/emu.h"
#include "emu/scm.h"
#include "service/store.h"

#include <map>
#include <mutex>

namespace {

using namespace emu;

constexpr DWORD kInvalidLevel = 124;             // ERROR_INVALID_LEVEL
constexpr DWORD kDatabaseDoesNotExist = 1065;    // ERROR_DATABASE_DOES_NOT_EXIST
constexpr DWORD kServerUnavailable = 1722;       // RPC_S_SERVER_UNAVAILABLE

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Open handles per service in this process; other processes learn of them through the entry's "handles" folder, so
// an entry marked for deletion goes when the last handle anywhere closes.
std::mutex g_countMutex;
std::map<std::string, int> &handleCounts() {
  static auto *counts = new std::map<std::string, int>;
  return *counts;
}

struct ScManager : KernelObject {
  DWORD access;
  explicit ScManager(DWORD a) : access(a) {}
  const char *typeName() const override { return "ServiceControlManager"; }
};

struct ScService : KernelObject {
  std::string name;
  DWORD access;
  ScService(std::string n, DWORD a) : name(std::move(n)), access(a) {
    std::lock_guard<std::mutex> lock(g_countMutex);
    if (++handleCounts()[lower(name)] == 1) scmstore::noteHandlesOpen(scmstore::folderOf(name), true);
  }
  ~ScService() override {
    bool last;
    {
      std::lock_guard<std::mutex> lock(g_countMutex);
      last = --handleCounts()[lower(name)] == 0;
      if (last) {
        handleCounts().erase(lower(name));
        scmstore::noteHandlesOpen(scmstore::folderOf(name), false);
      }
    }
    if (last) scm::purgeIfDeleted(name);
  }
  const char *typeName() const override { return "Service"; }
};

// What the default security descriptors grant: administrators (elevated) and LocalSystem everything; other
// users connect, enumerate and query, and may send user-defined controls to a service.
constexpr DWORD kUserManagerRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

// The rights granted for `desired`, or ERROR_ACCESS_DENIED when the caller may not have one of them.
// MAXIMUM_ALLOWED grants whatever the caller may have.
DWORD grant(DWORD desired, DWORD mapped, DWORD all, DWORD userRights, DWORD *granted) {
  const DWORD allowed = currentIsAdministrator() ? all : userRights;
  if (desired & MAXIMUM_ALLOWED) mapped = (mapped & ~all) | allowed;
  if (mapped & ~allowed) return ERROR_ACCESS_DENIED;
  *granted = mapped;
  return 0;
}

DWORD managerAccess(DWORD a, DWORD *granted) {
  DWORD r = (a & 0xFFFF) | SC_MANAGER_CONNECT | (a & STANDARD_RIGHTS_REQUIRED);
  if (a & GENERIC_ALL) r |= SC_MANAGER_ALL_ACCESS;
  if (a & GENERIC_READ) r |= SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
  if (a & GENERIC_WRITE) r |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG | READ_CONTROL;
  if (a & GENERIC_EXECUTE) r |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK | READ_CONTROL;
  return grant(a, r, SC_MANAGER_ALL_ACCESS, kUserManagerRights, granted);
}

DWORD serviceAccess(DWORD a, DWORD *granted) {
  DWORD r = a & (0xFFFF | STANDARD_RIGHTS_REQUIRED);
  if (a & GENERIC_ALL) r |= SERVICE_ALL_ACCESS;
  if (a & GENERIC_READ)
    r |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS | READ_CONTROL;
  if (a & GENERIC_WRITE) r |= SERVICE_CHANGE_CONFIG | READ_CONTROL;
  if (a & GENERIC_EXECUTE)
    r |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;
  return grant(a, r, SERVICE_ALL_ACCESS, kUserServiceRights, granted);
}

std::shared_ptr<ScManager> managerOf(SC_HANDLE h) {
  auto m = lookupHandleAs<ScManager>(reinterpret_cast<HANDLE>(h));
  if (!m) SetLastError(ERROR_INVALID_HANDLE);
  return m;
}

// The service behind a handle, when the handle carries `right`; else null with the last error set.
std::shared_ptr<ScService> serviceOf(SC_HANDLE h, DWORD right) {
  auto s = lookupHandleAs<ScService>(reinterpret_cast<HANDLE>(h));
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((s->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return s;
}

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

std::string utf8(LPCWSTR text) { return text ? toUtf8(text) : std::string(); }

// The account an entry names: none or empty is LocalSystem. The machine keeps no user database, so the names it
// knows are those of the built-in service accounts; anything else is ERROR_INVALID_SERVICE_ACCOUNT.
DWORD serviceAccount(LPCWSTR name, std::string *account) {
  if (!name || !*name) {
    *account = "LocalSystem";
    return 0;
  }
  *account = toUtf8(name);
  static const char *const known[] = {"localsystem", ".\\localsystem", "nt authority\\localservice",
                                      "nt authority\\networkservice"};
  for (const char *k : known)
    if (lower(*account) == k) return 0;
  return ERROR_INVALID_SERVICE_ACCOUNT;
}

} // namespace

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  EMU_FAIL_POINT("OpenSCManagerW", nullptr);
  if (lpMachineName && *lpMachineName) {
    SetLastError(kServerUnavailable); // only the local machine is emulated
    return nullptr;
  }
  if (lpDatabaseName && lower(toUtf8(lpDatabaseName)) != "servicesactive") {
    SetLastError(kDatabaseDoesNotExist);
    return nullptr;
  }
  DWORD granted = 0;
  if (DWORD e = managerAccess(dwDesiredAccess, &granted)) {
    SetLastError(e);
    return nullptr;
  }
  return reinterpret_cast<SC_HANDLE>(insertHandle(std::make_shared<ScManager>(granted)));
}

extern "C" SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                           DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                           DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR,
                                           LPDWORD lpdwTagId, LPCWSTR, LPCWSTR lpServiceStartName, LPCWSTR) {
  EMU_FAIL_POINT("CreateServiceW", nullptr);
  auto m = managerOf(hSCManager);
  if (!m) return nullptr;
  if (!(m->access & SC_MANAGER_CREATE_SERVICE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!lpServiceName) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (!lpBinaryPathName || (lpdwTagId && !(dwServiceType & SERVICE_DRIVER))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD granted = 0;
  if (DWORD e = serviceAccess(dwDesiredAccess, &granted)) {
    SetLastError(e);
    return nullptr;
  }
  scm::ServiceConfig c;
  c.name = toUtf8(lpServiceName);
  c.displayName = utf8(lpDisplayName);
  c.binaryPath = toUtf8(lpBinaryPathName);
  c.serviceType = dwServiceType;
  c.startType = dwStartType;
  c.errorControl = dwErrorControl;
  if (DWORD e = serviceAccount(lpServiceStartName, &c.account)) {
    SetLastError(e);
    return nullptr;
  }
  if (DWORD e = scm::createService(c)) {
    SetLastError(e);
    return nullptr;
  }
  if (lpdwTagId) *lpdwTagId = 0;
  return reinterpret_cast<SC_HANDLE>(insertHandle(std::make_shared<ScService>(c.name, granted)));
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  EMU_FAIL_POINT("OpenServiceW", nullptr);
  if (!managerOf(hSCManager)) return nullptr;
  if (!lpServiceName) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  scm::ServiceConfig c;
  if (DWORD e = scm::readConfig(toUtf8(lpServiceName), &c)) {
    SetLastError(e);
    return nullptr;
  }
  DWORD granted = 0;
  if (DWORD e = serviceAccess(dwDesiredAccess, &granted)) {
    SetLastError(e);
    return nullptr;
  }
  return reinterpret_cast<SC_HANDLE>(insertHandle(std::make_shared<ScService>(c.name, granted)));
}

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors) {
  EMU_FAIL_POINT("StartServiceW", FALSE);
  auto s = serviceOf(hService, SERVICE_START);
  if (!s) return FALSE;
  if (dwNumServiceArgs > 0 && !lpServiceArgVectors) return fail(ERROR_INVALID_PARAMETER);
  std::vector<std::string> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    if (!lpServiceArgVectors[i]) return fail(ERROR_INVALID_PARAMETER);
    args.push_back(toUtf8(lpServiceArgVectors[i]));
  }
  if (DWORD e = scm::startService(s->name, args)) return fail(e);
  return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  EMU_FAIL_POINT("ControlService", FALSE);
  // Controls a program may send; the others come from the system alone.
  DWORD right = 0;
  switch (dwControl) {
  case SERVICE_CONTROL_STOP: right = SERVICE_STOP; break;
  case SERVICE_CONTROL_PAUSE:
  case SERVICE_CONTROL_CONTINUE:
  case SERVICE_CONTROL_PARAMCHANGE:
  case SERVICE_CONTROL_NETBINDADD:
  case SERVICE_CONTROL_NETBINDREMOVE:
  case SERVICE_CONTROL_NETBINDENABLE:
  case SERVICE_CONTROL_NETBINDDISABLE: right = SERVICE_PAUSE_CONTINUE; break;
  case SERVICE_CONTROL_INTERROGATE: right = SERVICE_INTERROGATE; break;
  default:
    if (dwControl >= 128 && dwControl <= 255) right = SERVICE_USER_DEFINED_CONTROL;
    else return fail(ERROR_INVALID_PARAMETER);
  }
  if (!lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
  auto s = serviceOf(hService, right);
  if (!s) return FALSE;
  scm::ControlReply r = scm::sendControl(s->name, dwControl);
  *lpServiceStatus = r.status;
  if (r.error) return fail(r.error);
  if (r.handlerResult != NO_ERROR) return fail(r.handlerResult);
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  EMU_FAIL_POINT("QueryServiceStatus", FALSE);
  auto s = serviceOf(hService, SERVICE_QUERY_STATUS);
  if (!s) return FALSE;
  if (!lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
  scm::ServiceState st = scm::queryService(s->name);
  if (!st.exists) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
  *lpServiceStatus = st.status;
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                            DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  EMU_FAIL_POINT("QueryServiceStatusEx", FALSE);
  auto s = serviceOf(hService, SERVICE_QUERY_STATUS);
  if (!s) return FALSE;
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return fail(kInvalidLevel);
  if (!pcbBytesNeeded) return fail(ERROR_INVALID_PARAMETER);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) return fail(ERROR_INSUFFICIENT_BUFFER);
  scm::ServiceState st = scm::queryService(s->name);
  if (!st.exists) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
  SERVICE_STATUS_PROCESS out{};
  std::memcpy(&out, &st.status, sizeof(SERVICE_STATUS));
  out.dwProcessId = st.active && !st.processEnded && st.status.dwCurrentState != SERVICE_STOPPED ? st.processId : 0;
  std::memcpy(lpBuffer, &out, sizeof(out));
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                           DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  EMU_FAIL_POINT("QueryServiceConfigW", FALSE);
  auto s = serviceOf(hService, SERVICE_QUERY_CONFIG);
  if (!s) return FALSE;
  if (!pcbBytesNeeded) return fail(ERROR_INVALID_PARAMETER);
  scm::ServiceConfig c;
  if (DWORD e = scm::readConfig(s->name, &c)) return fail(e);
  // The strings follow the record in the caller's buffer; the dependency list is an empty multi-string.
  std::u16string binary = toUtf16(c.binaryPath), group, account = toUtf16(c.account),
                 display = toUtf16(c.displayName);
  const size_t units = binary.size() + 1 + group.size() + 1 + 2 + account.size() + 1 + display.size() + 1;
  const DWORD needed = static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGW) + units * sizeof(WCHAR));
  *pcbBytesNeeded = needed;
  if (!lpServiceConfig || cbBufSize < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  auto *text = reinterpret_cast<WCHAR *>(reinterpret_cast<BYTE *>(lpServiceConfig) + sizeof(QUERY_SERVICE_CONFIGW));
  auto place = [&text](const std::u16string &s, size_t terminators) {
    WCHAR *start = text;
    std::memcpy(text, s.data(), s.size() * sizeof(WCHAR));
    text += s.size();
    for (size_t i = 0; i < terminators; ++i) *text++ = 0;
    return start;
  };
  lpServiceConfig->dwServiceType = c.serviceType;
  lpServiceConfig->dwStartType = c.startType;
  lpServiceConfig->dwErrorControl = c.errorControl;
  lpServiceConfig->dwTagId = 0;
  lpServiceConfig->lpBinaryPathName = place(binary, 1);
  lpServiceConfig->lpLoadOrderGroup = place(group, 1);
  lpServiceConfig->lpDependencies = place(std::u16string(), 2);
  lpServiceConfig->lpServiceStartName = place(account, 1);
  lpServiceConfig->lpDisplayName = place(display, 1);
  return TRUE;
}

extern "C" BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                            DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR,
                                            LPDWORD lpdwTagId, LPCWSTR, LPCWSTR lpServiceStartName, LPCWSTR,
                                            LPCWSTR lpDisplayName) {
  EMU_FAIL_POINT("ChangeServiceConfigW", FALSE);
  auto s = serviceOf(hService, SERVICE_CHANGE_CONFIG);
  if (!s) return FALSE;
  scm::ServiceConfig c;
  if (DWORD e = scm::readConfig(s->name, &c)) return fail(e);
  if (dwServiceType != SERVICE_NO_CHANGE) c.serviceType = dwServiceType;
  if (dwStartType != SERVICE_NO_CHANGE) c.startType = dwStartType;
  if (dwErrorControl != SERVICE_NO_CHANGE) c.errorControl = dwErrorControl;
  if (lpBinaryPathName) c.binaryPath = toUtf8(lpBinaryPathName);
  if (lpServiceStartName)
    if (DWORD e = serviceAccount(lpServiceStartName, &c.account)) return fail(e);
  if (lpDisplayName) c.displayName = *lpDisplayName ? toUtf8(lpDisplayName) : c.name;
  if (lpdwTagId && !(c.serviceType & SERVICE_DRIVER)) return fail(ERROR_INVALID_PARAMETER);
  if (DWORD e = scm::writeConfig(c)) return fail(e);
  if (lpdwTagId) *lpdwTagId = 0;
  return TRUE;
}

extern "C" BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  EMU_FAIL_POINT("ChangeServiceConfig2W", FALSE);
  auto s = serviceOf(hService, SERVICE_CHANGE_CONFIG);
  if (!s) return FALSE;
  if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION) return fail(kInvalidLevel);
  if (!lpInfo) return TRUE; // the page: NULL leaves the information unchanged
  const auto *info = static_cast<const SERVICE_DESCRIPTIONW *>(lpInfo);
  if (!info->lpDescription) return TRUE; // no change
  scm::ServiceConfig c;
  if (DWORD e = scm::readConfig(s->name, &c)) return fail(e);
  c.description = toUtf8(info->lpDescription);
  if (DWORD e = scm::writeConfig(c)) return fail(e);
  return TRUE;
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE hService) {
  EMU_FAIL_POINT("DeleteService", FALSE);
  auto s = serviceOf(hService, DELETE);
  if (!s) return FALSE;
  if (DWORD e = scm::markForDelete(s->name)) return fail(e);
  return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  EMU_FAIL_POINT("CloseServiceHandle", FALSE);
  HANDLE h = reinterpret_cast<HANDLE>(hSCObject);
  if (!lookupHandleAs<ScManager>(h) && !lookupHandleAs<ScService>(h)) return fail(ERROR_INVALID_HANDLE);
  emu::closeHandleEntry(h);
  return TRUE;
}
