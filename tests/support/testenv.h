// Per-process test environment: a fresh machine root and socket folder, and helpers to read logs.
#pragma once

#include <string>
#include <vector>

#ifndef _WIN32
#include "emu/account.h"
#endif

namespace testenv {

// The machine root and temp folder made for this test process (WIN32_ROOT and TMPDIR point at them).
const std::string &root();
const std::string &tempDir();
// Folder of the built programs (BrimvaultService, BrimvaultServer.exe, WindowShepherd, win32ctl).
std::string binDir();

// Lines of every .xlog file in a host folder, oldest file first.
std::vector<std::string> readLogLines(const std::string &hostFolder);
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &contents);

#ifndef _WIN32
// Runs this test process (and what it starts) as another account for a scope: a refusal test's standard user.
class ScopedAccount {
public:
  explicit ScopedAccount(const emu::Account &account) : saved_(emu::currentAccount()) { emu::setOwnAccount(account); }
  ~ScopedAccount() { emu::setOwnAccount(saved_); }
  ScopedAccount(const ScopedAccount &) = delete;
  ScopedAccount &operator=(const ScopedAccount &) = delete;

private:
  emu::Account saved_;
};

// The console user as user account control starts its programs: an administrator, not elevated.
inline emu::Account unelevatedUser() { return emu::Account(); }
// A user who is not an administrator at all.
inline emu::Account standardUser() {
  emu::Account a;
  a.administrator = false;
  return a;
}
#endif

} // namespace testenv
