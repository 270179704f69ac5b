// The control manager's operations on its entries: configuration, starting a controller, queries and controls.
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/scm.h"
#include "service/store.h"
#include "service/wire.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace emu {
namespace scm {

namespace {

constexpr DWORD kServiceNeverStarted = 1077; // ERROR_SERVICE_NEVER_STARTED
// Longer than the controller's own limits (30 s to connect, 30 s for a handler), so its answer always comes first.
constexpr int kStartWaitMs = 40000;
constexpr int kControlWaitMs = 40000;

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool runnable(const std::string &path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// win32ctl hosts the controllers: named by $WIN32CTL, else found among the built programs or beside this one.
std::string controllerProgram() {
  std::vector<std::string> candidates;
  if (const char *env = std::getenv("WIN32CTL"); env && *env) candidates.emplace_back(env);
  if (const char *bin = std::getenv("BV_BIN_DIR"); bin && *bin) candidates.push_back(std::string(bin) + "/win32ctl");
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    candidates.push_back(dir + "/win32ctl");
    candidates.push_back(dir + "/../bin/win32ctl");
  }
  for (const auto &c : candidates)
    if (runnable(c)) return c;
  return {};
}

DWORD validateConfig(const ServiceConfig &c) {
  if (!scmstore::validServiceName(c.name)) return ERROR_INVALID_NAME;
  DWORD type = c.serviceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  bool win32 = type == SERVICE_WIN32_OWN_PROCESS || type == SERVICE_WIN32_SHARE_PROCESS;
  bool driver = type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
  if (!win32 && !driver) return ERROR_INVALID_PARAMETER;
  if ((c.serviceType & SERVICE_INTERACTIVE_PROCESS) && !win32) return ERROR_INVALID_PARAMETER;
  if (c.startType > SERVICE_DISABLED || (c.startType < SERVICE_AUTO_START && !driver)) return ERROR_INVALID_PARAMETER;
  if (c.errorControl > SERVICE_ERROR_CRITICAL) return ERROR_INVALID_PARAMETER;
  if (c.binaryPath.empty()) return ERROR_INVALID_PARAMETER;
  return 0;
}

} // namespace

DWORD markForDelete(const std::string &name) {
  if (!scmstore::validServiceName(name)) return ERROR_INVALID_NAME;
  scmstore::DatabaseLock lock;
  std::string folder = scmstore::folderOf(name);
  ServiceConfig c;
  if (!scmstore::readConfigFile(folder, &c)) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (c.markedForDelete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  c.markedForDelete = true;
  return scmstore::writeConfigFile(folder, c) ? 0 : ERROR_CANTWRITE;
}

std::string serviceFolder(const std::string &name) { return scmstore::folderOf(name); }

DWORD createService(const ServiceConfig &config) {
  ServiceConfig c = config;
  if (c.displayName.empty()) c.displayName = c.name;
  c.markedForDelete = false;
  if (DWORD e = validateConfig(c)) return e;
  scmstore::DatabaseLock lock;
  std::string folder = scmstore::folderOf(c.name);
  ServiceConfig existing;
  if (scmstore::readConfigFile(folder, &existing))
    return existing.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  // Names and display names share one name space.
  for (const auto &other : serviceNames()) {
    ServiceConfig o;
    if (!scmstore::readConfigFile(scmstore::folderOf(other), &o)) continue;
    if (lower(o.displayName) == lower(c.displayName) || lower(o.name) == lower(c.displayName) ||
        lower(o.displayName) == lower(c.name))
      return ERROR_DUPLICATE_SERVICE_NAME;
  }
  scmstore::makeDirs(folder);
  return scmstore::writeConfigFile(folder, c) ? 0 : ERROR_CANTWRITE;
}

DWORD readConfig(const std::string &name, ServiceConfig *config) {
  if (!scmstore::validServiceName(name)) return ERROR_INVALID_NAME;
  return scmstore::readConfigFile(scmstore::folderOf(name), config) ? 0 : ERROR_SERVICE_DOES_NOT_EXIST;
}

DWORD writeConfig(const ServiceConfig &config) {
  if (DWORD e = validateConfig(config)) return e;
  scmstore::DatabaseLock lock;
  std::string folder = scmstore::folderOf(config.name);
  ServiceConfig existing;
  if (!scmstore::readConfigFile(folder, &existing)) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (existing.markedForDelete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  ServiceConfig c = config;
  c.name = existing.name; // the name's case is fixed at creation
  return scmstore::writeConfigFile(folder, c) ? 0 : ERROR_CANTWRITE;
}

DWORD deleteService(const std::string &name) {
  DWORD e = markForDelete(name);
  if (e == 0) purgeIfDeleted(name);
  return e;
}

void purgeIfDeleted(const std::string &name) {
  if (!scmstore::validServiceName(name)) return;
  scmstore::DatabaseLock lock;
  std::string folder = scmstore::folderOf(name);
  ServiceConfig c;
  if (scmstore::readConfigFile(folder, &c) && c.markedForDelete && !scmstore::controllerAlive(folder) &&
      !scmstore::handlesOpenElsewhere(folder, true))
    scmstore::removeEntry(folder);
}

std::vector<std::string> serviceNames() {
  std::vector<std::string> out;
  std::string root = scmstore::scmRoot();
  if (DIR *d = ::opendir(root.c_str())) {
    while (dirent *e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n.empty() || n[0] == '.') continue;
      ServiceConfig c;
      if (scmstore::readConfigFile(root + "/" + n, &c)) out.push_back(c.name);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end(), [](const std::string &a, const std::string &b) { return lower(a) < lower(b); });
  return out;
}

DWORD startService(const std::string &name, const std::vector<std::string> &args) {
  if (!scmstore::validServiceName(name)) return ERROR_INVALID_NAME;
  scmstore::DatabaseLock lock;
  std::string folder = scmstore::folderOf(name);
  ServiceConfig c;
  if (!scmstore::readConfigFile(folder, &c)) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (c.markedForDelete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (c.startType == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  if (scmstore::controllerAlive(folder)) return ERROR_SERVICE_ALREADY_RUNNING;
  std::string program = controllerProgram();
  if (program.empty()) return ERROR_FILE_NOT_FOUND;

  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return ERROR_NOT_ENOUGH_MEMORY;
  // The controller gets the write end as fd 3; dup2 onto itself would keep close-on-exec, so move it out of the way.
  int writeEnd = p[1];
  if (writeEnd == 3) {
    writeEnd = ::fcntl(p[1], F_DUPFD_CLOEXEC, 10);
    ::close(p[1]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd, 3);
  std::vector<std::string> argv = {program, "scm-host", c.name, "3"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> cargv;
  for (auto &a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(writeEnd);
  if (rc != 0) {
    ::close(p[0]);
    return ERROR_FILE_NOT_FOUND;
  }
  ::waitpid(pid, nullptr, 0); // the first process only hands over to the detached controller

  DWORD code = ERROR_SERVICE_REQUEST_TIMEOUT;
  pollfd pf{p[0], POLLIN, 0};
  int prc;
  do {
    prc = ::poll(&pf, 1, kStartWaitMs);
  } while (prc < 0 && errno == EINTR);
  if (prc > 0) {
    DWORD got = 0;
    if (::read(p[0], &got, sizeof(got)) == static_cast<ssize_t>(sizeof(got))) code = got;
  }
  ::close(p[0]);
  return code;
}

std::vector<StatusRecord> statusHistory(const std::string &name) {
  if (!scmstore::validServiceName(name)) return {};
  return scmstore::readHistory(scmstore::folderOf(name));
}

ServiceState queryService(const std::string &name) {
  ServiceState st;
  if (!scmstore::validServiceName(name)) return st;
  std::string folder = scmstore::folderOf(name);
  ServiceConfig c;
  if (!scmstore::readConfigFile(folder, &c)) return st;
  st.exists = true;
  // One read decides: the answer of the controller while it serves the run; once it no longer answers, the run's
  // records, which it completed first. Records read before a liveness look could be a run's last but one.
  holdPoint("ServiceQuery", name);
  DWORD pid = 0;
  if (scmstore::askController(folder, &pid, &st.status)) {
    st.active = true;
    st.processId = pid;
    return st;
  }
  scmstore::RunInfo run;
  scmstore::readRun(folder, &run);
  std::vector<StatusRecord> history = scmstore::readHistory(folder);
  st.processId = run.pid;
  st.processEnded = run.ended;
  st.diedUnexpectedly = run.died;
  st.processExitCode = run.exitCode;
  if (!history.empty()) {
    st.status = history.back().status;
  } else {
    st.status.dwServiceType = c.serviceType & (SERVICE_WIN32 | SERVICE_DRIVER);
    st.status.dwCurrentState = SERVICE_STOPPED;
    st.status.dwWin32ExitCode = kServiceNeverStarted;
  }
  if (st.status.dwCurrentState != SERVICE_STOPPED) {
    // The controller itself went away without its last records (killed): nothing runs any more.
    st.status.dwCurrentState = SERVICE_STOPPED;
    st.status.dwControlsAccepted = 0;
  }
  return st;
}

ControlReply sendControl(const std::string &name, DWORD control, DWORD eventType, const void *eventData,
                         size_t eventDataSize) {
  ControlReply reply;
  if (!scmstore::validServiceName(name)) {
    reply.error = ERROR_INVALID_NAME;
    return reply;
  }
  if (eventDataSize > scmwire::kMaxEventData || (eventDataSize > 0 && !eventData)) {
    reply.error = ERROR_INVALID_PARAMETER;
    return reply;
  }
  std::string folder = scmstore::folderOf(name);
  ServiceState st = queryService(name);
  reply.status = st.status;
  if (!st.exists) {
    reply.error = ERROR_SERVICE_DOES_NOT_EXIST;
    return reply;
  }
  int fd = scmwire::connectTo(scmwire::socketName(folder, "ctl"));
  if (fd < 0) {
    reply.error = ERROR_SERVICE_NOT_ACTIVE;
    return reply;
  }
  std::string msg;
  scmwire::putU32(msg, 0);
  scmwire::putU32(msg, control);
  scmwire::putU32(msg, eventType);
  if (eventDataSize) msg.append(static_cast<const char *>(eventData), eventDataSize);
  std::string answer;
  if (!scmwire::transact(fd, scmwire::Control, msg, scmwire::ControlReply, &answer, kControlWaitMs)) {
    ::close(fd);
    // The controller ended (the service process ended) or did not answer.
    // One answer gives both the status and whether a controller still serves the run.
    const ServiceState now = queryService(name);
    reply.status = now.status;
    reply.error = now.active ? ERROR_SERVICE_REQUEST_TIMEOUT : ERROR_SERVICE_NOT_ACTIVE;
    return reply;
  }
  ::close(fd);
  scmwire::Reader r(answer);
  reply.error = r.u32();
  reply.handlerResult = r.u32();
  reply.status = r.status();
  if (!r.ok) reply.error = ERROR_INVALID_DATA;
  return reply;
}

std::vector<std::string> broadcastSessionChange(DWORD eventType, DWORD sessionId) {
  std::vector<std::string> reached;
  WTSSESSION_NOTIFICATION note{sizeof(WTSSESSION_NOTIFICATION), sessionId};
  for (const auto &name : serviceNames()) {
    if (!scmstore::controllerAlive(scmstore::folderOf(name))) continue;
    ControlReply r = sendControl(name, SERVICE_CONTROL_SESSIONCHANGE, eventType, &note, sizeof(note));
    if (r.error == 0) reached.push_back(name);
  }
  return reached;
}

bool waitForState(const std::string &name, DWORD state, DWORD timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ServiceState st = queryService(name);
    if (st.exists && st.status.dwCurrentState == state) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace scm
} // namespace emu
