// Machine-wide process state under <root>/kernel: the process table, recorded exit codes, the handles processes
// hold to other processes, and what /proc tells about a process.
#pragma once

#include <windows.h>

#include "emu/account.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace emu {
namespace proc {

// <root>/kernel/<sub>, created on first use.
std::string kernelDir(const std::string &sub = std::string());
// Writes a whole file atomically (temp file + rename).
bool writeFileAtomic(const std::string &path, const std::string &contents);
bool readWholeFile(const std::string &path, std::string *contents);

// What one read of /proc/<pid>/stat tells. Every decision on whether a process runs is taken from one such read:
// a process reaped between two reads would read as neither ended (no state any more) nor gone (the first read).
struct ProcStat {
  char state = 0;
  pid_t parent = 0;
  pid_t group = 0;
  unsigned threads = 0;
  unsigned long long start = 0; // clock ticks since boot; with the pid it names one process even when pids are reused
  int waitStatus = 0;           // an ended process not yet reaped: its status as waitpid gives it
  bool ended() const { return state == 'Z' || state == 'X'; }
};
// false when no process has this pid (it never did, or it has been reaped).
bool readStat(pid_t pid, ProcStat *s);
// The one question "is the process with this pid, started at `start`, alive and not ended?", from one read. A caller
// that needs more facts than the stat reads them first and asks this last: a process that ends in between is then
// left out, never taken with half its facts.
bool aliveAt(pid_t pid, unsigned long long start);
// Start time of the process with this pid when it is alive and not ended, else 0 (one read).
unsigned long long liveStartOf(pid_t pid);
// Start time of a live or ended but unreaped process, 0 when there is none: for recording a process only, never
// for deciding whether it runs.
unsigned long long startTimeOf(pid_t pid);
// For callers outside the process area that still ask it apart from the start time.
bool isZombie(pid_t pid);
// Every pid in /proc.
std::vector<pid_t> allPids();
// A variable of the initial environment of another process.
bool environOf(pid_t pid, const std::string &name, std::string *value);
// Sends `sig` to the process (pid, start) when it is alive: through a pidfd, so that no other process that takes the
// pid in between is signalled. false when it has ended.
bool signalProcess(pid_t pid, unsigned long long start, int sig);

// A process created by the stand-in (or one that recorded itself).
struct Entry {
  pid_t pid = 0;
  unsigned long long start = 0;
  pid_t parent = 0;
  DWORD session = 0;
  std::string image;   // Windows path of the program, or its host path when it lies under no drive
  std::string console; // "none", or the process group id of its console
  std::vector<std::string> jobs; // the jobs it is in (job.cpp), so that what it creates joins them too
};
// A new process's entry, written by its creator before the process runs.
bool writeEntry(const Entry &e);
// Changes the entry of a live process under the table's lock, so that two writers of one entry (the process
// publishing its console or session, a job's owner adding it) lose neither change. `change` gets the entry and
// whether it existed (`e` then holds pid and start only) and returns whether to store it. false when the process
// has ended or the entry could not be stored.
bool updateEntry(pid_t pid, const std::function<bool(Entry &e, bool exists)> &change);
// Takes away the entry of a process whose creation failed after it had started.
void removeEntry(pid_t pid);
// The entry as recorded, whether or not its process still runs.
bool readRecordedEntry(pid_t pid, Entry *e);
// The entry of a process that is alive at its recorded start; false for an unknown or ended process.
bool readEntry(pid_t pid, Entry *e);
// Live entries (for snapshots); entries of reaped processes are removed on the way.
std::vector<Entry> liveEntries();

// Whether the process (pid, start) belongs to this machine root: an entry, or WIN32_ROOT in its environment. A fact,
// not a liveness answer: callers ask aliveAt afterwards.
bool belongsToMachine(pid_t pid, unsigned long long start);
// The same for the live process with this pid.
bool belongsToMachine(pid_t pid);

// Exit codes, kept per pid and start time, written under one lock (exits/.lock) that also covers the signal a
// terminator ends a process with: so the code a process ends with is the one on record, whoever ends it.
bool readExit(pid_t pid, unsigned long long start, DWORD *code);
// This process is ending with `code`: records it, unless a terminator recorded its code first; returns the code to
// end with (the low byte is what the parent's wait sees).
DWORD recordOwnExit(DWORD code);
// Records `code` for the process (pid, start) and kills it, both while it is alive and under the lock; false when
// it has ended or is ending with a code of its own.
bool terminateWithCode(pid_t pid, unsigned long long start, DWORD code);
// The creator's reaper, before it reaps: records the code it found when the process left none (killed by a signal).
void recordExitIfNone(pid_t pid, unsigned long long start, DWORD code);

// Session and console of a live process of this machine (own process included). false when it is not one.
bool sessionOf(pid_t pid, DWORD *session);

// Processes this process holds handles to, in <root>/kernel/held/<pid>.<start>: another process may open one of them
// after it has ended, as long as some holder lives (the process object lives until its last handle closes).
struct HeldProcess {
  pid_t pid = 0;
  unsigned long long start = 0;
  DWORD session = 0;
  Account account;
  std::string image;
};
// Replaces this process's record (removes it when `held` is empty).
void writeHeld(const std::vector<HeldProcess> &held);
// The latest-started process with this pid that a live process of the machine holds a handle to.
bool findHeld(pid_t pid, HeldProcess *found);

} // namespace proc
} // namespace emu
