// Starting programs through the shell, and the rights this process runs with.
#include "Util/miscutil.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <vector>

#include "Log/hostpath.h"
#include "Log/log.h"

namespace {

const WCHAR *wide(const QString &s) { return reinterpret_cast<const WCHAR *>(s.utf16()); }

unsigned int lastError() { return static_cast<unsigned int>(GetLastError()); }

// "open" through the shell without waiting; 0 or -1, logged as startAProgram logs.
int shellOpen(const QString &file, const QString &parameters, int show, const char *func) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = TEXT("open");
  info.lpFile = wide(file);
  info.lpParameters = wide(parameters);
  info.nShow = show;
  if (!ShellExecuteExW(&info)) {
    if (xlogger_IsEnabledFor(kLevelError))
      log_print(kLevelError, "UI", __FILE__, func, __LINE__, "program start failed 0x%x", lastError());
    return -1;
  }
  if (xlogger_IsEnabledFor(kLevelInfo))
    log_print(kLevelInfo, "UI", __FILE__, func, __LINE__, "program start successfully.");
  if (info.hProcess) CloseHandle(info.hProcess);
  return 0;
}

} // namespace

int MiscUtil::startAProgram(const QString &programPath, const QString &parameters, bool show) {
  const QString native = nativeSeparators(programPath);
  LOGI("program path: %s", native.toUtf8().constData());
  return shellOpen(native, parameters, show ? SW_SHOW : SW_HIDE, __func__);
}

int MiscUtil::delayStartAProgram(int delaySeconds, const QString &programPath) {
  const QString native = nativeSeparators(programPath);
  LOGI("program path: %s", native.toUtf8().constData());
  // cmd.exe expands %NAME% even inside quotes, and a quote would end the quoted path early.
  if (native.contains(QLatin1Char('%')) || native.contains(QLatin1Char('"'))) {
    LOGE("program start failed 0x%x", static_cast<unsigned int>(ERROR_INVALID_PARAMETER));
    return -1;
  }
  const QString parameters = QString("/c timeout /t %1 /nobreak & \"%2\"").arg(QString::number(delaySeconds), native);
  return shellOpen(QStringLiteral("cmd.exe"), parameters, SW_HIDE, __func__);
}

int MiscUtil::runAsAdmin(const QString &programPath) {
  const QString native = nativeSeparators(programPath);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_NO_CONSOLE;
  info.lpVerb = TEXT("runas");
  info.lpFile = wide(native);
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) {
    const DWORD error = GetLastError();
    if (error == ERROR_CANCELLED) {
      LOGI("user cannel start as admin");
      return -1;
    }
    LOGE("Error: ShellExecuteEx() failed: 0x%x", static_cast<unsigned int>(error));
    return -2;
  }
  if (info.hProcess) CloseHandle(info.hProcess);
  return 0;
}

bool MiscUtil::isRunAsAdmin() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                0, 0, &administrators))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member == TRUE;
}

bool MiscUtil::isRunningAsSystem() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    LOGE("Failed to open process token.");
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    LOGE("Failed to get token information size.");
    CloseHandle(token);
    return false;
  }
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    LOGE("Failed to get token information.");
    CloseHandle(token);
    return false;
  }
  LPWSTR sidText = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sidText)) {
    LOGE("Failed to convert SID to string.");
    CloseHandle(token);
    return false;
  }
  const QString user = QString::fromUtf16(reinterpret_cast<const char16_t *>(sidText));
  LOGI("current user is: %s", user.toUtf8().constData());
  const bool system = user.compare(QStringLiteral("S-1-5-18"), Qt::CaseInsensitive) == 0;
  LocalFree(sidText);
  CloseHandle(token);
  return system;
}
