// Job objects. A job's membership is machine state, so that every process of the machine sees one: the file
// <root>/kernel/jobs/<id>.members lists every process that joined the job (assigned to it, created into it through
// the job list attribute, or created by a member without breaking away), in the order they joined, ended ones
// included; <id>.limits holds its limit flags for the members that create processes. The process id list, the
// accounting and the end of a job (kill-on-close, TerminateJobObject) all take the members from there.
//
// The last handle also goes when its process dies, however it dies (kill -9 included), and nothing of that process
// runs then. So a kill-on-close job has a keeper: this program started again as a process of its own
// (see attach.cpp) that holds the other end of a socket only this process has, and the job's member file. When the
// socket reads end-of-file without a clean close, the owner has died and the keeper ends the members.
#include "process/process_internal.h"
#include "process/proctable.h"

#include "emu/hold.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace emu {
namespace proc {

namespace {

constexpr char kKeeperFdVariable[] = "WIN32_JOB_KEEPER";
constexpr char kKeeperMembersVariable[] = "WIN32_JOB_KEEPER_MEMBERS";
constexpr char kKeeperRootVariable[] = "WIN32_JOB_KEEPER_ROOT";
constexpr char kKeeperJobVariable[] = "WIN32_JOB_KEEPER_JOB";

std::string jobsDir() { return kernelDir("jobs"); }
std::string membersPath(const std::string &id) { return jobsDir() + "/" + id + ".members"; }
std::string limitsPath(const std::string &id) { return jobsDir() + "/" + id + ".limits"; }

struct Member {
  pid_t pid = 0;
  unsigned long long start = 0;
};

// Every process that joined the job, in order, from its member file (read whole from the start).
std::vector<Member> readMembers(int fd) {
  std::string text;
  char buf[4096];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
  std::vector<Member> members;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    Member m;
    if (std::sscanf(line.c_str(), "%d %llu", &m.pid, &m.start) == 2) members.push_back(m);
  }
  return members;
}

std::vector<Member> readMembersOf(const std::string &id) {
  chaosPoint("job.read");
  const int fd = ::open(membersPath(id).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  auto members = readMembers(fd);
  ::close(fd);
  return members;
}

// false when the job has ended (its files are gone).
bool readLimits(const std::string &id, DWORD *flags) {
  chaosPoint("job.read");
  std::string text;
  if (!readWholeFile(limitsPath(id), &text)) return false;
  *flags = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

// Appends to an existing member file: one write of one line, so readers never see half of it.
bool appendMember(const std::string &id, pid_t pid, unsigned long long start) {
  chaosPoint("job.change");
  const int fd = ::open(membersPath(id).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string line = std::to_string(pid) + " " + std::to_string(start) + "\n";
  const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return ok;
}

// The job's processes now: the members that are alive, and what they started outside the machine's CreateProcess
// (a QProcess, a shell's children), which the process table does not know: their children by the parent links of
// /proc, and the rest of the process groups members led. A process the table knows is a member by its record only,
// so one that broke away stays out. Every process from one read of its stat.
struct Membership {
  std::vector<Member> live;
  size_t joined = 0;     // members ever, ended ones included
  size_t unrecorded = 0; // live processes among `live` that are members through their creator only
};

Membership membershipOf(const std::vector<Member> &joined) {
  Membership out;
  out.joined = joined.size();
  std::map<pid_t, unsigned long long> recorded;
  for (const auto &e : liveEntries()) recorded[e.pid] = e.start;
  std::map<pid_t, ProcStat> running;
  std::map<pid_t, std::vector<pid_t>> children;
  for (pid_t p : allPids()) {
    ProcStat s;
    if (!readStat(p, &s) || s.ended()) continue;
    running[p] = s;
    children[s.parent].push_back(p);
  }
  auto isRunning = [&](pid_t pid, unsigned long long start) {
    auto it = running.find(pid);
    return it != running.end() && it->second.start == start;
  };
  auto isRecorded = [&](pid_t pid, unsigned long long start) {
    auto it = recorded.find(pid);
    return it != recorded.end() && it->second == start;
  };
  std::set<pid_t> in;
  auto add = [&](pid_t pid, unsigned long long start, bool unrecorded) {
    if (!in.insert(pid).second) return false;
    out.live.push_back({pid, start});
    if (unrecorded) ++out.unrecorded;
    return true;
  };
  for (const auto &m : joined) {
    if (isRunning(m.pid, m.start)) add(m.pid, m.start, false);
  }
  for (size_t i = 0; i < out.live.size(); ++i) { // grows while it is walked
    const Member parent = out.live[i];
    for (pid_t c : children[parent.pid]) {
      const ProcStat &s = running[c];
      // Recorded, a pid reused since, or no process of the machine (a job's keeper).
      if (isRecorded(c, s.start) || s.start < parent.start || !belongsToMachine(c, s.start)) continue;
      add(c, s.start, true);
    }
  }
  for (const auto &r : running) { // a group outlives its leader
    if (in.count(r.first) || isRecorded(r.first, r.second.start)) continue;
    for (const auto &m : joined) {
      if (r.second.group == m.pid && r.second.start >= m.start && belongsToMachine(r.first, r.second.start)) {
        add(r.first, r.second.start, true);
        break;
      }
    }
  }
  return out;
}

// Ends the job's processes (JobsLock held): killed, or with `code` recorded when given. A member that starts a
// process outside the machine while it is being ended has that one found by the next look.
void endJob(const std::vector<Member> &joined, const DWORD *code) {
  const pid_t self = getpid();
  std::set<pid_t> ended;
  for (int round = 0; round < 5; ++round) {
    bool more = false;
    for (const auto &m : membershipOf(joined).live) {
      if (m.pid == self || !ended.insert(m.pid).second) continue;
      more = true;
      if (code) {
        terminateWithCode(m.pid, m.start, *code);
      } else {
        signalProcess(m.pid, m.start, SIGKILL);
      }
    }
    if (!more) break;
  }
}

void sendLine(int fd, const std::string &line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return; // the keeper is gone: nothing more can be done for the job
    done += static_cast<size_t>(n);
  }
}

// Starts the keeper of a job with its member file; returns this side of its socket, or -1.
int startKeeper(const std::string &id) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  // Above the numbers they go to: dup2 onto itself would keep close-on-exec.
  const int socketEnd = ::fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
  ::close(ends[1]);
  const int opened = ::open(membersPath(id).c_str(), O_RDONLY | O_CLOEXEC);
  const int members = opened < 0 ? -1 : ::fcntl(opened, F_DUPFD_CLOEXEC, 10);
  if (opened >= 0) ::close(opened);
  if (socketEnd < 0 || members < 0) {
    for (int fd : {ends[0], socketEnd, members}) {
      if (fd >= 0) ::close(fd);
    }
    return -1;
  }
  std::vector<std::string> env;
  for (char **e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "WIN32_", 6) != 0) env.emplace_back(*e); // no process of the machine: snapshots skip it
  }
  env.push_back(std::string(kKeeperFdVariable) + "=3");
  env.push_back(std::string(kKeeperMembersVariable) + "=4");
  env.push_back(std::string(kKeeperRootVariable) + "=" + machineRoot());
  env.push_back(std::string(kKeeperJobVariable) + "=" + id);
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char name[] = "job-keeper";
  char *argv[] = {name, nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, socketEnd, 3);
  posix_spawn_file_actions_adddup2(&actions, members, 4);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  // A session of its own: no console's Ctrl+C and no job's group kill reaches it.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, "/proc/self/exe", &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(socketEnd);
  ::close(members);
  if (rc != 0) {
    ::close(ends[0]);
    return -1;
  }
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return ends[0];
}

struct JobObject : KernelObject {
  std::mutex mutex;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  std::string id; // machine-wide: names its files
  int keeper = -1; // socket to the keeper, once the job has kill-on-close
  const char *typeName() const override { return "Job"; }

  bool killOnClose() const { return (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0; }

  // With `mutex` held: tells the keeper the kill-on-close limit, starting it with the limit, before any member can
  // run under it: a member must be known before its owner can die.
  void tellKeeper() {
    if (keeper < 0) {
      if (!killOnClose()) return;
      keeper = startKeeper(id);
      if (keeper < 0) return;
    }
    sendLine(keeper, std::string("kill ") + (killOnClose() ? "1" : "0") + "\n");
  }

  ~JobObject() override {
    if (killOnClose()) {
      JobsLock lock;
      endJob(readMembersOf(id), nullptr);
      // Nothing of it is left: a member that tries to create a process now finds no job to join.
      ::unlink(membersPath(id).c_str());
      ::unlink(limitsPath(id).c_str());
    }
    if (keeper >= 0) {
      sendLine(keeper, "closed\n"); // ended here already: the keeper leaves without killing
      ::close(keeper);
    }
  }
};

std::shared_ptr<JobObject> jobFromHandle(HANDLE h) {
  auto job = lookupHandleAs<JobObject>(h);
  if (!job) SetLastError(ERROR_INVALID_HANDLE);
  return job;
}

constexpr DWORD kKnownLimits = 0x7FFF;

// A new job's files; its id names this process, its start and a count, so it is the machine's only one.
std::string makeJobFiles() {
  static std::atomic<unsigned> count{0};
  const std::string id = std::to_string(getpid()) + "-" + std::to_string(startTimeOf(getpid())) + "-" +
                         std::to_string(count.fetch_add(1) + 1);
  const int fd = ::open(membersPath(id).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::string();
  ::close(fd);
  return writeFileAtomic(limitsPath(id), "0\n") ? id : std::string();
}

// Puts a process started outside the machine into the table, with the facts it has from its environment, so that
// what it creates joins its jobs.
void recordUnrecorded(Entry &e) {
  ProcStat s;
  if (readStat(e.pid, &s)) e.parent = s.parent;
  sessionOf(e.pid, &e.session);
  char path[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/" + std::to_string(e.pid) + "/exe").c_str(), path, sizeof(path) - 1);
  if (n > 0) e.image = windowsPath(std::string(path, static_cast<size_t>(n)));
  environOf(e.pid, "WIN32_CONSOLE", &e.console);
}

} // namespace

JobsLock::JobsLock() : fd_(::open((jobsDir() + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
  while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

JobsLock::~JobsLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool jobIdsFromHandles(const HANDLE *handles, size_t count, std::vector<std::string> *ids) {
  for (size_t i = 0; i < count; ++i) {
    auto job = jobFromHandle(handles[i]);
    if (!job) return false;
    if (std::find(ids->begin(), ids->end(), job->id) == ids->end()) ids->push_back(job->id);
  }
  return true;
}

bool jobsOfNewProcess(const std::vector<std::string> &creatorJobs, bool breakaway, std::vector<std::string> *ids) {
  for (const auto &id : creatorJobs) {
    DWORD flags = 0;
    if (!readLimits(id, &flags) || (flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)) continue; // ended, or lets go
    if (breakaway) {
      if (flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) continue;
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    ids->push_back(id);
  }
  return true;
}

void joinJobs(const std::vector<std::string> &ids, pid_t pid, unsigned long long start) {
  for (const auto &id : ids) appendMember(id, pid, start); // a job that ended meanwhile has no file to join
}

int jobKeeperSocket() {
  const char *fd = std::getenv(kKeeperFdVariable);
  const char *root = std::getenv(kKeeperRootVariable);
  if (!fd || !root) return -1;
  return std::atoi(fd);
}

void runJobKeeper(int fd) {
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  std::signal(SIGTERM, SIG_IGN);
  const char *membersVariable = std::getenv(kKeeperMembersVariable);
  const int membersFd = membersVariable ? std::atoi(membersVariable) : -1;
  // Nothing else of the owner's: a listening socket held here would outlive the owner.
  std::vector<int> inherited;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d)) {
      int n = std::atoi(e->d_name);
      if (n > 2 && n != fd && n != membersFd && n != dirfd(d)) inherited.push_back(n);
    }
    closedir(d);
  }
  for (int n : inherited) ::close(n);
  const std::string root = std::getenv(kKeeperRootVariable);
  const char *jobVariable = std::getenv(kKeeperJobVariable);
  const std::string id = jobVariable ? jobVariable : "";

  bool kill = false, closed = false;
  std::string pending;
  char buf[1024];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
      std::istringstream line(pending.substr(0, nl));
      std::string word;
      line >> word;
      if (word == "kill") {
        int on = 0;
        line >> on;
        kill = on != 0;
      } else if (word == "closed") {
        closed = true;
      }
    }
  }
  if (!closed && kill && membersFd >= 0) {
    // The member file is held open: it is read even when the machine was thrown away meanwhile.
    const auto joined = readMembers(membersFd);
    struct stat rootInfo;
    if (stat(root.c_str(), &rootInfo) == 0) {
      ::setenv("WIN32_ROOT", root.c_str(), 1);
      resetMachineRoot();
      JobsLock lock;
      endJob(joined, nullptr);
      if (!id.empty()) { // its last handle is gone: nothing of it is left
        ::unlink(membersPath(id).c_str());
        ::unlink(limitsPath(id).c_str());
      }
    } else {
      // The machine is gone (a finished test): end the members themselves, without making it again.
      for (const auto &m : joined) signalProcess(m.pid, m.start, SIGKILL);
    }
  }
  _exit(0);
}

} // namespace proc
} // namespace emu

using emu::proc::JobObject;

extern "C" HANDLE WINAPI CreateJobObjectW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName) {
  EMU_FAIL_POINT("CreateJobObjectW", nullptr);
  if (lpName && *lpName) { // named jobs are not part of this machine
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto job = std::make_shared<JobObject>();
  job->id = emu::proc::makeJobFiles();
  if (job->id.empty()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return emu::insertHandle(job);
}

extern "C" BOOL WINAPI SetInformationJobObject(HANDLE hJob, JOBOBJECTINFOCLASS JobObjectInformationClass,
                                              LPVOID lpJobObjectInformation, DWORD cbJobObjectInformationLength) {
  EMU_FAIL_POINT("SetInformationJobObject", FALSE);
  auto job = emu::proc::jobFromHandle(hJob);
  if (!job) return FALSE;
  if (!lpJobObjectInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  switch (JobObjectInformationClass) {
  case JobObjectBasicLimitInformation:
    if (cbJobObjectInformationLength != sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION)) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    std::memcpy(&info.BasicLimitInformation, lpJobObjectInformation, sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION));
    // Limits that only the extended form may set.
    if (info.BasicLimitInformation.LimitFlags & 0x7F00) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    break;
  case JobObjectExtendedLimitInformation:
    if (cbJobObjectInformationLength != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    std::memcpy(&info, lpJobObjectInformation, sizeof(info));
    break;
  default:
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (info.BasicLimitInformation.LimitFlags & ~emu::proc::kKnownLimits) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  emu::chaosPoint("job.change");
  std::lock_guard<std::mutex> lock(job->mutex);
  if (JobObjectInformationClass == JobObjectBasicLimitInformation) {
    job->limits.BasicLimitInformation = info.BasicLimitInformation;
  } else {
    job->limits = info;
  }
  job->tellKeeper();
  // Read by its members when they create processes: the change reaches every one of them from now on.
  emu::proc::writeFileAtomic(emu::proc::limitsPath(job->id),
                             std::to_string(job->limits.BasicLimitInformation.LimitFlags) + "\n");
  return TRUE;
}

extern "C" BOOL WINAPI QueryInformationJobObject(HANDLE hJob, JOBOBJECTINFOCLASS JobObjectInformationClass,
                                                LPVOID lpJobObjectInformation, DWORD cbJobObjectInformationLength,
                                                LPDWORD lpReturnLength) {
  EMU_FAIL_POINT("QueryInformationJobObject", FALSE);
  auto job = emu::proc::jobFromHandle(hJob);
  if (!job) return FALSE;
  if (!lpJobObjectInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto give = [&](const void *data, DWORD size) {
    if (cbJobObjectInformationLength < size) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    std::memcpy(lpJobObjectInformation, data, size);
    if (lpReturnLength) *lpReturnLength = size;
    return TRUE;
  };
  switch (JobObjectInformationClass) {
  case JobObjectBasicLimitInformation: {
    std::lock_guard<std::mutex> lock(job->mutex);
    return give(&job->limits.BasicLimitInformation, sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION));
  }
  case JobObjectExtendedLimitInformation: {
    std::lock_guard<std::mutex> lock(job->mutex);
    return give(&job->limits, sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION));
  }
  case JobObjectBasicAccountingInformation: {
    // Counts only: the stand-in keeps no times or page faults, and no limit ever ends a process. An ended member
    // stays active while a handle to it is open: its count drops when all references to it are released.
    const auto joined = emu::proc::readMembersOf(job->id);
    const auto m = emu::proc::membershipOf(joined);
    std::set<std::pair<pid_t, unsigned long long>> active;
    for (const auto &l : m.live) active.insert({l.pid, l.start});
    for (const auto &j : joined) {
      emu::proc::HeldProcess held;
      if (!active.count({j.pid, j.start}) && emu::proc::findHeld(j.pid, &held) && held.start == j.start)
        active.insert({j.pid, j.start});
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    info.TotalProcesses = static_cast<DWORD>(m.joined + m.unrecorded);
    info.ActiveProcesses = static_cast<DWORD>(active.size());
    return give(&info, sizeof(info));
  }
  case JobObjectBasicProcessIdList: {
    const auto live = emu::proc::membershipOf(emu::proc::readMembersOf(job->id)).live;
    const DWORD header = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    if (cbJobObjectInformationLength < header + sizeof(ULONG_PTR)) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    auto *list = static_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(lpJobObjectInformation);
    const size_t room = (cbJobObjectInformationLength - header) / sizeof(ULONG_PTR);
    list->NumberOfAssignedProcesses = static_cast<DWORD>(live.size());
    list->NumberOfProcessIdsInList = static_cast<DWORD>(std::min(room, live.size()));
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) list->ProcessIdList[i] = static_cast<ULONG_PTR>(live[i].pid);
    if (lpReturnLength) *lpReturnLength = header + list->NumberOfProcessIdsInList * sizeof(ULONG_PTR);
    if (room < live.size()) {
      SetLastError(ERROR_MORE_DATA);
      return FALSE;
    }
    return TRUE;
  }
  default:
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
}

extern "C" BOOL WINAPI AssignProcessToJobObject(HANDLE hJob, HANDLE hProcess) {
  EMU_FAIL_POINT("AssignProcessToJobObject", FALSE);
  auto job = emu::proc::jobFromHandle(hJob);
  if (!job) return FALSE;
  DWORD access = 0;
  auto st = emu::proc::processFromHandle(hProcess, &access);
  if (!st) return FALSE;
  if ((access & (PROCESS_SET_QUOTA | PROCESS_TERMINATE)) != (PROCESS_SET_QUOTA | PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Under the lock a job's end takes: the process is ended with the others or joins after.
  emu::proc::JobsLock lock;
  {
    std::lock_guard<std::mutex> engine(emu::waitEngineMutex());
    emu::proc::refreshExited(*st);
    if (st->exited) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  bool member = false;
  for (const auto &m : emu::proc::readMembersOf(job->id)) member = member || (m.pid == st->pid && m.start == st->start);
  if (!member) emu::proc::appendMember(job->id, st->pid, st->start);
  // Its entry names the job, so that what it creates from now on joins it too.
  emu::proc::updateEntry(st->pid, [&](emu::proc::Entry &e, bool exists) {
    if (e.start != st->start) return false;
    if (!exists) emu::proc::recordUnrecorded(e);
    if (std::find(e.jobs.begin(), e.jobs.end(), job->id) != e.jobs.end()) return false;
    e.jobs.push_back(job->id);
    return true;
  });
  return TRUE;
}

extern "C" BOOL WINAPI TerminateJobObject(HANDLE hJob, UINT uExitCode) {
  EMU_FAIL_POINT("TerminateJobObject", FALSE);
  auto job = emu::proc::jobFromHandle(hJob);
  if (!job) return FALSE;
  emu::proc::JobsLock lock;
  const DWORD code = uExitCode;
  emu::proc::endJob(emu::proc::readMembersOf(job->id), &code);
  return TRUE;
}
