// ShellExecuteExW: "open" starts the program through the stand-in's processes; "runas" asks the machine's user
// (the elevation consent in machine state) and starts it elevated. Every call is recorded for tests.
#include <shellapi.h>

#include "emu/emu.h"
#include "emu/session.h"
#include "emu/shell.h"
#include "security/account_internal.h"

#include <cstdlib>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

namespace {

std::mutex g_journalMutex;
std::vector<ShellRequest> g_journal;

std::string text(LPCWSTR s) { return s ? toUtf8(s) : std::string(); }

bool isFile(const std::string &host) {
  struct stat st;
  return stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the shell finds the file: a path as given (".exe" added when it has no extension), a bare name in the
// current folder, the system folders and PATH.
bool fileFound(const std::string &file) {
  auto found = [](const std::string &host) {
    const size_t slash = host.rfind('/');
    const bool hasExtension = host.find('.', slash == std::string::npos ? 0 : slash) != std::string::npos;
    return isFile(host) || (!hasExtension && isFile(host + ".exe"));
  };
  if (file.find_first_of("/\\:") != std::string::npos) return found(hostPath(file));
  std::vector<std::string> dirs{".", hostPath("C:\\Windows\\System32"), hostPath("C:\\Windows")};
  if (const char *path = std::getenv("PATH")) {
    std::string p(path);
    for (size_t start = 0; start <= p.size();) {
      const size_t colon = p.find(':', start);
      dirs.push_back(p.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (const auto &dir : dirs) {
    if (!dir.empty() && found(dir + "/" + file)) return true;
  }
  return false;
}

// The SE_ERR value that hInstApp carries for a failure.
INT_PTR instAppFor(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND: return 2;
  case ERROR_PATH_NOT_FOUND: return 3;
  case ERROR_ACCESS_DENIED:
  case ERROR_CANCELLED: return 5;
  case ERROR_NOT_ENOUGH_MEMORY: return 8;
  case ERROR_NO_ASSOCIATION: return 31;
  default: return 0;
  }
}

// Starts the request; 0 or a Windows error.
DWORD execute(SHELLEXECUTEINFOW *info, ShellRequest *req) {
  const bool runas = strcasecmp(req->verb.c_str(), "runas") == 0;
  if (!req->verb.empty() && !runas && strcasecmp(req->verb.c_str(), "open") != 0) return ERROR_NO_ASSOCIATION;
  if (req->file.empty() || !fileFound(req->file)) return ERROR_FILE_NOT_FOUND;

  Account account = currentAccount();
  if (runas) {
    if (!account.elevated && !elevationConsent()) return ERROR_CANCELLED; // already elevated: no prompt
    account.administrator = true;
    account.elevated = true;
  }
  req->elevated = account.elevated;

  std::u16string line = u"\"" + toUtf16(req->file) + u"\"";
  if (info->lpParameters && *info->lpParameters) line += u" " + std::u16string(info->lpParameters);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(info->nShow);
  PROCESS_INFORMATION pi{};
  // A console program gets a console of its own unless the caller's is to be shared.
  const DWORD flags = (info->fMask & SEE_MASK_NO_CONSOLE) ? 0 : CREATE_NEW_CONSOLE;
  const LPCWSTR directory = info->lpDirectory && *info->lpDirectory ? info->lpDirectory : nullptr;
  BOOL ok = FALSE;
  if (runas) {
    HANDLE token = sec::makeToken(account, currentSessionId());
    ok = CreateProcessAsUserW(token, nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, directory, &si, &pi);
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
  } else {
    ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, directory, &si, &pi);
  }
  if (!ok) return GetLastError() == ERROR_ACCESS_DENIED ? ERROR_NO_ASSOCIATION : GetLastError(); // not a program
  CloseHandle(pi.hThread);
  req->pid = pi.dwProcessId;
  if (info->fMask & SEE_MASK_NOCLOSEPROCESS) {
    info->hProcess = pi.hProcess;
  } else {
    CloseHandle(pi.hProcess);
  }
  return 0;
}

} // namespace

std::vector<ShellRequest> shellRequests() {
  std::lock_guard<std::mutex> lock(g_journalMutex);
  return g_journal;
}

void clearShellRequests() {
  std::lock_guard<std::mutex> lock(g_journalMutex);
  g_journal.clear();
}

} // namespace emu

extern "C" BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW *pExecInfo) {
  EMU_FAIL_POINT("ShellExecuteExW", FALSE);
  if (!pExecInfo || pExecInfo->cbSize != sizeof(SHELLEXECUTEINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pExecInfo->hProcess = nullptr;
  emu::ShellRequest req;
  req.verb = emu::text(pExecInfo->lpVerb);
  req.file = emu::text(pExecInfo->lpFile);
  req.parameters = emu::text(pExecInfo->lpParameters);
  req.directory = emu::text(pExecInfo->lpDirectory);
  req.show = pExecInfo->nShow;
  req.mask = pExecInfo->fMask;
  req.error = emu::execute(pExecInfo, &req);
  pExecInfo->hInstApp = reinterpret_cast<HINSTANCE>(req.error ? emu::instAppFor(req.error) : 42);
  {
    std::lock_guard<std::mutex> lock(emu::g_journalMutex);
    emu::g_journal.push_back(req);
  }
  if (req.error) {
    SetLastError(req.error);
    return FALSE;
  }
  return TRUE;
}
