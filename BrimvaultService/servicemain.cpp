#include "servicemain.h"

#include <QString>

#include <algorithm>
#include <iterator>
#include <vector>

#include "Log/log.h"
#include "Util/regutil.h"
#include "servicestate.h"
#include "signalcenter.h"

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_serviceStatus = {};
std::mutex g_statusMutex;
HANDLE g_stopEvent = nullptr;
HANDLE g_sessionEvent = nullptr;
HANDLE g_quitEvent = nullptr;
QMetaObject::Connection g_quitConnection;
std::atomic<int> g_loggedOff{0};

namespace {

constexpr DWORD kLaunchDelayMs = 3000;
constexpr DWORD kGraceMs = 20000;
constexpr DWORD kKillExitCode = 1067;
constexpr DWORD kLogoffMarker = 0x40010004;
constexpr DWORD kStopWaitHint = 30000;
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE | SERVICE_ACCEPT_PRESHUTDOWN;
constexpr DWORD kJobLimits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
constexpr DWORD kCoreCreationFlags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD kHelperCreationFlags = DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD kCurrentDirChars = 261;
constexpr size_t kCoreCommandLineChars = 388;

WCHAR g_serviceName[] = TEXT("BrimvaultService");
WCHAR g_desktop[] = TEXT("winsta0\\default");
// Made once and kept until the process ends, with its attribute list: every launch reads its job through it.
STARTUPINFOEXW g_coreStartup = {};

// Changes the shared status record and reports it as one step, so the two threads never interleave.
template <class Change> void updateServiceStatus(Change change) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  change(g_serviceStatus);
  SetServiceStatus(g_statusHandle, &g_serviceStatus);
}

void reportStopped(DWORD win32ExitCode) {
  updateServiceStatus([win32ExitCode](SERVICE_STATUS &s) {
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwWin32ExitCode = win32ExitCode;
  });
}

// UTF-16 copy of a QString into a writable, NUL-terminated buffer (CreateProcess may write into its command line).
std::vector<WCHAR> toWideBuffer(const QString &text) {
  std::vector<WCHAR> buffer(static_cast<size_t>(text.size()) + 1, 0);
  for (qsizetype i = 0; i < text.size(); ++i) buffer[static_cast<size_t>(i)] = static_cast<WCHAR>(text.at(i).unicode());
  return buffer;
}

QString fromWide(const WCHAR *text) {
  return QString::fromUtf16(reinterpret_cast<const char16_t *>(text), static_cast<qsizetype>(lstrlenW(text)));
}

void forceStopCore(HANDLE process) {
  LOGW("we need force stop Brimvault Core");
  TerminateProcess(process, kKillExitCode);
}

// Ctrl+C through the second copy in the core's session; the core is killed when that fails or it does not end.
void gracefulTermination(HANDLE token, const PROCESS_INFORMATION &core) {
  bool sent = runTerminateHelper(token, core.dwProcessId);
  if (!sent || WaitForSingleObject(core.hProcess, kGraceMs) != WAIT_OBJECT_0) forceStopCore(core.hProcess);
  LOGI("Brimvault Core stoppped");
}

// The core ended by itself. Returns nothing; the stop event and the logged-off flag carry the outcome.
void serveCoreExit(HANDLE process) {
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process, &exitCode)) {
    exitCode = 0;
  } else if (exitCode == 1115 || exitCode == 191) {
    SetEvent(g_stopEvent);
    emit SignalCenter::instance()->serverExitCode(static_cast<int>(exitCode));
  }
  // Not reset after reading: a later exit that does not rewrite it counts as a logoff again.
  DWORD regValue = RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, QString::fromLatin1(kServerRegKey),
                                             QString::fromLatin1(kExitCodeValueName), 0);
  if (regValue == kLogoffMarker) {
    g_loggedOff.store(1);
    LOGI("Brimvault Core exit with %d, user is logoff", static_cast<int>(exitCode));
  } else {
    LOGI("Brimvault Core exit with %d, %d", static_cast<int>(exitCode), static_cast<int>(regValue));
  }
}

// Waits on the stop event, the core, the session event and the quit event until one of them ends the watch.
void watchCore(HANDLE token, const PROCESS_INFORMATION &core, DWORD launchSession) {
  HANDLE handles[4] = {g_stopEvent, core.hProcess, g_sessionEvent, g_quitEvent};
  for (;;) {
    DWORD which = WaitForMultipleObjects(4, handles, FALSE, INFINITE);
    switch (which) {
    case WAIT_OBJECT_0:
      gracefulTermination(token, core);
      return;
    case WAIT_OBJECT_0 + 1:
      serveCoreExit(core.hProcess);
      return;
    case WAIT_OBJECT_0 + 2: {
      DWORD current = WTSGetActiveConsoleSessionId();
      LOGI("session id, cur: %d, last: %d", static_cast<int>(current), static_cast<int>(launchSession));
      if (current == launchSession) continue;
      gracefulTermination(token, core);
      return;
    }
    case WAIT_OBJECT_0 + 3:
      if (WaitForSingleObject(core.hProcess, kGraceMs) != WAIT_OBJECT_0) forceStopCore(core.hProcess);
      LOGI("Brimvault Core stoppped");
      return;
    default: {
      // Waiting again would fail the same way: end this core and let the next cycle start after its delay.
      DWORD err = GetLastError();
      LOGE("WaitForMultipleObjects failed, result: 0x%x, err: 0x%x", static_cast<unsigned>(which),
           static_cast<unsigned>(err));
      TerminateProcess(core.hProcess, kKillExitCode);
      return;
    }
    }
  }
}

// The launch session of a cycle, or false when there is none to launch into.
bool launchSession(DWORD *sessionId) {
  DWORD session = WTSGetActiveConsoleSessionId();
  if (session == 0xFFFFFFFF) {
    LOGI("No console session yet");
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
      LOGI("ProcessIdToSessionId failed: 0x%x", static_cast<unsigned>(GetLastError()));
      return false;
    }
  }
  *sessionId = session;
  return true;
}

// "<current folder>\BrimvaultServer.exe" in double quotes, or false when the folder cannot be read whole.
bool coreCommandLine(WCHAR (&commandLine)[kCoreCommandLineChars]) {
  WCHAR folder[kCurrentDirChars] = {};
  DWORD length = GetCurrentDirectoryW(kCurrentDirChars, folder);
  if (length == 0 || length >= kCurrentDirChars) {
    DWORD err = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    LOGI("GetCurrentDirectoryW failed: 0x%x", static_cast<unsigned>(err));
    return false;
  }
  QString text = QStringLiteral("\"") + fromWide(folder) + QStringLiteral("\\BrimvaultServer.exe\"");
  // The folder is below 261 characters, so the line always fits its 388.
  std::vector<WCHAR> wide = toWideBuffer(text);
  if (wide.size() > kCoreCommandLineChars) return false;
  std::fill(std::begin(commandLine), std::end(commandLine), WCHAR(0));
  std::copy(wide.begin(), wide.end(), commandLine);
  return true;
}

} // namespace

HANDLE createSessionToken(DWORD sessionId) {
  HANDLE processToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &processToken)) return nullptr;
  HANDLE token = nullptr;
  BOOL duplicated = DuplicateTokenEx(processToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                                     &token);
  CloseHandle(processToken);
  if (!duplicated) return nullptr;
  if (!SetTokenInformation(token, TokenSessionId, &sessionId, sizeof(sessionId))) {
    CloseHandle(token);
    return nullptr;
  }
  return token;
}

LPPROC_THREAD_ATTRIBUTE_LIST createAttributeList(DWORD attributeCount) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, attributeCount, 0, &size);
  auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
  if (!list) return nullptr;
  if (!InitializeProcThreadAttributeList(list, attributeCount, 0, &size)) {
    HeapFree(GetProcessHeap(), 0, list);
    return nullptr;
  }
  return list;
}

bool runTerminateHelper(HANDLE token, DWORD pid) {
  WCHAR path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    // A truncated path would start another program.
    DWORD err = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    LOGI("GetModuleFileNameW failed: 0x%x", static_cast<unsigned>(err));
    return false;
  }
  std::vector<WCHAR> commandLine = toWideBuffer(QStringLiteral("\"") + fromWide(path) +
                                                QStringLiteral("\" --terminate ") + QString::number(pid));

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.lpDesktop = g_desktop;
  PROCESS_INFORMATION helper = {};
  if (!CreateProcessAsUserW(token, path, commandLine.data(), nullptr, nullptr, FALSE, kHelperCreationFlags, nullptr,
                            nullptr, &startup, &helper))
    return false;

  DWORD exitCode = 1;
  if (WaitForSingleObject(helper.hProcess, kGraceMs) == WAIT_OBJECT_0) {
    if (!GetExitCodeProcess(helper.hProcess, &exitCode)) exitCode = 1;
  } else {
    // A copy that hangs must not hold up the stop: end it and report it as failed.
    TerminateProcess(helper.hProcess, kKillExitCode);
    exitCode = kKillExitCode;
  }
  CloseHandle(helper.hProcess);
  CloseHandle(helper.hThread);
  return exitCode == 0;
}

void quitSigSlot() { SetEvent(g_quitEvent); }

void releaseServiceHandles() {
  if (g_stopEvent) CloseHandle(g_stopEvent);
  if (g_sessionEvent) CloseHandle(g_sessionEvent);
  QObject::disconnect(g_quitConnection);
  if (g_quitEvent) CloseHandle(g_quitEvent);
}

DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  switch (control) {
  case SERVICE_CONTROL_STOP:
  case SERVICE_CONTROL_PRESHUTDOWN:
    LOGI("service pre stop");
    {
      std::lock_guard<std::mutex> lock(g_statusMutex);
      // A stop that races the service's own end must not take SERVICE_STOPPED back.
      if (g_serviceStatus.dwCurrentState != SERVICE_STOPPED) {
        g_serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
        g_serviceStatus.dwControlsAccepted = 0;
        g_serviceStatus.dwWaitHint = kStopWaitHint;
        SetServiceStatus(g_statusHandle, &g_serviceStatus);
      }
    }
    SetEvent(g_stopEvent);
    return NO_ERROR;
  case SERVICE_CONTROL_INTERROGATE:
    LOGI("SERVICE_CONTROL_INTERROGATE");
    return NO_ERROR;
  case SERVICE_CONTROL_SESSIONCHANGE:
    LOGI("session change event, type: %d", static_cast<int>(eventType));
    if (eventType == WTS_CONSOLE_CONNECT) {
      LOGI("send session change event");
      g_loggedOff.store(0);
      SetEvent(g_sessionEvent);
    }
    return NO_ERROR;
  default:
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(g_serviceName, HandlerEx, nullptr);
  if (!g_statusHandle) {
    DWORD err = GetLastError();
    LOGE("RegisterServiceCtrlHandlerEx failed: 0x%x", static_cast<unsigned>(err));
    ExitProcess(err);
  }

  updateServiceStatus([](SERVICE_STATUS &s) {
    s = SERVICE_STATUS{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = SERVICE_START_PENDING;
  });

  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_stopEvent) g_sessionEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (g_sessionEvent) g_quitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_quitEvent) {
    reportStopped(GetLastError());
    return;
  }

  SignalCenter *hub = SignalCenter::instance();
  g_quitConnection = QObject::connect(hub, &SignalCenter::quitSig, hub, quitSigSlot, Qt::DirectConnection);

  STARTUPINFOEXW &startup = g_coreStartup;
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.lpDesktop = g_desktop;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.lpAttributeList = createAttributeList(1);
  if (!startup.lpAttributeList) {
    reportStopped(GetLastError());
    return;
  }

  updateServiceStatus([](SERVICE_STATUS &s) {
    s.dwCurrentState = SERVICE_RUNNING;
    s.dwControlsAccepted = kControlsAccepted;
  });

  // The attribute list refers to this variable, so each launch goes into that cycle's job.
  HANDLE job = nullptr;
  for (;;) {
    if (WaitForSingleObject(g_quitEvent, 0) == WAIT_OBJECT_0) break;
    if (WaitForSingleObject(g_stopEvent, kLaunchDelayMs) == WAIT_OBJECT_0) break;

    if (g_loggedOff.load()) {
      // A console connect handled before the flag was set left the session event signalled: take it now.
      if (WaitForSingleObject(g_sessionEvent, 0) != WAIT_OBJECT_0) {
        LOGI("user is logoff, and session not connect yet.");
        continue;
      }
      g_loggedOff.store(0);
    }

    DWORD session = 0;
    if (!launchSession(&session)) continue;
    LOGI("console_session_id: %d", static_cast<int>(session));

    HANDLE token = createSessionToken(session);
    if (!token) {
      LOGI("console_token is null");
      continue;
    }

    job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = kJobLimits;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
      if (job) CloseHandle(job);
      job = nullptr;
      LOGI("job_handle is null");
      CloseHandle(token);
      continue;
    }
    UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof(HANDLE),
                              nullptr, nullptr);

    WCHAR commandLine[kCoreCommandLineChars] = {};
    if (!coreCommandLine(commandLine)) {
      CloseHandle(token);
      CloseHandle(job);
      job = nullptr;
      continue;
    }

    PROCESS_INFORMATION core = {};
    if (!CreateProcessAsUserW(token, nullptr, commandLine, nullptr, nullptr, TRUE, kCoreCreationFlags, nullptr,
                              nullptr, &startup.StartupInfo, &core)) {
      LOGI("CreateProcessAsUserW failed, err: 0x%x", static_cast<unsigned>(GetLastError()));
      CloseHandle(token);
      CloseHandle(job);
      job = nullptr;
      continue;
    }

    watchCore(token, core, session);

    CloseHandle(core.hThread);
    CloseHandle(core.hProcess);
    CloseHandle(token);
    // Closing the job ends whatever the core left running in it.
    CloseHandle(job);
    job = nullptr;
  }

  updateServiceStatus([](SERVICE_STATUS &s) { s.dwCurrentState = SERVICE_STOPPED; });
}
