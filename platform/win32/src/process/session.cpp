// Sessions: the session of each process and the session attached to the console (machine state).
#include <windows.h>
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/session.h"
#include "process/proctable.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unistd.h>

namespace emu {

namespace {

std::once_flag g_sessionOnce;
std::atomic<DWORD> g_session{1};

void loadSession() {
  std::call_once(g_sessionOnce, [] {
    if (const char *env = std::getenv("WIN32_SESSION_ID"); env && *env) {
      char *end = nullptr;
      unsigned long v = std::strtoul(env, &end, 0);
      if (end != env && v <= 0xFFFFFFFEul) g_session.store(static_cast<DWORD>(v));
    }
  });
}

std::string consoleSessionFile() { return proc::kernelDir() + "/console-session"; }

} // namespace

DWORD activeConsoleSession() {
  chaosPoint("session.console");
  std::string text;
  if (!proc::readWholeFile(consoleSessionFile(), &text)) return 1;
  char *end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  return end == text.c_str() ? 1 : static_cast<DWORD>(v);
}

void setActiveConsoleSession(DWORD session) {
  chaosPoint("session.console");
  proc::writeFileAtomic(consoleSessionFile(), std::to_string(session) + "\n");
}

DWORD currentSessionId() {
  loadSession();
  return g_session.load();
}

void setCurrentSessionId(DWORD session) {
  loadSession();
  g_session.store(session);
  proc::updateEntry(getpid(), [&](proc::Entry &e, bool exists) {
    e.session = session;
    return exists;
  });
}

} // namespace emu

extern "C" DWORD WINAPI WTSGetActiveConsoleSessionId(void) {
  EMU_FAIL_POINT("WTSGetActiveConsoleSessionId", emu::kNoSession);
  return emu::activeConsoleSession();
}

namespace emu {
// Also the target of libkernel32.so's ProcessIdToSessionId (bound in attach.cpp).
BOOL WINAPI processIdToSessionId(DWORD dwProcessId, DWORD *pSessionId);
} // namespace emu

extern "C" BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId) {
  return emu::processIdToSessionId(dwProcessId, pSessionId);
}

BOOL WINAPI emu::processIdToSessionId(DWORD dwProcessId, DWORD *pSessionId) {
  EMU_FAIL_POINT("ProcessIdToSessionId", FALSE);
  if (!pSessionId || dwProcessId == 0 || dwProcessId > 0x7FFFFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD session = 0;
  if (!emu::proc::sessionOf(static_cast<pid_t>(dwProcessId), &session)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *pSessionId = session;
  return TRUE;
}
