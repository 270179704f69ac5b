// Process objects shared by the process, job, token and console parts of the stand-in.
#pragma once

#include "emu/account.h"
#include "sync/waitable.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace emu {
namespace proc {

// One process as this process sees it; shared by every handle to it. Fields after `account` change under the
// engine lock only.
struct ProcessState {
  pid_t pid = 0;
  unsigned long long start = 0;
  bool child = false;   // created by this process, which reaps it
  bool counted = false; // a process of the machine whose handles other processes may find (not this one, no record
                        // of the desktop's)
  DWORD session = 0;
  std::string image; // Windows path of the program (host path when under no drive)
  Account account;
  bool exited = false;
  DWORD exitCode = STILL_ACTIVE;
  int handles = 0; // open handles to it in this process (heldMutex)
  int launch = 0;  // created here: the nth process of its program this process created (hold points' "#n")
};

// Hold point details that name a process: "<program>:<pid>" and, in its creator, also "<program>:#<n>".
std::string holdDetail(const ProcessState &st);
std::string holdLaunchDetail(const ProcessState &st);

// Looks at a process this process did not create: marks it exited when it has ended. Engine lock held.
void refreshExited(ProcessState &st);

// The process behind a handle (GetCurrentProcess() included) with the access of that handle; null with the
// last error ERROR_INVALID_HANDLE when it is none.
std::shared_ptr<ProcessState> processFromHandle(HANDLE h, DWORD *access);

// Console of this process: "none", or the process group id that stands for it.
std::string currentConsole();
// Console of a live process of this machine; false when there is no such process.
bool consoleOf(pid_t pid, std::string *console);
struct ProcStat;
// The same for the process that `s`, one read of its stat, shows.
bool consoleOf(pid_t pid, const ProcStat &s, std::string *console);

struct Entry;

// A new process waits at load until its creator opens its gate (gate.cpp). The creator makes the gate, puts
// variable() into the new process's environment and lets it inherit the descriptor it names, calls started() once
// the process exists, record() and what else it keeps of it, then open(). A gate destroyed unopened ends the
// process at load.
class Gate {
public:
  Gate();
  ~Gate();
  Gate(const Gate &) = delete;
  Gate &operator=(const Gate &) = delete;
  bool made() const { return ends_[0] >= 0; }
  int childEnd() const { return ends_[1]; }
  std::pair<std::string, std::string> variable() const;
  void started();
  // Writes the new process's table entry and account; when either cannot be written, kills the process (the
  // caller reaps it), takes away what was written and returns false.
  bool record(const Entry &entry, const Account &account);
  void open();

private:
  int ends_[2];
};
// In a new process, before any of its own code: waits for its gate, or ends the process when the creation failed.
void passGate();

// A process created with CREATE_NEW_PROCESS_GROUP starts with Ctrl+C disabled ($WIN32_CTRL_C=off, see attach.cpp).
void startWithCtrlCIgnored();

// The jobs that handles of this process name (the job list attribute), by their machine-wide ids; false with
// ERROR_INVALID_HANDLE when one is not a job.
bool jobIdsFromHandles(const HANDLE *handles, size_t count, std::vector<std::string> *ids);
// The jobs a process created by this one joins: those of the list attribute, and the creator's own unless it breaks
// away (`breakaway`: CREATE_BREAKAWAY_FROM_JOB) or its job lets every child leave silently. false with
// ERROR_ACCESS_DENIED when it asks to break away from a job that does not allow it.
bool jobsOfNewProcess(const std::vector<std::string> &creatorJobs, bool breakaway, std::vector<std::string> *ids);
// Held while a new process joins jobs and until it may run: a job's end (kill-on-close, TerminateJobObject) takes
// the same lock, so it either ends the new process with the others or comes after it was recorded.
class JobsLock {
public:
  JobsLock();
  ~JobsLock();
  JobsLock(const JobsLock &) = delete;
  JobsLock &operator=(const JobsLock &) = delete;

private:
  int fd_;
};
// Records a new process in its jobs (JobsLock held).
void joinJobs(const std::vector<std::string> &ids, pid_t pid, unsigned long long start);

// The socket of this process when it was started as a job's keeper, else -1.
int jobKeeperSocket();
// The keeper's whole life: learns the job's members from `fd`, ends them when the owner died; never returns.
[[noreturn]] void runJobKeeper(int fd);

} // namespace proc
} // namespace emu
