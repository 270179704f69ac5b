// Process snapshots: the live processes of this machine root, in creation order.
#include "process/process_internal.h"
#include "process/proctable.h"

#include "emu/process.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <unistd.h>

namespace emu {

namespace {

std::string lastComponent(const std::string &path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string exeOf(pid_t pid) {
  char path[PATH_MAX];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

} // namespace

namespace {

struct Found {
  unsigned long long start;
  ProcessRecord record;
};

// Live processes of the machine with their start times. A process is listed with all its facts or not at all: those
// found outside the table are confirmed alive after their facts were read.
std::vector<Found> findProcesses() {
  std::vector<Found> found;
  std::set<pid_t> seen;
  for (const auto &e : proc::liveEntries()) {
    ProcessRecord r;
    r.pid = static_cast<DWORD>(e.pid);
    r.parentPid = static_cast<DWORD>(e.parent);
    r.sessionId = e.session;
    r.imagePath = e.image;
    r.exeName = lastComponent(e.image);
    found.push_back({e.start, r});
    seen.insert(e.pid);
  }
  for (pid_t pid : proc::allPids()) {
    proc::ProcStat s;
    if (seen.count(pid) || !proc::readStat(pid, &s) || s.ended() || !proc::belongsToMachine(pid, s.start)) continue;
    ProcessRecord r;
    r.pid = static_cast<DWORD>(pid);
    r.parentPid = static_cast<DWORD>(s.parent);
    const std::string exe = exeOf(pid);
    if (!proc::sessionOf(pid, &r.sessionId) || exe.empty() || !proc::aliveAt(pid, s.start)) continue;
    r.imagePath = windowsPath(exe);
    r.exeName = lastComponent(r.imagePath);
    found.push_back({s.start, r});
  }
  std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
    return a.start != b.start ? a.start < b.start : a.record.pid < b.record.pid;
  });
  return found;
}

} // namespace

std::vector<ProcessRecord> listProcesses() {
  std::vector<ProcessRecord> out;
  for (auto &f : findProcesses()) out.push_back(std::move(f.record));
  return out;
}

namespace {

struct SnapshotObject : KernelObject {
  std::vector<PROCESSENTRY32W> processes;
  size_t next = 0;
  const char *typeName() const override { return "Snapshot"; }
};

BOOL copyEntry(HANDLE h, LPPROCESSENTRY32W entry, bool first) {
  auto snap = lookupHandleAs<SnapshotObject>(h);
  if (!snap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!entry || entry->dwSize < sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (first) snap->next = 0;
  if (snap->next >= snap->processes.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const DWORD size = entry->dwSize;
  *entry = snap->processes[snap->next++];
  entry->dwSize = size;
  return TRUE;
}

} // namespace

} // namespace emu

extern "C" HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) {
  EMU_FAIL_POINT("CreateToolhelp32Snapshot", INVALID_HANDLE_VALUE);
  auto snap = std::make_shared<emu::SnapshotObject>();
  if (dwFlags & TH32CS_SNAPPROCESS) {
    for (const auto &f : emu::findProcesses()) {
      const emu::ProcessRecord &r = f.record;
      emu::proc::ProcStat s; // its threads, from a read that also confirms it is the process found
      if (!emu::proc::readStat(static_cast<pid_t>(r.pid), &s) || s.ended() || s.start != f.start) continue;
      PROCESSENTRY32W pe;
      std::memset(&pe, 0, sizeof(pe));
      pe.dwSize = sizeof(pe);
      pe.th32ProcessID = r.pid;
      pe.th32ParentProcessID = r.parentPid;
      pe.cntThreads = s.threads;
      pe.pcPriClassBase = 8;
      std::u16string name = emu::toUtf16(r.exeName);
      if (name.size() >= MAX_PATH) name.resize(MAX_PATH - 1);
      std::memcpy(pe.szExeFile, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
      snap->processes.push_back(pe);
    }
  }
  return emu::insertHandle(snap);
}

extern "C" BOOL WINAPI Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
  EMU_FAIL_POINT("Process32FirstW", FALSE);
  return emu::copyEntry(hSnapshot, lppe, true);
}

extern "C" BOOL WINAPI Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
  EMU_FAIL_POINT("Process32NextW", FALSE);
  return emu::copyEntry(hSnapshot, lppe, false);
}
