// Accounts of the emulated machine's processes: each runs as a user (its SID) with or without elevation.
// For the stand-in, tests and tools; product code never includes this header.
#pragma once

#include <string>

#include "bvwin/base.h"

namespace emu {

constexpr char kLocalSystemSid[] = "S-1-5-18";
constexpr char kAdministratorsSid[] = "S-1-5-32-544";
// The console user of a new machine: an administrator whose programs run unelevated until they ask.
constexpr char kDefaultUserSid[] = "S-1-5-21-3623811015-3361044348-30300820-1001";

struct Account {
  std::string userSid = kDefaultUserSid;
  bool administrator = true; // a member of Administrators (the group counts only while elevated)
  bool elevated = false;
  // An elevated member of Administrators; LocalSystem is one.
  bool adminRights() const { return administrator && elevated; }
};
Account localSystemAccount();

// The account of this process: one set on it (setAccount), else the one it was created with (inherited from its
// creator, or its token's for CreateProcessAsUserW), else the default account.
Account currentAccount();
// Elevated member of Administrators, or LocalSystem.
bool currentIsAdministrator();
std::string currentUserSid();
// Sets this process's own account from now on, for itself and every process it starts however it starts them: the
// account variables of its environment (a record set by setAccount still wins). For tests and tools.
void setOwnAccount(const Account &account);

// The account of a live process of this machine; false when it is none.
bool accountOf(DWORD pid, Account *account);
// Sets the account of a live process of this machine (machine state, seen by every process); false when it is none.
// The processes it creates from then on inherit it.
bool setAccount(DWORD pid, const Account &account);

// The answer the machine's user gives to an elevation prompt (machine state; default: accept).
bool elevationConsent();
void setElevationConsent(bool accept);

} // namespace emu
