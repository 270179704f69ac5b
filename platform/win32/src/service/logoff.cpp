// Logging a session's user off, and moving the console from one session to another.
#include <windows.h>
#include <winsvc.h>

#include "emu/scm.h"
#include "emu/session.h"
#include "process/proctable.h"

#include <csignal>
#include <unistd.h>

namespace emu {
namespace scm {

std::vector<DWORD> logoffSession(DWORD sessionId) {
  std::vector<DWORD> told;
  // Only processes the machine created: a test or shell that merely shares the root is no session's program.
  for (const auto &e : proc::liveEntries()) {
    if (e.session != sessionId || e.pid == ::getpid()) continue;
    // By pid and start time, through a pidfd: a process that took the pid of one ended since the listing is not told.
    if (proc::signalProcess(e.pid, e.start, SIGHUP)) told.push_back(static_cast<DWORD>(e.pid));
  }
  broadcastSessionChange(WTS_SESSION_LOGOFF, sessionId);
  if (activeConsoleSession() == sessionId) setActiveConsoleSession(kNoSession);
  return told;
}

std::vector<std::string> switchConsoleSession(DWORD sessionId, const std::function<void()> &inGap) {
  const DWORD old = activeConsoleSession();
  if (old != kNoSession) {
    setActiveConsoleSession(kNoSession); // before the announcement: services read it when told
    broadcastSessionChange(WTS_CONSOLE_DISCONNECT, old);
  }
  if (inGap) inGap();
  setActiveConsoleSession(sessionId);
  return broadcastSessionChange(WTS_CONSOLE_CONNECT, sessionId);
}

} // namespace scm
} // namespace emu
