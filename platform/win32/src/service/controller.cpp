// The controller of one service run (`win32ctl scm-host`): spawns the service program with its control channel,
// records its statuses, relays controls to it one at a time and notices when its process ends.
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/process.h"
#include "emu/scm.h"
#include "process/process_internal.h"
#include "process/proctable.h"
#include "service/cmdline.h"
#include "service/store.h"
#include "service/wire.h"
#include "security/account_internal.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace emu {
namespace scm {

namespace {

using Clock = std::chrono::steady_clock;

// How long the program has to connect its dispatcher, and a handler to answer (real time, as the system's own).
constexpr auto kConnectTimeout = std::chrono::seconds(30);
constexpr auto kHandlerTimeout = std::chrono::seconds(30);
constexpr auto kRootCheckInterval = std::chrono::seconds(1);
constexpr DWORD kStatusControlCExit = 0xC000013A;

void logLine(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void reportReady(int &fd, DWORD code) {
  if (fd < 0) return;
  ssize_t n = ::write(fd, &code, sizeof(code));
  (void)n;
  ::close(fd);
  fd = -1;
}

// The exit code of an ended process in Windows terms: the full code it recorded, else its exit status, or for a signal
// the code Windows gives a process ended by Ctrl+C or killed from outside.
DWORD exitCodeOf(pid_t pid, int waitStatus) {
  DWORD recorded = 0;
  if (WIFEXITED(waitStatus)) {
    // The low byte tells a record left by an earlier process with the same pid apart, as a rule.
    if (recordedExitCode(static_cast<DWORD>(pid), &recorded) && (recorded & 0xFF) == static_cast<DWORD>(WEXITSTATUS(waitStatus)))
      return recorded;
    return static_cast<DWORD>(WEXITSTATUS(waitStatus));
  }
  if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus) == SIGINT ? kStatusControlCExit : 1;
  return 1;
}

// Bit a service must list in its accepted controls to be sent `control`; 0 for controls that need none.
DWORD acceptFlagFor(DWORD control) {
  switch (control) {
  case SERVICE_CONTROL_STOP: return SERVICE_ACCEPT_STOP;
  case SERVICE_CONTROL_PAUSE:
  case SERVICE_CONTROL_CONTINUE: return SERVICE_ACCEPT_PAUSE_CONTINUE;
  case SERVICE_CONTROL_SHUTDOWN: return SERVICE_ACCEPT_SHUTDOWN;
  case SERVICE_CONTROL_PARAMCHANGE: return SERVICE_ACCEPT_PARAMCHANGE;
  case SERVICE_CONTROL_NETBINDADD:
  case SERVICE_CONTROL_NETBINDREMOVE:
  case SERVICE_CONTROL_NETBINDENABLE:
  case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_ACCEPT_NETBINDCHANGE;
  case SERVICE_CONTROL_HARDWAREPROFILECHANGE: return SERVICE_ACCEPT_HARDWAREPROFILECHANGE;
  case SERVICE_CONTROL_POWEREVENT: return SERVICE_ACCEPT_POWEREVENT;
  case SERVICE_CONTROL_SESSIONCHANGE: return SERVICE_ACCEPT_SESSIONCHANGE;
  case SERVICE_CONTROL_PRESHUTDOWN: return SERVICE_ACCEPT_PRESHUTDOWN;
  case SERVICE_CONTROL_TIMECHANGE: return SERVICE_ACCEPT_TIMECHANGE;
  case SERVICE_CONTROL_TRIGGEREVENT: return SERVICE_ACCEPT_TRIGGEREVENT;
  default: return 0;
  }
}

enum class Kind { Unknown, Control, Status, Client };

struct Conn {
  int fd;
  Kind kind;
};

struct PendingControl {
  int clientFd;
  uint32_t control;
  uint32_t eventType;
  std::string data;
};

class Controller {
public:
  Controller(std::string name, int readyFd, std::vector<std::string> args)
      : name_(std::move(name)), readyFd_(readyFd), args_(std::move(args)) {}
  int run();
  bool rootGone() const { return rootGone_; }

private:
  bool spawnService();
  void acceptOn(int listenFd);
  void handle(Conn &c);
  void handleHello(Conn &c, uint32_t type, const std::string &payload);
  void pump();
  void replyControl(int clientFd, DWORD error, DWORD result);
  void dropConn(int fd);
  void reap();
  void finish();
  SERVICE_STATUS currentStatus() const;

  std::string name_;
  int readyFd_;
  std::vector<std::string> args_;
  std::string folder_;
  ServiceConfig config_;
  int ctlFd_ = -1, svcFd_ = -1, sigFd_ = -1;
  std::vector<Conn> conns_;
  pid_t child_ = 0;
  bool childEnded_ = false;
  bool rootGone_ = false;
  int waitStatus_ = 0;
  int controlFd_ = -1, statusFd_ = -1;
  bool haveStatus_ = false;
  SERVICE_STATUS last_{};
  std::deque<PendingControl> queue_;
  bool inFlight_ = false;
  uint32_t seq_ = 0;
  Clock::time_point inFlightDeadline_{};
  Clock::time_point connectDeadline_{};
};

SERVICE_STATUS Controller::currentStatus() const {
  if (haveStatus_) return last_;
  SERVICE_STATUS s{};
  s.dwServiceType = config_.serviceType & SERVICE_WIN32;
  s.dwCurrentState = childEnded_ ? SERVICE_STOPPED : SERVICE_START_PENDING;
  return s;
}

bool Controller::spawnService() {
  std::vector<std::string> argv = cmdline::split(config_.binaryPath);
  std::string program = argv.empty() ? std::string() : cmdline::resolveProgram(argv[0]);
  if (program.empty()) {
    logLine("scm: program of '%s' not found: %s", name_.c_str(), config_.binaryPath.c_str());
    return false;
  }
  argv[0] = program;
  const std::string cwd = hostPath(std::string("C:\\Windows\\System32"));
  scmstore::makeDirs(cwd);
  const std::string out = folder_ + "/stdout.log";
  const std::string channel = scmwire::socketName(folder_, "svc");

  proc::Gate gate; // the service waits at load until the machine has recorded it
  const auto gateVariable = gate.variable();
  int errPipe[2];
  if (!gate.made() || ::pipe2(errPipe, O_CLOEXEC) != 0) return false;
  std::vector<char *> cargv;
  for (auto &a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  const auto account = emu::sec::accountVariables(emu::localSystemAccount()); // services run as LocalSystem
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(errPipe[0]);
    ::close(errPipe[1]);
    return false;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::setsid(); // services have no console: out of reach of any terminal's Ctrl+C
    if (::chdir(cwd.c_str()) != 0) {
      // the folder was just made; an unreadable root fails the exec below anyway
    }
    int in = ::open("/dev/null", O_RDONLY);
    int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (in >= 0) ::dup2(in, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    ::setenv("WIN32_SCM_SERVICE", config_.name.c_str(), 1);
    ::setenv("WIN32_SCM_CHANNEL", channel.c_str(), 1);
    ::setenv("WIN32_SESSION_ID", "0", 1); // services run in session 0
    ::setenv("WIN32_CONSOLE", "none", 1); // ... without a console
    for (const auto &v : account) ::setenv(v.first.c_str(), v.second.c_str(), 1);
    ::fcntl(gate.childEnd(), F_SETFD, 0);
    ::setenv(gateVariable.first.c_str(), gateVariable.second.c_str(), 1);
    ::execv(cargv[0], cargv.data());
    int e = errno;
    ssize_t n = ::write(errPipe[1], &e, sizeof(e));
    (void)n;
    ::_exit(127);
  }
  ::close(errPipe[1]);
  gate.started();
  int e = 0;
  ssize_t n;
  do {
    n = ::read(errPipe[0], &e, sizeof(e));
  } while (n < 0 && errno == EINTR);
  ::close(errPipe[0]);
  child_ = pid;
  if (n == static_cast<ssize_t>(sizeof(e))) {
    logLine("scm: cannot run %s: %s", program.c_str(), std::strerror(e));
    return false;
  }
  holdPoint("CreateProcess", program.substr(program.find_last_of('/') + 1) + ":by:" + std::to_string(::getpid()));
  proc::Entry entry;
  entry.pid = pid;
  entry.start = proc::startTimeOf(pid);
  entry.parent = ::getpid();
  entry.session = 0;
  entry.image = windowsPath(program);
  entry.console = "none";
  if (!gate.record(entry, localSystemAccount())) {
    logLine("scm: cannot record %s", program.c_str());
    return false;
  }
  gate.open();
  logLine("scm: started %s as pid %d", program.c_str(), static_cast<int>(pid));
  return true;
}

int Controller::run() {
  folder_ = scmstore::folderOf(name_);
  if (!scmstore::readConfigFile(folder_, &config_)) {
    reportReady(readyFd_, ERROR_SERVICE_DOES_NOT_EXIST);
    return 1;
  }
  int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) ::dup2(null, 0);
  int log = ::open((folder_ + "/scm.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (log >= 0) {
    ::dup2(log, 1);
    ::dup2(log, 2);
  }
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &chld, nullptr);
  sigFd_ = ::signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);

  ctlFd_ = scmwire::listenOn(scmwire::socketName(folder_, "ctl"));
  if (ctlFd_ < 0) {
    reportReady(readyFd_, errno == EADDRINUSE ? ERROR_SERVICE_ALREADY_RUNNING : ERROR_NOT_ENOUGH_MEMORY);
    return 1;
  }
  svcFd_ = scmwire::listenOn(scmwire::socketName(folder_, "svc"));
  if (svcFd_ < 0 || sigFd_ < 0) {
    reportReady(readyFd_, ERROR_NOT_ENOUGH_MEMORY);
    return 1;
  }
  scmstore::clearHistory(folder_);
  scmstore::RunInfo info;
  info.active = true;
  info.controller = ::getpid();
  scmstore::writeRun(folder_, info);

  if (!spawnService()) {
    StatusRecord rec;
    rec.bySystem = true;
    rec.status.dwServiceType = config_.serviceType & SERVICE_WIN32;
    rec.status.dwCurrentState = SERVICE_STOPPED;
    rec.status.dwWin32ExitCode = ERROR_FILE_NOT_FOUND;
    scmstore::appendHistory(folder_, rec);
    if (child_ > 0) ::waitpid(child_, nullptr, 0);
    ::close(ctlFd_);
    info.active = false;
    info.ended = child_ > 0;
    scmstore::writeRun(folder_, info);
    reportReady(readyFd_, ERROR_FILE_NOT_FOUND);
    return 1;
  }
  info.pid = static_cast<DWORD>(child_);
  scmstore::writeRun(folder_, info);
  connectDeadline_ = Clock::now() + kConnectTimeout;

  while (!childEnded_) {
    std::vector<pollfd> fds;
    fds.push_back({ctlFd_, POLLIN, 0});
    fds.push_back({svcFd_, POLLIN, 0});
    fds.push_back({sigFd_, POLLIN, 0});
    for (const Conn &c : conns_) fds.push_back({c.fd, POLLIN, 0});
    int timeout = -1;
    auto now = Clock::now();
    auto consider = [&](Clock::time_point t) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
      int v = ms < 0 ? 0 : static_cast<int>(ms);
      if (timeout < 0 || v < timeout) timeout = v;
    };
    if (readyFd_ >= 0) consider(connectDeadline_);
    if (inFlight_) consider(inFlightDeadline_);
    consider(now + kRootCheckInterval);
    int rc = ::poll(fds.data(), fds.size(), timeout);
    if (rc < 0 && errno != EINTR) break;
    now = Clock::now();
    if (!rootGone_ && ::access((folder_ + "/config").c_str(), F_OK) != 0) {
      // The machine was thrown away (a test's root removed) with the service still running: end it, leave nothing.
      rootGone_ = true;
      ::kill(-child_, SIGKILL);
      ::kill(child_, SIGKILL);
    }
    if (readyFd_ >= 0 && now >= connectDeadline_) {
      logLine("scm: %s did not connect its dispatcher in time", name_.c_str());
      ::kill(-child_, SIGKILL);
      ::kill(child_, SIGKILL);
      reportReady(readyFd_, ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    if (inFlight_ && now >= inFlightDeadline_) {
      inFlight_ = false;
      PendingControl p = queue_.front();
      queue_.pop_front();
      logLine("scm: handler did not answer control %u in time", p.control);
      replyControl(p.clientFd, ERROR_SERVICE_REQUEST_TIMEOUT, 0);
      pump();
    }
    if (rc <= 0) continue;
    if (fds[2].revents) reap();
    if (fds[0].revents & POLLIN) acceptOn(ctlFd_);
    if (fds[1].revents & POLLIN) acceptOn(svcFd_);
    std::vector<int> ready;
    for (size_t i = 3; i < fds.size(); ++i)
      if (fds[i].revents) ready.push_back(fds[i].fd);
    for (int fd : ready) {
      for (size_t i = 0; i < conns_.size(); ++i) {
        if (conns_[i].fd == fd) {
          handle(conns_[i]);
          break;
        }
      }
    }
  }
  finish();
  return 0;
}

void Controller::acceptOn(int listenFd) {
  int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  conns_.push_back({fd, listenFd == ctlFd_ ? Kind::Client : Kind::Unknown});
}

void Controller::dropConn(int fd) {
  for (size_t i = 0; i < conns_.size(); ++i) {
    if (conns_[i].fd == fd) {
      conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (fd == controlFd_) controlFd_ = -1;
  if (fd == statusFd_) statusFd_ = -1;
  // A client that went away keeps its queued control; its answer is simply not sent.
  for (auto &p : queue_)
    if (p.clientFd == fd) p.clientFd = -1;
  ::close(fd);
}

void Controller::handle(Conn &c) {
  uint32_t type = 0;
  std::string payload;
  int fd = c.fd;
  if (!scmwire::receiveMessage(fd, &type, &payload, 0)) {
    dropConn(fd);
    return;
  }
  switch (c.kind) {
  case Kind::Unknown:
    handleHello(c, type, payload);
    return;
  case Kind::Status: {
    scmwire::Reader r(payload);
    SERVICE_STATUS s = r.status();
    std::string ack;
    if (type != scmwire::Status || !r.ok) {
      scmwire::putU32(ack, ERROR_INVALID_DATA);
    } else {
      StatusRecord rec;
      rec.status = s;
      scmstore::appendHistory(folder_, rec);
      last_ = s;
      haveStatus_ = true;
      scmwire::putU32(ack, 0);
    }
    scmwire::sendMessage(fd, scmwire::StatusAck, ack);
    return;
  }
  case Kind::Control: {
    scmwire::Reader r(payload);
    uint32_t seq = r.u32();
    uint32_t result = r.u32();
    if (type == scmwire::ControlReply && r.ok && inFlight_ && seq == seq_) {
      inFlight_ = false;
      PendingControl p = queue_.front();
      queue_.pop_front();
      replyControl(p.clientFd, 0, result);
      pump();
    }
    return;
  }
  case Kind::Client: {
    if (type == scmwire::Ping) {
      std::string pong;
      scmwire::putU32(pong, static_cast<uint32_t>(child_));
      scmwire::putStatus(pong, currentStatus());
      scmwire::sendMessage(fd, scmwire::Pong, pong);
    } else if (type == scmwire::Control) {
      scmwire::Reader r(payload);
      r.u32(); // the client's sequence number is not used
      PendingControl p;
      p.clientFd = fd;
      p.control = r.u32();
      p.eventType = r.u32();
      p.data = r.rest();
      if (!r.ok) {
        dropConn(fd);
        return;
      }
      queue_.push_back(std::move(p));
      pump();
    } else {
      dropConn(fd);
    }
    return;
  }
  }
}

void Controller::handleHello(Conn &c, uint32_t type, const std::string &payload) {
  ucred cred{};
  socklen_t len = sizeof(cred);
  bool fromService = ::getsockopt(c.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.pid == child_;
  std::string reply;
  DWORD error = 0;
  if (!fromService || (type != scmwire::HelloControl && type != scmwire::HelloStatus))
    error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  else if ((type == scmwire::HelloControl && controlFd_ >= 0) || (type == scmwire::HelloStatus && statusFd_ >= 0))
    error = ERROR_SERVICE_ALREADY_RUNNING;
  scmwire::putU32(reply, error);
  if (error == 0) {
    scmwire::putU32(reply, static_cast<uint32_t>(args_.size() + 1));
    scmwire::putBytes(reply, config_.name);
    for (const auto &a : args_) scmwire::putBytes(reply, a);
  }
  (void)payload;
  scmwire::sendMessage(c.fd, scmwire::HelloReply, reply);
  if (error != 0) {
    dropConn(c.fd);
    return;
  }
  if (type == scmwire::HelloControl) {
    c.kind = Kind::Control;
    controlFd_ = c.fd;
    logLine("scm: dispatcher of %s connected", name_.c_str());
    reportReady(readyFd_, 0);
  } else {
    c.kind = Kind::Status;
    statusFd_ = c.fd;
  }
}

void Controller::replyControl(int clientFd, DWORD error, DWORD result) {
  if (clientFd < 0) return;
  std::string reply;
  scmwire::putU32(reply, error);
  scmwire::putU32(reply, result);
  scmwire::putStatus(reply, currentStatus());
  scmwire::sendMessage(clientFd, scmwire::ControlReply, reply);
}

void Controller::pump() {
  while (!inFlight_ && !queue_.empty()) {
    PendingControl &p = queue_.front();
    DWORD error = 0;
    SERVICE_STATUS s = currentStatus();
    DWORD flag = acceptFlagFor(p.control);
    // ControlService's state table: a stopped service is not active, even while its process lingers; stop pending
    // takes no control, start pending only a stop; every other state is sent what its last status accepts. A service
    // that has reported nothing yet reads as start pending and accepts nothing (currentStatus).
    if (childEnded_ || s.dwCurrentState == SERVICE_STOPPED) error = ERROR_SERVICE_NOT_ACTIVE;
    else if (s.dwCurrentState == SERVICE_STOP_PENDING ||
             (s.dwCurrentState == SERVICE_START_PENDING && p.control != SERVICE_CONTROL_STOP))
      error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    else if (flag != 0 && !(s.dwControlsAccepted & flag))
      error = ERROR_INVALID_SERVICE_CONTROL;
    else if (controlFd_ < 0) // no dispatcher channel (not yet, or no longer) to send on: our choice, see MODEL.md
      error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (error == 0) {
      std::string msg;
      scmwire::putU32(msg, ++seq_);
      scmwire::putU32(msg, p.control);
      scmwire::putU32(msg, p.eventType);
      msg += p.data;
      if (!scmwire::sendMessage(controlFd_, scmwire::Control, msg)) error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    if (error == 0) {
      logLine("scm: control %u (event type %u) to %s", p.control, p.eventType, name_.c_str());
      inFlight_ = true;
      inFlightDeadline_ = Clock::now() + kHandlerTimeout;
      return;
    }
    int clientFd = p.clientFd;
    queue_.pop_front();
    replyControl(clientFd, error, 0);
  }
}

void Controller::reap() {
  signalfd_siginfo info;
  while (::read(sigFd_, &info, sizeof(info)) > 0) {
  }
  int status = 0;
  pid_t r = ::waitpid(child_, &status, WNOHANG);
  if (r == child_) {
    childEnded_ = true;
    waitStatus_ = status;
  }
}

void Controller::finish() {
  if (rootGone_) { // nothing left to record into, and nothing to recreate
    reportReady(readyFd_, ERROR_SERVICE_REQUEST_TIMEOUT);
    return;
  }
  DWORD exitCode = exitCodeOf(child_, waitStatus_);
  bool died = !haveStatus_ || last_.dwCurrentState != SERVICE_STOPPED;
  logLine("scm: %s process %d ended with %u%s", name_.c_str(), static_cast<int>(child_), exitCode,
          died ? " without reporting SERVICE_STOPPED" : "");
  // The end of the process is on record before anyone can see the run as stopped or be told of it.
  scmstore::RunInfo info;
  info.active = true;
  info.controller = ::getpid();
  info.pid = static_cast<DWORD>(child_);
  info.ended = true;
  info.died = died;
  info.exitCode = exitCode;
  scmstore::writeRun(folder_, info);
  if (died) {
    StatusRecord rec;
    rec.bySystem = true;
    rec.status.dwServiceType = haveStatus_ ? last_.dwServiceType : (config_.serviceType & SERVICE_WIN32);
    rec.status.dwCurrentState = SERVICE_STOPPED;
    rec.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    scmstore::appendHistory(folder_, rec);
    last_ = rec.status;
    haveStatus_ = true;
  }
  if (inFlight_) {
    inFlight_ = false;
    replyControl(queue_.front().clientFd, ERROR_SERVICE_NOT_ACTIVE, 0);
    queue_.pop_front();
  }
  pump(); // the rest are refused as not active
  ::close(ctlFd_);
  ::close(svcFd_);
  for (const Conn &c : conns_) ::close(c.fd);
  conns_.clear();
  // A starter still waiting holds the database lock: answer it before taking the lock.
  reportReady(readyFd_, ERROR_SERVICE_REQUEST_TIMEOUT);
  {
    // A new run may have begun as soon as the sockets closed: its record is not this controller's to change.
    scmstore::DatabaseLock lock;
    scmstore::RunInfo current;
    if (scmstore::readRun(folder_, &current) && current.controller == ::getpid()) {
      info.active = false;
      scmstore::writeRun(folder_, info);
      ServiceConfig config;
      if (scmstore::readConfigFile(folder_, &config) && config.markedForDelete &&
          !scmstore::handlesOpenElsewhere(folder_, true))
        scmstore::removeEntry(folder_);
    }
  }
}

} // namespace

int runController(const std::vector<std::string> &args) {
  if (args.size() < 2) return 2;
  int readyFd = std::atoi(args[1].c_str());
  if (readyFd >= 0) ::fcntl(readyFd, F_SETFD, FD_CLOEXEC); // not for the service process
  // The starter waits for this first process only; the controller lives on in a session of its own.
  pid_t pid = ::fork();
  if (pid < 0) {
    reportReady(readyFd, ERROR_NOT_ENOUGH_MEMORY);
    return 1;
  }
  if (pid > 0) ::_exit(0);
  ::setsid();
  Controller controller(args[0], readyFd, std::vector<std::string>(args.begin() + 2, args.end()));
  int rc = controller.run();
  // Leaving through exit() would record this process's exit code under the root and so bring a removed root back.
  if (controller.rootGone()) ::_exit(rc);
  return rc;
}

} // namespace scm
} // namespace emu
