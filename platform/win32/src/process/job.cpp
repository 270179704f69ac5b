// Job objects. Kill-on-close ends every member when the job's last handle goes, with the member's process group
// (when it leads one) and its descendants, so that what a member started goes too.
#include "process/process_internal.h"
#include "process/proctable.h"

#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <unistd.h>
#include <vector>

namespace emu {
namespace proc {

namespace {

struct JobObject : KernelObject {
  std::mutex mutex;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // Every process assigned, ended ones included: what they started may still run.
  std::vector<std::shared_ptr<ProcessState>> members;
  const char *typeName() const override { return "Job"; }

  std::vector<std::shared_ptr<ProcessState>> allMembers() {
    std::lock_guard<std::mutex> lock(mutex);
    return members;
  }

  std::vector<std::shared_ptr<ProcessState>> liveMembers() {
    std::vector<std::shared_ptr<ProcessState>> live;
    for (auto &m : allMembers()) {
      if (startTimeOf(m->pid) == m->start && !isZombie(m->pid)) live.push_back(m);
    }
    return live;
  }

  void terminateAll(DWORD code) {
    for (auto &m : liveMembers()) {
      {
        std::lock_guard<std::mutex> lock(waitEngineMutex());
        m->terminated = true;
        m->terminatedWith = code;
      }
      recordExit(m->pid, m->start, code);
    }
    killJobMembers(allMembers());
  }

  ~JobObject() override {
    if (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) killJobMembers(members);
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
  // Who started whom: the process table remembers creators that have ended; /proc knows the rest.
  struct Known {
    unsigned long long start = 0;
    bool breakaway = false;
  };
  std::map<pid_t, Known> alive;
  std::map<pid_t, std::vector<pid_t>> children;
  for (const auto &e : liveEntries()) {
    alive[e.pid] = Known{e.start, e.breakaway};
    children[e.parent].push_back(e.pid);
  }
  for (pid_t p : allPids()) {
    if (alive.count(p) || isZombie(p)) continue;
    unsigned long long start = startTimeOf(p);
    if (start == 0) continue;
    alive[p] = Known{start, false};
    children[parentOf(p)].push_back(p);
  }
  std::set<pid_t> doomed;
  std::vector<std::pair<pid_t, unsigned long long>> queue; // a process and its start: its children start later
  for (const auto &m : members) {
    auto it = alive.find(m->pid);
    if (it != alive.end() && it->second.start == m->start) doomed.insert(m->pid);
    queue.emplace_back(m->pid, m->start);
    // The rest of a group that a member led (the group outlives its leader).
    for (const auto &a : alive) {
      if (!a.second.breakaway && groupOf(a.first) == m->pid && a.second.start >= m->start && belongsToMachine(a.first)) {
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
  for (pid_t p : doomed) kill(p, SIGKILL);
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
  std::lock_guard<std::mutex> lock(job->mutex);
  job->members.push_back(st);
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
  std::lock_guard<std::mutex> lock(job->mutex);
  if (JobObjectInformationClass == JobObjectBasicLimitInformation) {
    job->limits.BasicLimitInformation = info.BasicLimitInformation;
  } else {
    job->limits = info;
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
  return TRUE;
}

extern "C" BOOL WINAPI TerminateJobObject(HANDLE hJob, UINT uExitCode) {
  EMU_FAIL_POINT("TerminateJobObject", FALSE);
  auto job = emu::proc::jobFromHandle(hJob);
  if (!job) return FALSE;
  job->terminateAll(uExitCode);
  return TRUE;
}
