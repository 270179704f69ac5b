// How a process's account travels: variables a creator puts in the new process's environment.
#pragma once

#include <windows.h>

#include "emu/account.h"

#include <string>
#include <utility>
#include <vector>

namespace emu {
namespace sec {

// Name/value pairs of the account variables for a new process's environment.
std::vector<std::pair<std::string, std::string>> accountVariables(const Account &account);
// Records a new process's account where other processes read it first: its environment can be read reliably only
// once the program has started, and a process has its account from its creation on.
bool recordAccount(DWORD pid, unsigned long long start, const Account &account);
// Takes away the record of a process whose creation failed after it had started.
void forgetAccount(DWORD pid);

// SIDs as text ("S-1-5-18") and as the bytes of a SID structure.
std::string sidText(const SID *sid);
// The bytes of the SID that a text names; false when the text is not one.
bool sidBytes(const std::string &text, std::vector<BYTE> *bytes);
// Whether an account's token holds a group (or is the user) in force: Administrators only while elevated.
bool memberOf(const Account &account, const std::string &sid);

// The process rights that a process of `caller` may be granted on one of `target`, as the default security of
// processes gives them.
DWORD processAccessFor(const Account &caller, const Account &target);

// The account a token stands for; false with ERROR_INVALID_HANDLE when the handle is not a token.
bool accountOfToken(HANDLE token, Account *account);
// A new primary token (all access) for an account in a session, for a process to be started under it.
HANDLE makeToken(const Account &account, DWORD session);

} // namespace sec
} // namespace emu
