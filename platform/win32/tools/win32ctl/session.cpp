// Session commands: the console's session, session-change announcements to services, logging a user off.
#include "command.h"

#include <windows.h>
#include <winsvc.h>

#include "emu/scm.h"
#include "emu/session.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>

namespace {

using win32ctl::Args;

bool parseSession(const std::string &text, DWORD *session) {
  if (text == "none") {
    *session = emu::kNoSession;
    return true;
  }
  if (text.empty() || text[0] == '-') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end || errno || v > 0xFFFFFFFFull) return false;
  *session = static_cast<DWORD>(v);
  return true;
}

int usage(const char *text) {
  std::fprintf(stderr, "usage: win32ctl %s\n", text);
  return 2;
}

void printSession(DWORD session) {
  if (session == emu::kNoSession) std::printf("none\n");
  else std::printf("%u\n", session);
}

void announce(DWORD eventType, DWORD session) {
  for (const auto &name : emu::scm::broadcastSessionChange(eventType, session)) std::printf("told: %s\n", name.c_str());
}

int sessionGet(const Args &args) {
  if (!args.empty()) return usage("session-get");
  printSession(emu::activeConsoleSession());
  return 0;
}

int sessionSet(const Args &args) {
  DWORD session = 0;
  if (args.size() != 1 || !parseSession(args[0], &session)) return usage("session-set <id|none>");
  emu::setActiveConsoleSession(session);
  return 0;
}

int sessionConnect(const Args &args) {
  const char *text = "session-connect <id> [--gap-ms <ms>]";
  DWORD session = 0, gapMs = 0;
  if ((args.size() != 1 && args.size() != 3) || !parseSession(args[0], &session) || session == emu::kNoSession)
    return usage(text);
  if (args.size() == 3 && (args[1] != "--gap-ms" || !parseSession(args[2], &gapMs) || gapMs == emu::kNoSession))
    return usage(text);
  auto told = emu::scm::switchConsoleSession(session, [gapMs] {
    if (gapMs) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  });
  for (const auto &name : told) std::printf("told: %s\n", name.c_str());
  return 0;
}

int sessionDisconnect(const Args &args) {
  if (!args.empty()) return usage("session-disconnect");
  DWORD session = emu::activeConsoleSession();
  if (session == emu::kNoSession) {
    std::fprintf(stderr, "win32ctl: no session is attached to the console\n");
    return 1;
  }
  emu::setActiveConsoleSession(emu::kNoSession);
  announce(WTS_CONSOLE_DISCONNECT, session);
  return 0;
}

int sessionChange(const Args &args) {
  const char *text = "session-change <event-type> [<id>]";
  DWORD eventType = 0, session = emu::activeConsoleSession();
  if (args.empty() || args.size() > 2 || !parseSession(args[0], &eventType) || eventType == emu::kNoSession)
    return usage(text);
  if (args.size() == 2 && !parseSession(args[1], &session)) return usage(text);
  announce(eventType, session);
  return 0;
}

int logoff(const Args &args) {
  DWORD session = emu::activeConsoleSession();
  if (args.size() > 1 || (args.size() == 1 && !parseSession(args[0], &session))) return usage("logoff [<id>]");
  if (session == emu::kNoSession || session == 0) {
    std::fprintf(stderr, "win32ctl: no user session to log off\n");
    return 1;
  }
  for (DWORD pid : emu::scm::logoffSession(session)) std::printf("logged off: pid %u\n", pid);
  return 0;
}

win32ctl::Command regGet("session-get", "session-get  the session attached to the console (or none)", &sessionGet);
win32ctl::Command regSet("session-set", "session-set <id|none>  attach a session to the console, silently",
                         &sessionSet);
win32ctl::Command regConnect("session-connect",
                             "session-connect <id> [--gap-ms <ms>]  move the console to a session: detach the old one "
                             "and announce WTS_CONSOLE_DISCONNECT, leave the console without a session for the gap "
                             "(default 0), then attach the new one and announce WTS_CONSOLE_CONNECT",
                             &sessionConnect);
win32ctl::Command regDisconnect("session-disconnect",
                                "session-disconnect  detach the console's session and announce WTS_CONSOLE_DISCONNECT",
                                &sessionDisconnect);
win32ctl::Command regChange("session-change",
                            "session-change <event-type> [<id>]  announce any session change (default: the console's "
                            "session)",
                            &sessionChange);
win32ctl::Command regLogoff("logoff",
                            "logoff [<id>]  log the user of a session off (default: the console's): its programs get "
                            "the logoff event, services WTS_SESSION_LOGOFF, the console is left without a session",
                            &logoff);

} // namespace
