// Accounts of processes: a record under <root>/kernel/accounts for one set by a tool or test, else what the
// creator put in the process's environment, else the default account.
#include "security/account_internal.h"

#include "emu/emu.h"
#include "emu/hold.h"
#include "process/proctable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unistd.h>

namespace emu {

namespace {

constexpr char kUserVar[] = "WIN32_USER_SID";
constexpr char kAdminVar[] = "WIN32_ADMIN";
constexpr char kElevatedVar[] = "WIN32_ELEVATED";

std::string recordPath(pid_t pid) { return proc::kernelDir("accounts") + "/" + std::to_string(pid); }
std::string consentPath() { return proc::kernelDir() + "/elevation-consent"; }

// A record written for the process (pid, start) (so a reused pid does not inherit it); whether it runs is not asked.
bool readRecord(pid_t pid, unsigned long long start, Account *account) {
  chaosPoint("account.read");
  std::string text;
  if (start == 0 || !proc::readWholeFile(recordPath(pid), &text)) return false;
  std::istringstream in(text);
  unsigned long long recorded = 0;
  Account a;
  int admin = 0, elevated = 0;
  if (!(in >> recorded >> a.userSid >> admin >> elevated) || recorded != start) return false;
  a.administrator = admin != 0;
  a.elevated = elevated != 0;
  *account = a;
  return true;
}

// From the variables a creator set; `lookup` reads one of them. Missing ones keep the default.
template <class Lookup> Account fromVariables(Lookup lookup) {
  Account a;
  std::string value;
  if (lookup(kUserVar, &value) && value.rfind("S-1-", 0) == 0) a.userSid = value;
  if (lookup(kAdminVar, &value)) a.administrator = value == "1";
  if (lookup(kElevatedVar, &value)) a.elevated = value == "1";
  if (a.elevated) a.administrator = true; // only an administrator's token is ever elevated
  return a;
}

bool ownVariable(const char *name, std::string *value) {
  const char *v = std::getenv(name);
  if (!v) return false;
  *value = v;
  return true;
}

} // namespace

Account localSystemAccount() {
  Account a;
  a.userSid = kLocalSystemSid;
  a.administrator = true;
  a.elevated = true;
  return a;
}

Account currentAccount() {
  Account a;
  if (readRecord(getpid(), proc::startTimeOf(getpid()), &a)) return a;
  return fromVariables(ownVariable);
}

bool currentIsAdministrator() { return currentAccount().adminRights(); }

std::string currentUserSid() { return currentAccount().userSid; }

void setOwnAccount(const Account &account) {
  setenv(kUserVar, account.userSid.c_str(), 1);
  setenv(kAdminVar, account.administrator || account.elevated ? "1" : "0", 1);
  setenv(kElevatedVar, account.elevated ? "1" : "0", 1);
}

bool accountOf(DWORD pid, Account *account) {
  const pid_t p = static_cast<pid_t>(pid);
  if (p == getpid()) {
    *account = currentAccount();
    return true;
  }
  // The process's facts are read for one start time, and whether it still runs is asked last, from one read of its
  // stat: one that ends in between (its environment gone, its pid reused) is not given a default account.
  const unsigned long long start = p > 0 ? proc::liveStartOf(p) : 0;
  if (start == 0) return false;
  Account a;
  if (!readRecord(p, start, &a)) { // a record under this root for this very process makes it one of the machine's
    if (!proc::belongsToMachine(p, start)) return false;
    a = fromVariables([p](const char *name, std::string *value) { return proc::environOf(p, name, value); });
  }
  if (!proc::aliveAt(p, start)) return false;
  *account = a;
  return true;
}

bool setAccount(DWORD pid, const Account &account) {
  const pid_t p = static_cast<pid_t>(pid);
  const unsigned long long start = p > 0 ? proc::liveStartOf(p) : 0;
  Account recorded;
  if (start == 0 || (!readRecord(p, start, &recorded) && !proc::belongsToMachine(p, start))) return false;
  // Written for (pid, start): a process that takes the pid later never reads it as its own.
  return proc::aliveAt(p, start) && sec::recordAccount(pid, start, account);
}

bool sec::recordAccount(DWORD pid, unsigned long long start, const Account &account) {
  const pid_t p = static_cast<pid_t>(pid);
  chaosPoint("account.write");
  std::ostringstream out;
  out << start << " " << account.userSid << " " << (account.administrator || account.elevated ? 1 : 0)
      << " " << (account.elevated ? 1 : 0) << "\n";
  return proc::writeFileAtomic(recordPath(p), out.str());
}

void sec::forgetAccount(DWORD pid) { unlink(recordPath(static_cast<pid_t>(pid)).c_str()); }

bool elevationConsent() {
  std::string text;
  return !proc::readWholeFile(consentPath(), &text) || text.rfind("decline", 0) != 0;
}

void setElevationConsent(bool accept) {
  proc::writeFileAtomic(consentPath(), accept ? "accept\n" : "decline\n");
}

namespace sec {

DWORD processAccessFor(const Account &caller, const Account &target) {
  if (caller.userSid == kLocalSystemSid) return PROCESS_ALL_ACCESS;
  const DWORD limited = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
  if (caller.userSid != target.userSid) return caller.adminRights() ? limited : 0; // high integrity may look
  return target.elevated && !caller.elevated ? limited : PROCESS_ALL_ACCESS;     // no write up in integrity
}

std::vector<std::pair<std::string, std::string>> accountVariables(const Account &account) {
  return {{kUserVar, account.userSid},
          {kAdminVar, account.administrator || account.elevated ? "1" : "0"},
          {kElevatedVar, account.elevated ? "1" : "0"}};
}

} // namespace sec
} // namespace emu
