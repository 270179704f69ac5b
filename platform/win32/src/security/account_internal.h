// How a process's account travels: variables a creator puts in the new process's environment.
#pragma once

#include "emu/account.h"

#include <string>
#include <utility>
#include <vector>

namespace emu {
namespace sec {

// Name/value pairs of the account variables for a new process's environment.
std::vector<std::pair<std::string, std::string>> accountVariables(const Account &account);

// The account a token stands for; false with ERROR_INVALID_HANDLE when the handle is not a token.
bool accountOfToken(HANDLE token, Account *account);
// A new primary token (all access) for an account in a session, for a process to be started under it.
HANDLE makeToken(const Account &account, DWORD session);

} // namespace sec
} // namespace emu
