// Service commands: create, delete, start, stop, query, wait for a state, send any control; the controller host.
#include "command.h"

#include <windows.h>
#include <winsvc.h>

#include "emu/scm.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using win32ctl::Args;

const char *const kStateNames[] = {"", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING",
                                   "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};

const char *stateName(DWORD state) { return state >= 1 && state <= 7 ? kStateNames[state] : "UNKNOWN"; }

bool parseNumber(const std::string &text, DWORD *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end || errno || v > 0xFFFFFFFFull || text[0] == '-') return false;
  *value = static_cast<DWORD>(v);
  return true;
}

std::string upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool parseState(const std::string &text, DWORD *state) {
  std::string u = upper(text);
  if (u.rfind("SERVICE_", 0) == 0) u = u.substr(8);
  for (DWORD i = 1; i <= 7; ++i) {
    if (u == kStateNames[i]) {
      *state = i;
      return true;
    }
  }
  return parseNumber(text, state) && *state >= 1 && *state <= 7;
}

bool parseControl(const std::string &text, DWORD *control) {
  static const struct {
    const char *name;
    DWORD code;
  } names[] = {{"STOP", SERVICE_CONTROL_STOP},
               {"PAUSE", SERVICE_CONTROL_PAUSE},
               {"CONTINUE", SERVICE_CONTROL_CONTINUE},
               {"INTERROGATE", SERVICE_CONTROL_INTERROGATE},
               {"SHUTDOWN", SERVICE_CONTROL_SHUTDOWN},
               {"PARAMCHANGE", SERVICE_CONTROL_PARAMCHANGE},
               {"SESSIONCHANGE", SERVICE_CONTROL_SESSIONCHANGE},
               {"PRESHUTDOWN", SERVICE_CONTROL_PRESHUTDOWN}};
  std::string u = upper(text);
  if (u.rfind("SERVICE_CONTROL_", 0) == 0) u = u.substr(16);
  for (const auto &n : names) {
    if (u == n.name) {
      *control = n.code;
      return true;
    }
  }
  return parseNumber(text, control);
}

bool parseStartType(const std::string &text, DWORD *start) {
  std::string u = upper(text);
  if (u == "AUTO") *start = SERVICE_AUTO_START;
  else if (u == "DEMAND") *start = SERVICE_DEMAND_START;
  else if (u == "DISABLED") *start = SERVICE_DISABLED;
  else return parseNumber(text, start);
  return true;
}

void printError(const char *what, const std::string &name, DWORD code) {
  std::fprintf(stderr, "win32ctl: %s %s failed: error %u (0x%x)\n", what, name.c_str(), code, code);
}

int usage(const char *text) {
  std::fprintf(stderr, "usage: win32ctl %s\n", text);
  return 2;
}

void printStatus(const SERVICE_STATUS &s) {
  std::printf("state: %s (%u)\naccepted: 0x%x\nwin32-exit-code: %u\nservice-exit-code: %u\ncheckpoint: %u\n"
              "wait-hint: %u\n",
              stateName(s.dwCurrentState), s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
              s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
}

int scmHost(const Args &args) {
  if (args.size() < 2) return usage("scm-host <service> <ready-fd> [args...]");
  return emu::scm::runController(args);
}

const char kCreateUsage[] =
    "svc-create <service> <binary-path> [--display <name>] [--start auto|demand|disabled] [--share]";

int svcCreate(const Args &args) {
  if (args.size() < 2) return usage(kCreateUsage);
  emu::scm::ServiceConfig c;
  c.name = args[0];
  c.binaryPath = args[1];
  c.account = "LocalSystem";
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--display" && i + 1 < args.size()) {
      c.displayName = args[++i];
    } else if (args[i] == "--start" && i + 1 < args.size()) {
      if (!parseStartType(args[++i], &c.startType)) return usage(kCreateUsage);
    } else if (args[i] == "--share") {
      c.serviceType = SERVICE_WIN32_SHARE_PROCESS;
    } else {
      return usage(kCreateUsage);
    }
  }
  if (DWORD e = emu::scm::createService(c)) {
    printError("create", c.name, e);
    return 1;
  }
  return 0;
}

int svcDelete(const Args &args) {
  if (args.size() != 1) return usage("svc-delete <service>");
  if (DWORD e = emu::scm::deleteService(args[0])) {
    printError("delete", args[0], e);
    return 1;
  }
  return 0;
}

int svcStart(const Args &args) {
  if (args.empty()) return usage("svc-start <service> [args...]");
  if (DWORD e = emu::scm::startService(args[0], Args(args.begin() + 1, args.end()))) {
    printError("start", args[0], e);
    return 1;
  }
  std::printf("pid: %u\n", emu::scm::queryService(args[0]).processId);
  return 0;
}

// Why the control manager refused a control, for the refusals that depend on the service's state.
const char *refusal(DWORD code) {
  switch (code) {
  case ERROR_INVALID_SERVICE_CONTROL: return "the service's last status does not accept this control";
  case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
    return "the service takes no control while stop pending, and only a stop while start pending";
  case ERROR_SERVICE_NOT_ACTIVE: return "the service is stopped, even if its process has not ended yet";
  default: return nullptr;
  }
}

// Prints what became of a control; 0 when the handler got it, 1 when the control manager refused it.
int reportControl(const std::string &name, const emu::scm::ControlReply &r) {
  if (r.error) {
    printError("control of", name, r.error);
    if (const char *why = refusal(r.error)) std::fprintf(stderr, "win32ctl: %s\n", why);
    printStatus(r.status);
    return 1;
  }
  std::printf("result: %u\n", r.handlerResult);
  printStatus(r.status);
  return 0;
}

int svcStop(const Args &args) {
  const char *text = "svc-stop <service> [--wait <ms>]";
  if (args.size() != 1 && args.size() != 3) return usage(text);
  DWORD waitMs = 0;
  if (args.size() == 3 && (args[1] != "--wait" || !parseNumber(args[2], &waitMs))) return usage(text);
  int rc = reportControl(args[0], emu::scm::sendControl(args[0], SERVICE_CONTROL_STOP));
  if (rc == 0 && args.size() == 3 && !emu::scm::waitForState(args[0], SERVICE_STOPPED, waitMs)) {
    std::fprintf(stderr, "win32ctl: %s did not stop within %u ms\n", args[0].c_str(), waitMs);
    return 1;
  }
  return rc;
}

int svcControl(const Args &args) {
  const char *text = "svc-control <service> <control> [<event-type> [<session-id> | hex:<bytes>]]";
  if (args.size() < 2 || args.size() > 4) return usage(text);
  DWORD control = 0, eventType = 0;
  if (!parseControl(args[1], &control)) return usage(text);
  if (args.size() >= 3 && !parseNumber(args[2], &eventType)) return usage(text);
  std::string data;
  if (args.size() == 4) {
    if (args[3].rfind("hex:", 0) == 0) {
      std::string hex = args[3].substr(4);
      if (hex.size() % 2) return usage(text);
      for (size_t i = 0; i < hex.size(); i += 2) {
        DWORD byte = 0;
        if (!parseNumber("0x" + hex.substr(i, 2), &byte)) return usage(text);
        data += static_cast<char>(byte);
      }
    } else {
      DWORD session = 0;
      if (!parseNumber(args[3], &session)) return usage(text);
      WTSSESSION_NOTIFICATION note{sizeof(WTSSESSION_NOTIFICATION), session};
      data.assign(reinterpret_cast<const char *>(&note), sizeof(note));
    }
  } else if (control == SERVICE_CONTROL_SESSIONCHANGE) {
    // A session change always carries its notification record: the active console session by default.
    WTSSESSION_NOTIFICATION note{sizeof(WTSSESSION_NOTIFICATION), WTSGetActiveConsoleSessionId()};
    data.assign(reinterpret_cast<const char *>(&note), sizeof(note));
  }
  return reportControl(args[0], emu::scm::sendControl(args[0], control, eventType, data.data(), data.size()));
}

int svcQuery(const Args &args) {
  if (args.empty() || args.size() > 2 || (args.size() == 2 && args[1] != "--history"))
    return usage("svc-query <service> [--history]");
  emu::scm::ServiceState st = emu::scm::queryService(args[0]);
  if (!st.exists) {
    printError("query", args[0], ERROR_SERVICE_DOES_NOT_EXIST);
    return 1;
  }
  printStatus(st.status);
  std::printf("pid: %u\n", st.active && !st.processEnded ? st.processId : 0u);
  if (st.processEnded)
    std::printf("process: ended with %u%s\n", st.processExitCode,
                st.diedUnexpectedly ? ", without reporting SERVICE_STOPPED" : "");
  if (args.size() == 2) {
    for (const auto &rec : emu::scm::statusHistory(args[0])) {
      const SERVICE_STATUS &s = rec.status;
      std::printf("history: %s%s accepted=0x%x exit=%u specific=%u checkpoint=%u hint=%u type=0x%x\n",
                  rec.bySystem ? "(system) " : "", stateName(s.dwCurrentState), s.dwControlsAccepted,
                  s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint, s.dwServiceType);
    }
  }
  return 0;
}

int svcWait(const Args &args) {
  const char *text = "svc-wait <service> <state> [<timeout-ms>]   (default 30000)";
  DWORD state = 0, timeout = 30000;
  if (args.size() < 2 || args.size() > 3 || !parseState(args[1], &state)) return usage(text);
  if (args.size() == 3 && !parseNumber(args[2], &timeout)) return usage(text);
  if (!emu::scm::queryService(args[0]).exists) {
    printError("wait for", args[0], ERROR_SERVICE_DOES_NOT_EXIST);
    return 1;
  }
  if (!emu::scm::waitForState(args[0], state, timeout)) {
    std::fprintf(stderr, "win32ctl: %s not %s within %u ms (now %s)\n", args[0].c_str(), stateName(state), timeout,
                 stateName(emu::scm::queryService(args[0]).status.dwCurrentState));
    return 1;
  }
  return 0;
}

const char kConfigUsage[] = "svc-config <service> [--start auto|demand|disabled] [--display <name>] "
                            "[--binpath <command-line>] [--description <text>]";

// Like sc.exe config (and qc without options): changes what is given, then prints the configuration.
int svcConfig(const Args &args) {
  if (args.empty()) return usage(kConfigUsage);
  emu::scm::ServiceConfig c;
  if (DWORD e = emu::scm::readConfig(args[0], &c)) {
    printError("config", args[0], e);
    return 1;
  }
  bool changed = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (i + 1 >= args.size()) return usage(kConfigUsage);
    const std::string &value = args[++i];
    if (args[i - 1] == "--start") {
      if (!parseStartType(value, &c.startType)) return usage(kConfigUsage);
    } else if (args[i - 1] == "--display") {
      c.displayName = value;
    } else if (args[i - 1] == "--binpath") {
      c.binaryPath = value;
    } else if (args[i - 1] == "--description") {
      c.description = value;
    } else {
      return usage(kConfigUsage);
    }
    changed = true;
  }
  if (changed) {
    if (DWORD e = emu::scm::writeConfig(c)) {
      printError("config", args[0], e);
      return 1;
    }
  }
  std::printf("name: %s\ndisplay: %s\nbinpath: %s\ntype: 0x%x\nstart: %u\nerror-control: %u\naccount: %s\n"
              "description: %s\nmarked-for-delete: %d\n",
              c.name.c_str(), c.displayName.c_str(), c.binaryPath.c_str(), c.serviceType, c.startType, c.errorControl,
              c.account.c_str(), c.description.c_str(), c.markedForDelete ? 1 : 0);
  return 0;
}

int svcList(const Args &args) {
  if (!args.empty()) return usage("svc-list");
  for (const auto &name : emu::scm::serviceNames())
    std::printf("%s %s\n", name.c_str(), stateName(emu::scm::queryService(name).status.dwCurrentState));
  return 0;
}

win32ctl::Command regHost("scm-host", "scm-host <service> <ready-fd> [args...]  (internal) controller of a run",
                          &scmHost);
win32ctl::Command regCreate("svc-create", kCreateUsage, &svcCreate);
win32ctl::Command regDelete("svc-delete", "svc-delete <service>  delete a service (its entry goes once it has stopped)", &svcDelete);
win32ctl::Command regStart("svc-start", "svc-start <service> [args...]  start a service in session 0", &svcStart);
win32ctl::Command regStop("svc-stop", "svc-stop <service> [--wait <ms>]  send SERVICE_CONTROL_STOP", &svcStop);
win32ctl::Command regControl("svc-control",
                             "svc-control <service> <control> [<event-type> [<session-id> | hex:<bytes>]]  send a "
                             "control (stop, interrogate, sessionchange, preshutdown, ... or a number)",
                             &svcControl);
win32ctl::Command regQuery("svc-query", "svc-query <service> [--history]  current status and recorded statuses",
                           &svcQuery);
win32ctl::Command regWait("svc-wait", "svc-wait <service> <state> [<timeout-ms>]  wait for STOPPED, RUNNING, ...",
                          &svcWait);
win32ctl::Command regList("svc-list", "svc-list  services and their states", &svcList);
win32ctl::Command regConfig("svc-config", kConfigUsage, &svcConfig);

} // namespace
