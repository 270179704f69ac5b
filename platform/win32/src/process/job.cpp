// Job objects. Kill-on-close ends every member when the job's last handle goes, with the member's process group
// (when it leads one) and its descendants, so that what a member started goes too.
//
// The last handle also goes when its process dies, however it dies (kill -9 included), and nothing of that process
// runs then. So a kill-on-close job has a keeper: this program started again as a process of its own
// (see attach.cpp) that holds the other end of a socket only this process has. It learns the members as they come;
// when the socket reads end-of-file without a clean close, the owner has died and the keeper ends the members.
#include "process/process_internal.h"
#include "process/proctable.h"

#include "emu/hold.h"

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
constexpr char kKeeperRootVariable[] = "WIN32_JOB_KEEPER_ROOT";

void sendLine(int fd, const std::string &line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return; // the keeper is gone: nothing more can be done for the job
    done += static_cast<size_t>(n);
  }
}

// Starts the keeper of a job; returns this side of its socket, or -1.
int startKeeper() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  const int target = ends[1] == 3 ? 4 : 3; // dup2 onto itself would keep close-on-exec
  std::vector<std::string> env;
  for (char **e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "WIN32_", 6) != 0) env.emplace_back(*e); // no process of the machine: snapshots skip it
  }
  env.push_back(std::string(kKeeperFdVariable) + "=" + std::to_string(target));
  env.push_back(std::string(kKeeperRootVariable) + "=" + machineRoot());
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char name[] = "job-keeper";
  char *argv[] = {name, nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, ends[1], target);
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
  ::close(ends[1]);
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
  // Every process assigned, ended ones included: what they started may still run.
  std::vector<std::shared_ptr<ProcessState>> members;
  int keeper = -1; // socket to the keeper, once the job has kill-on-close
  size_t membersTold = 0;
  const char *typeName() const override { return "Job"; }

  bool killOnClose() const { return (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0; }

  // With `mutex` held: brings the keeper up to date with the members and the kill-on-close limit.
  void tellKeeper() {
    if (keeper < 0) {
      // Started with the limit, before any member can run: a member must be known before its owner can die.
      if (!killOnClose()) return;
      keeper = startKeeper();
      if (keeper < 0) return;
    }
    std::ostringstream out;
    out << "kill " << (killOnClose() ? 1 : 0) << "\n";
    for (; membersTold < members.size(); ++membersTold) {
      out << "member " << members[membersTold]->pid << " " << members[membersTold]->start << "\n";
    }
    sendLine(keeper, out.str());
  }

  std::vector<std::shared_ptr<ProcessState>> allMembers() {
    std::lock_guard<std::mutex> lock(mutex);
    return members;
  }

  std::vector<std::shared_ptr<ProcessState>> liveMembers() {
    std::vector<std::shared_ptr<ProcessState>> live;
    for (auto &m : allMembers()) {
      if (aliveAt(m->pid, m->start)) live.push_back(m);
    }
    return live;
  }

  void terminateAll(DWORD code) {
    // Each member that runs: found running, its code recorded and killed as one step (see terminateWithCode).
    for (auto &m : allMembers()) terminateWithCode(m->pid, m->start, code);
    killJobMembers(allMembers());
  }

  ~JobObject() override {
    if (killOnClose()) killJobMembers(members);
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

} // namespace

void killJobMembers(const std::vector<std::shared_ptr<ProcessState>> &members) {
  if (members.empty()) return;
  const pid_t self = getpid();
  // Who started whom: the process table remembers creators that have ended; /proc knows the rest. Each process
  // from one read of its stat: start, parent and group together.
  struct Known {
    unsigned long long start = 0;
    bool breakaway = false;
    pid_t group = 0;
  };
  std::map<pid_t, Known> alive;
  std::map<pid_t, std::vector<pid_t>> children;
  std::map<pid_t, ProcStat> running;
  for (pid_t p : allPids()) {
    ProcStat s;
    if (readStat(p, &s) && !s.ended()) running[p] = s;
  }
  for (const auto &e : liveEntries()) {
    auto it = running.find(e.pid);
    if (it == running.end() || it->second.start != e.start) continue;
    alive[e.pid] = Known{e.start, e.breakaway, it->second.group};
    children[e.parent].push_back(e.pid);
  }
  for (const auto &r : running) {
    if (alive.count(r.first)) continue;
    alive[r.first] = Known{r.second.start, false, r.second.group};
    children[r.second.parent].push_back(r.first);
  }
  std::set<pid_t> doomed;
  std::vector<std::pair<pid_t, unsigned long long>> queue; // a process and its start: its children start later
  for (const auto &m : members) {
    auto it = alive.find(m->pid);
    if (it != alive.end() && it->second.start == m->start) doomed.insert(m->pid);
    queue.emplace_back(m->pid, m->start);
    // The rest of a group that a member led (the group outlives its leader).
    for (const auto &a : alive) {
      if (!a.second.breakaway && a.second.group == m->pid && a.second.start >= m->start &&
          belongsToMachine(a.first, a.second.start)) {
        doomed.insert(a.first);
      }
    }
  }
  std::set<pid_t> visited;
  for (size_t i = 0; i < queue.size(); ++i) {
    const auto [parent, parentStart] = queue[i];
    if (!visited.insert(parent).second) continue;
    for (pid_t c : children[parent]) {
      const Known &k = alive[c];
      if (k.breakaway || k.start < parentStart) continue; // broke away, or a pid reused since
      doomed.insert(c);
      queue.emplace_back(c, k.start);
    }
  }
  doomed.erase(self);
  for (pid_t p : doomed) signalProcess(p, alive[p].start, SIGKILL);
}

bool jobsFromHandles(const HANDLE *handles, size_t count, std::vector<std::shared_ptr<KernelObject>> *jobs) {
  for (size_t i = 0; i < count; ++i) {
    auto job = jobFromHandle(handles[i]);
    if (!job) return false;
    jobs->push_back(job);
  }
  return true;
}

void addToJob(const std::shared_ptr<KernelObject> &object, const std::shared_ptr<ProcessState> &st) {
  auto job = std::dynamic_pointer_cast<JobObject>(object);
  if (!job) return;
  chaosPoint("job.change");
  std::lock_guard<std::mutex> lock(job->mutex);
  job->members.push_back(st);
  job->tellKeeper();
}

bool jobAllowsBreakaway(const std::shared_ptr<KernelObject> &object) {
  auto job = std::dynamic_pointer_cast<JobObject>(object);
  if (!job) return false;
  std::lock_guard<std::mutex> lock(job->mutex);
  return (job->limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0;
}

// A member's record says whether it may create processes outside the job; a later change of limits reaches the
// members the job has then.
void recordJobOf(const ProcessState &st, bool breakawayOk) {
  updateEntry(st.pid, [&](Entry &e, bool exists) {
    if (!exists || e.start != st.start) return false;
    e.breakawayOk = (e.inJob ? e.breakawayOk : true) && breakawayOk;
    e.inJob = true;
    return true;
  });
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
  // Nothing else of the owner's: a listening socket held here would outlive the owner.
  std::vector<int> inherited;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d)) {
      int n = std::atoi(e->d_name);
      if (n > 2 && n != fd && n != dirfd(d)) inherited.push_back(n);
    }
    closedir(d);
  }
  for (int n : inherited) ::close(n);
  const std::string root = std::getenv(kKeeperRootVariable);

  std::vector<std::shared_ptr<ProcessState>> members;
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
      } else if (word == "member") {
        auto st = std::make_shared<ProcessState>();
        line >> st->pid >> st->start;
        members.push_back(st);
      } else if (word == "closed") {
        closed = true;
      }
    }
  }
  struct stat rootInfo;
  if (!closed && kill) {
    if (stat(root.c_str(), &rootInfo) == 0) {
      ::setenv("WIN32_ROOT", root.c_str(), 1);
      resetMachineRoot();
      killJobMembers(members);
    } else {
      // The machine is gone (a finished test): end the members themselves, without making it again.
      for (const auto &m : members) signalProcess(m->pid, m->start, SIGKILL);
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
  return emu::insertHandle(std::make_shared<JobObject>());
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
  const bool breakawayOk = (job->limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0;
  for (const auto &m : job->members) {
    emu::proc::updateEntry(m->pid, [&](emu::proc::Entry &e, bool exists) {
      if (!exists || e.start != m->start || e.breakawayOk == breakawayOk) return false;
      e.breakawayOk = breakawayOk;
      return true;
    });
  }
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
  case JobObjectBasicProcessIdList: {
    auto live = job->liveMembers();
    const DWORD header = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    if (cbJobObjectInformationLength < header + sizeof(ULONG_PTR)) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    auto *list = static_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(lpJobObjectInformation);
    const size_t room = (cbJobObjectInformationLength - header) / sizeof(ULONG_PTR);
    list->NumberOfAssignedProcesses = static_cast<DWORD>(live.size());
    list->NumberOfProcessIdsInList = static_cast<DWORD>(std::min(room, live.size()));
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) list->ProcessIdList[i] = static_cast<ULONG_PTR>(live[i]->pid);
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
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    emu::proc::refreshExited(*st);
    if (st->exited) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  emu::proc::addToJob(job, st);
  emu::proc::recordJobOf(*st, emu::proc::jobAllowsBreakaway(job));
  return TRUE;
}

extern "C" BOOL WINAPI TerminateJobObject(HANDLE hJob, UINT uExitCode) {
  EMU_FAIL_POINT("TerminateJobObject", FALSE);
  auto job = emu::proc::jobFromHandle(hJob);
  if (!job) return FALSE;
  job->terminateAll(uExitCode);
  return TRUE;
}
