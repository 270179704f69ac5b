// Machine-wide process state under <root>/kernel: the process table, recorded exit codes and the console session.
#pragma once

#include <windows.h>

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

// Start time of a live (or zombie) process in clock ticks since boot; 0 when there is no such process. Together
// with the pid it names one process even when pids are reused.
unsigned long long startTimeOf(pid_t pid);
bool isZombie(pid_t pid);
pid_t parentOf(pid_t pid);
pid_t groupOf(pid_t pid);
// Every pid in /proc.
std::vector<pid_t> allPids();
unsigned threadCountOf(pid_t pid);
// A variable of the initial environment of another process.
bool environOf(pid_t pid, const std::string &name, std::string *value);

// A process created by the stand-in (or one that recorded itself).
struct Entry {
  pid_t pid = 0;
  unsigned long long start = 0;
  pid_t parent = 0;
  DWORD session = 0;
  std::string image;   // Windows path of the program, or its host path when it lies under no drive
  std::string console; // "none", or the process group id of its console
  bool breakaway = false; // created with CREATE_BREAKAWAY_FROM_JOB: not part of its creator's jobs
  bool inJob = false;      // in a job, its own or its creator's
  bool breakawayOk = false; // ... and every such job allows breakaway
};
// A new process's entry, written by its creator before the process runs.
bool writeEntry(const Entry &e);
// Changes the entry of a live process under the table's lock, so that two writers of one entry (the process
// publishing its console or session, a job's owner its limits) lose neither change. `change` gets the entry and
// whether it existed (`e` then holds pid and start only) and returns whether to store it. false when the process
// has ended or the entry could not be stored.
bool updateEntry(pid_t pid, const std::function<bool(Entry &e, bool exists)> &change);
// Takes away the entry of a process whose creation failed after it had started.
void removeEntry(pid_t pid);
// The entry of a live process (start time checked); false for an unknown or ended process.
bool readEntry(pid_t pid, Entry *e);
// Live entries (for snapshots); entries of ended processes are removed on the way.
std::vector<Entry> liveEntries();

// Whether a live process belongs to this machine root: an entry, or WIN32_ROOT in its environment.
bool belongsToMachine(pid_t pid);

// Exit codes, kept per pid and start time.
void recordExit(pid_t pid, unsigned long long start, DWORD code);
bool readExit(pid_t pid, unsigned long long start, DWORD *code);

// Session and console of a live process of this machine (own process included). false when it is not one.
bool sessionOf(pid_t pid, DWORD *session);

} // namespace proc
} // namespace emu
