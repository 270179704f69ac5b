// The emulated machine's service control manager, driven without the Win32 calls (tests, win32ctl, the stand-in).
// Not part of the Windows API: product code never includes this header.
//
// Each service is an entry under <root>/scm/<lower-case name>/: its configuration, the status history of its
// current (or last) run and the controller's view of the run. A started service has a controller process of its own
// (`win32ctl scm-host`): it spawns the service program in session 0 with a control channel, records every
// SetServiceStatus in order, relays controls to the service's handler and notices when the service process ends.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bvwin/base.h"
#include "bvwin/service.h"

namespace emu {
namespace scm {

struct ServiceConfig {
  std::string name; // as created; lookups ignore case
  std::string displayName;
  std::string binaryPath; // a Windows command line: program path (quoted when it has blanks) and arguments
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::string account;
  std::string description;
  bool markedForDelete = false;
};

struct StatusRecord {
  SERVICE_STATUS status{};
  // Written by the control manager rather than reported by the service: the process ended without SERVICE_STOPPED
  // (the record then says SERVICE_STOPPED with ERROR_PROCESS_ABORTED), or it could not be started.
  bool bySystem = false;
};

struct ServiceState {
  bool exists = false;
  bool active = false;        // a run is in progress: its service process lives, its controller with it
  DWORD processId = 0;        // of the current or last run's service process, 0 before any run
  SERVICE_STATUS status{};    // the last status of the run; SERVICE_STOPPED when nothing runs
  bool processEnded = false;  // the last run's service process has ended
  bool diedUnexpectedly = false; // ... without having reported SERVICE_STOPPED
  DWORD processExitCode = 0;  // its exit code, once ended
};

struct ControlReply {
  DWORD error = 0;         // 0: delivered; else ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ...
  DWORD handlerResult = 0; // what the service's handler returned, when delivered
  SERVICE_STATUS status{}; // the service's status after the control (also on refusal, when running)
};

// Configuration. Results are 0 or a Windows error code (ERROR_SERVICE_EXISTS, ERROR_SERVICE_DOES_NOT_EXIST, ...).
DWORD createService(const ServiceConfig &config);
DWORD readConfig(const std::string &name, ServiceConfig *config);
DWORD writeConfig(const ServiceConfig &config); // replaces the entry's configuration; the entry must exist
// Marks the entry for deletion; it goes once the service is not running and no process holds a handle to it.
DWORD deleteService(const std::string &name);
// Only marks it (DeleteService): the entry goes when the last handle to it closes.
DWORD markForDelete(const std::string &name);
// Removes an entry marked for deletion when the service is not running and no handle to it is open.
void purgeIfDeleted(const std::string &name);
std::vector<std::string> serviceNames();

// Starts the service with `args` for its main function (after its name). Returns when the service process has
// connected its dispatcher (0), or with ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DISABLED,
// ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_FILE_NOT_FOUND (no such program), ERROR_SERVICE_REQUEST_TIMEOUT (the
// program did not connect within 30 s or ended first).
DWORD startService(const std::string &name, const std::vector<std::string> &args = {});

ServiceState queryService(const std::string &name);
std::vector<StatusRecord> statusHistory(const std::string &name);

// Sends a control to the running service as the system does: any code, with its event type and event data, delivered
// when the service's last status accepts it (interrogate and codes without an accept flag always are).
ControlReply sendControl(const std::string &name, DWORD control, DWORD eventType = 0, const void *eventData = nullptr,
                         size_t eventDataSize = 0);
// A session change with a WTSSESSION_NOTIFICATION for `sessionId` to every running service that accepts it;
// returns the names of the services it reached.
std::vector<std::string> broadcastSessionChange(DWORD eventType, DWORD sessionId);

// Logs the user of a session off: every process the machine started in that session is told so (SIGHUP, the
// stand-in's logoff event), services that accept it get WTS_SESSION_LOGOFF, and when it was the console's session
// the console is left without one. Returns the ids of the processes told.
std::vector<DWORD> logoffSession(DWORD sessionId);

// Moves the console to `sessionId` in two steps, as Windows does: the old session (when there is one) is detached and
// WTS_CONSOLE_DISCONNECT announced for it; the console stays without a session (WTSGetActiveConsoleSessionId gives
// 0xFFFFFFFF) while `inGap` runs; then the new session is attached and WTS_CONSOLE_CONNECT announced. Returns the
// services told of the connect.
std::vector<std::string> switchConsoleSession(DWORD sessionId, const std::function<void()> &inGap = {});

// Waits until the current state is `state` (real milliseconds, not scaled); false on time-out.
bool waitForState(const std::string &name, DWORD state, DWORD timeoutMs);

// Folder of the entry (whether it exists or not).
std::string serviceFolder(const std::string &name);

// The controller of one run: `win32ctl scm-host <name> <ready-fd> [args...]`. Returns the process exit code.
int runController(const std::vector<std::string> &args);

} // namespace scm
} // namespace emu
