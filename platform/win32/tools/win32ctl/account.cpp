// Account commands: the user and elevation of each process (as tasklist /v and whoami /user /groups show them)
// and the answer the machine's user gives to elevation prompts.
#include "command.h"

#include <windows.h>

#include "emu/account.h"
#include "emu/process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using win32ctl::Args;

int usage(const char *text) {
  std::fprintf(stderr, "usage: win32ctl %s\n", text);
  return 2;
}

bool parsePid(const std::string &text, DWORD *pid) {
  if (text.empty() || text[0] == '-') return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end || errno || v == 0 || v > 0x7FFFFFFFull) return false;
  *pid = static_cast<DWORD>(v);
  return true;
}

const char *yesNo(bool b) { return b ? "Yes" : "No"; }

int accountList(const Args &args) {
  if (!args.empty()) return usage("account-list");
  std::printf("%-8s %-28s %-48s %s\n", "PID", "Image Name", "User SID", "Elevated");
  for (const auto &p : emu::listProcesses()) {
    emu::Account a;
    if (!emu::accountOf(p.pid, &a)) continue; // ended meanwhile
    std::printf("%-8u %-28s %-48s %s\n", p.pid, p.exeName.c_str(), a.userSid.c_str(), yesNo(a.elevated));
  }
  return 0;
}

int accountGet(const Args &args) {
  DWORD pid = 0;
  if (args.size() != 1 || !parsePid(args[0], &pid)) return usage("account-get <pid>");
  emu::Account a;
  if (!emu::accountOf(pid, &a)) {
    std::fprintf(stderr, "win32ctl: no live process %u on this machine\n", pid);
    return 1;
  }
  std::printf("User SID: %s\nElevated: %s\n", a.userSid.c_str(), yesNo(a.elevated));
  if (a.administrator)
    std::printf("Group: BUILTIN\\Administrators %s %s\n", emu::kAdministratorsSid,
                a.elevated ? "Enabled group" : "Group used for deny only");
  return 0;
}

int accountSet(const Args &args) {
  const char *text = "account-set <pid> <system|user|S-1-...> [elevated] [standard]";
  DWORD pid = 0;
  if (args.size() < 2 || !parsePid(args[0], &pid)) return usage(text);
  emu::Account a;
  if (args[1] == "system") {
    a = emu::localSystemAccount();
  } else if (args[1] != "user") {
    if (args[1].rfind("S-1-", 0) != 0) return usage(text);
    a.userSid = args[1];
  }
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "elevated") a.elevated = true;
    else if (args[i] == "standard") a.administrator = false; // not a member of Administrators
    else return usage(text);
  }
  if (a.elevated && !a.administrator) {
    std::fprintf(stderr, "win32ctl: only an administrator's process runs elevated\n");
    return 2;
  }
  if (!emu::setAccount(pid, a)) {
    std::fprintf(stderr, "win32ctl: no live process %u on this machine\n", pid);
    return 1;
  }
  return 0;
}

int consentGet(const Args &args) {
  if (!args.empty()) return usage("consent-get");
  std::printf("%s\n", emu::elevationConsent() ? "accept" : "decline");
  return 0;
}

int consentSet(const Args &args) {
  if (args.size() != 1 || (args[0] != "accept" && args[0] != "decline")) return usage("consent-set <accept|decline>");
  emu::setElevationConsent(args[0] == "accept");
  return 0;
}

win32ctl::Command c1("account-list", "account-list  every process with its user SID and elevation (tasklist /v)",
                     &accountList);
win32ctl::Command c2("account-get", "account-get <pid>  user SID, elevation, Administrators (whoami /user /groups)",
                     &accountGet);
win32ctl::Command c3("account-set",
                     "account-set <pid> <system|user|S-1-...> [elevated] [standard]  the account a process runs as",
                     &accountSet);
win32ctl::Command c4("consent-get", "consent-get  the answer to elevation prompts (accept or decline)", &consentGet);
win32ctl::Command c5("consent-set", "consent-set <accept|decline>  how the user answers elevation prompts",
                     &consentSet);

} // namespace
