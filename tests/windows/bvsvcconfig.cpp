// bvsvcconfig: reads an installed service's configuration back from the service control manager, for the installer's
// smoke (plain Win32, Windows only).
//
//   bvsvcconfig <service name>
//
// Prints one "key: value" line each, in UTF-8, so a script can grep them:
//   service-type: 0x10          start-type: 2           error-control: 1
//   account: LocalSystem        display-name: ...
//   binary-path: "C:\Program Files\...\x.exe"
//   binary-path-quoted: yes     (no: an unquoted path, which Windows may read up to its first space)
//   description: ...            (none: no description set)
//   failure-reset-s: 86400      failure-action-<i>: restart <delay ms>   (failure-actions: none when none are set)
// Exit codes: 0 done; 1 a Windows call failed (its name and error on a line "error: "); 2 bad command line.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string utf8(const WCHAR *text) {
  if (!text || !*text) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

int fail(const char *call) {
  std::printf("error: %s %lu\n", call, static_cast<unsigned long>(GetLastError()));
  return kExitFailed;
}

// Quoted as Windows needs it when the path has a space: a quote first, and the closing quote ends the program's
// path (arguments may follow after a space).
bool quotedPath(const std::basic_string<WCHAR> &path) {
  if (path.size() < 2 || path[0] != TEXT('"')) return false;
  const size_t close = path.find(TEXT('"'), 1);
  return close != std::basic_string<WCHAR>::npos && close > 1 &&
         (close + 1 == path.size() || path[close + 1] == TEXT(' '));
}

// One QueryServiceConfig2W level into a buffer of the size the first call asks for; empty when it fails.
std::vector<BYTE> queryConfig2(SC_HANDLE service, DWORD level) {
  DWORD needed = 0;
  QueryServiceConfig2W(service, level, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return {};
  std::vector<BYTE> buffer(needed);
  if (!QueryServiceConfig2W(service, level, buffer.data(), needed, &needed)) return {};
  return buffer;
}

const char *actionName(SC_ACTION_TYPE type) {
  switch (type) {
  case SC_ACTION_NONE: return "none";
  case SC_ACTION_RESTART: return "restart";
  case SC_ACTION_REBOOT: return "reboot";
  case SC_ACTION_RUN_COMMAND: return "run-command";
  default: return "unknown";
  }
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bvsvcconfig <service name>\n");
    return kExitUsage;
  }
  WCHAR name[256] = {};
  if (!MultiByteToWideChar(CP_ACP, 0, argv[1], -1, name, 256)) return fail("MultiByteToWideChar");

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return fail("OpenSCManagerW");
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
  if (!service) {
    const int rc = fail("OpenServiceW");
    CloseServiceHandle(manager);
    return rc;
  }

  int rc = 0;
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || !QueryServiceConfigW(service, config, needed, &needed)) {
    rc = fail("QueryServiceConfigW");
  } else {
    const std::basic_string<WCHAR> path = config->lpBinaryPathName ? config->lpBinaryPathName : TEXT("");
    std::printf("service-type: 0x%lx\n", static_cast<unsigned long>(config->dwServiceType));
    std::printf("start-type: %lu\n", static_cast<unsigned long>(config->dwStartType));
    std::printf("error-control: %lu\n", static_cast<unsigned long>(config->dwErrorControl));
    std::printf("account: %s\n", utf8(config->lpServiceStartName).c_str());
    std::printf("display-name: %s\n", utf8(config->lpDisplayName).c_str());
    std::printf("binary-path: %s\n", utf8(path.c_str()).c_str());
    std::printf("binary-path-quoted: %s\n", quotedPath(path) ? "yes" : "no");
  }

  const std::vector<BYTE> description = queryConfig2(service, SERVICE_CONFIG_DESCRIPTION);
  if (description.empty()) {
    std::printf("description: none\n");
  } else {
    const auto *d = reinterpret_cast<const SERVICE_DESCRIPTIONW *>(description.data());
    std::printf("description: %s\n", d->lpDescription && *d->lpDescription ? utf8(d->lpDescription).c_str() : "none");
  }

  const std::vector<BYTE> failure = queryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS);
  const auto *f = failure.empty() ? nullptr : reinterpret_cast<const SERVICE_FAILURE_ACTIONSW *>(failure.data());
  if (!f || f->cActions == 0 || !f->lpsaActions) {
    std::printf("failure-actions: none\n");
  } else {
    std::printf("failure-reset-s: %lu\n", static_cast<unsigned long>(f->dwResetPeriod));
    for (DWORD i = 0; i < f->cActions; ++i)
      std::printf("failure-action-%lu: %s %lu\n", static_cast<unsigned long>(i), actionName(f->lpsaActions[i].Type),
                  static_cast<unsigned long>(f->lpsaActions[i].Delay));
  }

  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}
