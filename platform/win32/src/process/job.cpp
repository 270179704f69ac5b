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
  std::vector<std::shared_ptr<ProcessState>> members;
  const char *typeName() const override { return "Job"; }

  // Members still running; ended ones are dropped.
  std::vector<std::shared_ptr<ProcessState>> liveMembers() {
    std::vector<std::shared_ptr<ProcessState>> live;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &m : members) {
      if (startTimeOf(m->pid) == m->start && !isZombie(m->pid)) live.push_back(m);
    }
    members = live;
    return live;
  }

  void terminateAll(bool record, DWORD code) {
    for (auto &m : liveMembers()) {
      if (record) {
        {
          std::lock_guard<std::mutex> lock(waitEngineMutex());
          m->terminated = true;
          m->terminatedWith = code;
        }
        recordExit(m->pid, m->start, code);
      }
      killTree(m->pid, m->start);
    }
  }

  ~JobObject() override {
    if (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) terminateAll(false, 0);
  }
};

std::shared_ptr<JobObject> jobFromHandle(HANDLE h) {
  auto job = lookupHandleAs<JobObject>(h);
  if (!job) SetLastError(ERROR_INVALID_HANDLE);
  return job;
}

constexpr DWORD kKnownLimits = 0x7FFF;

} // namespace

void killTree(pid_t pid, unsigned long long start) {
  if (pid <= 1 || pid == getpid() || startTimeOf(pid) != start) return;
  // Descendants by parent links, found before anything dies and is re-parented.
  std::map<pid_t, std::vector<pid_t>> children;
  for (pid_t p : allPids()) children[parentOf(p)].push_back(p);
  std::vector<pid_t> tree{pid};
  std::set<pid_t> seen{pid};
  for (size_t i = 0; i < tree.size(); ++i) {
    for (pid_t c : children[tree[i]]) {
      if (c != getpid() && seen.insert(c).second) tree.push_back(c);
    }
  }
  const bool leader = getpgid(pid) == pid && getpgid(0) != pid;
  kill(pid, SIGKILL);
  if (leader) killpg(pid, SIGKILL);
  for (size_t i = 1; i < tree.size(); ++i) kill(tree[i], SIGKILL);
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
  job->terminateAll(true, uExitCode);
  return TRUE;
}
