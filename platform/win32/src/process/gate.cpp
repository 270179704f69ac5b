// The gate of a new process: everything the machine records of a process (its table entry, account, job
// membership) is written by its creator while the process waits at load, so that it and every other process see
// the same thing from its first instruction on, as on Windows.
#include "process/process_internal.h"
#include "process/proctable.h"
#include "security/account_internal.h"

#include "emu/hold.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace emu {
namespace proc {

namespace {
constexpr char kGateVariable[] = "WIN32_GATE";
constexpr char kOpen = 'g';
} // namespace

Gate::Gate() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) != 0) ends_[0] = ends_[1] = -1;
}

Gate::~Gate() {
  for (int fd : ends_) {
    if (fd >= 0) ::close(fd); // a process still at its gate reads end-of-file and ends
  }
}

std::pair<std::string, std::string> Gate::variable() const {
  return {kGateVariable, std::to_string(ends_[1])};
}

void Gate::started() {
  ::close(ends_[1]);
  ends_[1] = -1;
}

bool Gate::record(const Entry &entry, const Account &account) {
  if (entry.start != 0 && writeEntry(entry) &&
      sec::recordAccount(static_cast<DWORD>(entry.pid), entry.start, account))
    return true;
  ::kill(entry.pid, SIGKILL); // never created: it ends at its gate, and nothing of it is left
  removeEntry(entry.pid);
  sec::forgetAccount(static_cast<DWORD>(entry.pid));
  return false;
}

void Gate::open() {
  // A socket, not a pipe: a program that never reads its gate (no program of the machine) may have ended already,
  // and that must not raise SIGPIPE here.
  ssize_t n;
  do {
    n = ::send(ends_[0], &kOpen, 1, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  ::close(ends_[0]);
  ends_[0] = -1;
}

void passGate() {
  const char *fd = std::getenv(kGateVariable);
  if (!fd) return;
  const int gate = std::atoi(fd);
  char got = 0;
  ssize_t n;
  do {
    n = ::read(gate, &got, 1);
  } while (n < 0 && errno == EINTR);
  ::close(gate);
  ::unsetenv(kGateVariable); // not for what this process starts
  if (n != 1 || got != kOpen) ::_exit(1); // the creation failed: this process never was
  chaosPoint("ProcessStart");
}

} // namespace proc
} // namespace emu
