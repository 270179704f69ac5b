// The process table, exit records and held-handle records under the machine root, and what /proc tells about other
// processes. Whether a process runs is always decided from one read of its stat (aliveAt), after any other fact
// about it has been read.
#include "process/proctable.h"

#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace emu {
namespace proc {

namespace {

void makeDirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
  }
}

std::string trimSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string entryPath(pid_t pid) { return kernelDir("processes") + "/" + std::to_string(pid); }
std::string exitPath(pid_t pid) { return kernelDir("exits") + "/" + std::to_string(pid); }

// An exclusive flock on a lock file, held for the object's lifetime (dropped when its holder dies).
class FileLock {
public:
  explicit FileLock(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

private:
  int fd_;
};

// The process table's writer lock.
struct TableLock : FileLock {
  TableLock() : FileLock(kernelDir("processes") + "/.lock") {}
};
// The lock of exit records and of the signals that end a process with a recorded code.
struct ExitLock : FileLock {
  ExitLock() : FileLock(kernelDir("exits") + "/.lock") {}
};

bool parseEntry(const std::string &text, Entry *e) {
  std::istringstream in(text);
  bool havePid = false;
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "pid") {
      e->pid = static_cast<pid_t>(std::strtol(value.c_str(), nullptr, 10));
      havePid = true;
    } else if (key == "start") {
      e->start = std::strtoull(value.c_str(), nullptr, 10);
    } else if (key == "parent") {
      e->parent = static_cast<pid_t>(std::strtol(value.c_str(), nullptr, 10));
    } else if (key == "session") {
      e->session = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (key == "image") {
      e->image = value;
    } else if (key == "console") {
      e->console = value;
    } else if (key == "jobs") {
      std::istringstream ids(value);
      for (std::string id; std::getline(ids, id, ',');) {
        if (!id.empty()) e->jobs.push_back(id);
      }
    }
  }
  return havePid;
}

unsigned long long selfStart() {
  static const unsigned long long start = startTimeOf(getpid());
  return start;
}

} // namespace

std::string kernelDir(const std::string &sub) {
  std::string dir = machineRoot() + "/kernel";
  if (!sub.empty()) dir += "/" + sub;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) makeDirs(dir);
  return dir;
}

bool writeFileAtomic(const std::string &path, const std::string &contents) {
  std::string temp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(GetCurrentThreadId());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == contents.size();
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

bool readWholeFile(const std::string &path, std::string *contents) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  contents->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    contents->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool readStat(pid_t pid, ProcStat *s) {
  std::string text;
  if (pid <= 0 || !readWholeFile("/proc/" + std::to_string(pid) + "/stat", &text)) return false;
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  // Fields after the command name: field 3 (state) is index 0.
  std::istringstream in(text.substr(close + 1));
  std::vector<std::string> f;
  for (std::string field; in >> field;) f.push_back(field);
  if (f.size() <= 19 || f[0].empty()) return false;
  ProcStat r;
  r.state = f[0][0];
  r.parent = static_cast<pid_t>(std::strtol(f[1].c_str(), nullptr, 10));
  r.group = static_cast<pid_t>(std::strtol(f[2].c_str(), nullptr, 10));
  r.threads = static_cast<unsigned>(std::strtoul(f[17].c_str(), nullptr, 10));
  r.start = std::strtoull(f[19].c_str(), nullptr, 10);
  if (f.size() > 49) r.waitStatus = static_cast<int>(std::strtol(f[49].c_str(), nullptr, 10)); // field 52
  *s = r;
  return true;
}

bool aliveAt(pid_t pid, unsigned long long start) {
  ProcStat s;
  return start != 0 && readStat(pid, &s) && !s.ended() && s.start == start;
}

unsigned long long liveStartOf(pid_t pid) {
  ProcStat s;
  return readStat(pid, &s) && !s.ended() ? s.start : 0;
}

unsigned long long startTimeOf(pid_t pid) {
  ProcStat s;
  return readStat(pid, &s) ? s.start : 0;
}

bool isZombie(pid_t pid) {
  ProcStat s;
  return readStat(pid, &s) && s.ended();
}

std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  if (DIR *d = opendir("/proc")) {
    while (dirent *e = readdir(d)) {
      char *end = nullptr;
      long pid = std::strtol(e->d_name, &end, 10);
      if (pid > 0 && end && !*end) pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
  }
  return pids;
}

bool environOf(pid_t pid, const std::string &name, std::string *value) {
  std::string env;
  if (!readWholeFile("/proc/" + std::to_string(pid) + "/environ", &env)) return false;
  const std::string prefix = name + "=";
  size_t pos = 0;
  while (pos < env.size()) {
    size_t end = env.find('\0', pos);
    if (end == std::string::npos) end = env.size();
    if (env.compare(pos, prefix.size(), prefix) == 0) {
      *value = env.substr(pos + prefix.size(), end - pos - prefix.size());
      return true;
    }
    pos = end + 1;
  }
  return false;
}

bool signalProcess(pid_t pid, unsigned long long start, int sig) {
  // The pidfd names the process that has the pid now; once its start is confirmed, the signal goes to it alone.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    if (errno != ENOSYS) {
      errno = ESRCH;
      return false;
    }
    if (!aliveAt(pid, start)) { // no pidfds: a pid taken again right now is the one risk left
      errno = ESRCH;
      return false;
    }
    return ::kill(pid, sig) == 0;
  }
  bool sent = false;
  if (!aliveAt(pid, start)) {
    errno = ESRCH;
  } else {
    sent = ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0;
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return sent;
}

namespace {

// With the table's lock held.
bool storeEntry(const Entry &e) {
  chaosPoint("proctable.write");
  std::ostringstream out;
  out << "pid=" << e.pid << "\nstart=" << e.start << "\nparent=" << e.parent << "\nsession=" << e.session
      << "\nimage=" << e.image << "\nconsole=" << e.console << "\n";
  if (!e.jobs.empty()) {
    out << "jobs=";
    for (size_t i = 0; i < e.jobs.size(); ++i) out << (i ? "," : "") << e.jobs[i];
    out << "\n";
  }
  return writeFileAtomic(entryPath(e.pid), out.str());
}

} // namespace

bool writeEntry(const Entry &e) {
  TableLock lock;
  return storeEntry(e);
}

bool updateEntry(pid_t pid, const std::function<bool(Entry &e, bool exists)> &change) {
  TableLock lock;
  Entry e;
  const bool exists = readEntry(pid, &e);
  holdPoint("ProcessEntry", std::to_string(pid));
  if (!exists) {
    e = Entry();
    e.pid = pid;
    e.start = liveStartOf(pid);
    if (e.start == 0) return false;
  }
  if (!change(e, exists)) return true;
  return storeEntry(e);
}

void removeEntry(pid_t pid) {
  TableLock lock;
  unlink(entryPath(pid).c_str());
}

bool readRecordedEntry(pid_t pid, Entry *e) {
  chaosPoint("proctable.read");
  std::string text;
  if (pid <= 0 || !readWholeFile(entryPath(pid), &text)) return false;
  Entry parsed;
  if (!parseEntry(text, &parsed) || parsed.pid != pid || parsed.start == 0) return false;
  *e = parsed;
  return true;
}

bool readEntry(pid_t pid, Entry *e) {
  Entry parsed;
  if (!readRecordedEntry(pid, &parsed) || !aliveAt(pid, parsed.start)) return false;
  *e = parsed;
  return true;
}

std::vector<Entry> liveEntries() {
  std::vector<Entry> out;
  const std::string dir = kernelDir("processes");
  DIR *d = opendir(dir.c_str());
  if (!d) return out;
  std::vector<pid_t> stale;
  while (dirent *de = readdir(d)) {
    char *end = nullptr;
    long pid = std::strtol(de->d_name, &end, 10);
    if (pid <= 0 || !end || *end) continue;
    Entry e;
    if (!readRecordedEntry(static_cast<pid_t>(pid), &e)) continue;
    holdPoint("ProcessListed", std::to_string(pid)); // the entry is read; whether its process runs is not
    if (aliveAt(e.pid, e.start)) {
      out.push_back(e);
    } else {
      stale.push_back(e.pid);
    }
  }
  closedir(d);
  if (!stale.empty()) {
    TableLock lock; // so a new entry of a pid just taken again is not the one removed
    for (pid_t pid : stale) {
      Entry e;
      ProcStat s;
      // Reaped, or the pid is another process's now; an ended process not yet reaped keeps its entry.
      if (readRecordedEntry(pid, &e) && (!readStat(pid, &s) || s.start != e.start)) unlink(entryPath(pid).c_str());
    }
  }
  return out;
}

bool belongsToMachine(pid_t pid, unsigned long long start) {
  if (pid == getpid()) return true;
  Entry e;
  if (readRecordedEntry(pid, &e) && e.start == start) return true;
  std::string root;
  return environOf(pid, "WIN32_ROOT", &root) && !root.empty() && trimSlashes(root) == trimSlashes(machineRoot());
}

bool belongsToMachine(pid_t pid) {
  if (pid == getpid()) return true;
  const unsigned long long start = liveStartOf(pid);
  return start != 0 && belongsToMachine(pid, start) && aliveAt(pid, start);
}

// --- exit records ----------------------------------------------------------------------------------

bool readExit(pid_t pid, unsigned long long start, DWORD *code) {
  chaosPoint("proctable.exit");
  std::string text;
  if (!readWholeFile(exitPath(pid), &text)) return false;
  unsigned long long recordedStart = 0;
  unsigned long value = 0;
  if (std::sscanf(text.c_str(), "%llu %lu", &recordedStart, &value) != 2) return false;
  if (start != 0 && recordedStart != start) return false;
  *code = static_cast<DWORD>(value);
  return true;
}

namespace {

bool writeExit(pid_t pid, unsigned long long start, DWORD code) {
  chaosPoint("proctable.exit");
  return writeFileAtomic(exitPath(pid), std::to_string(start) + " " + std::to_string(code) + "\n");
}

} // namespace

DWORD recordOwnExit(DWORD code) {
  const pid_t self = getpid();
  const unsigned long long start = selfStart();
  ExitLock lock;
  DWORD recorded = 0;
  if (start != 0 && readExit(self, start, &recorded)) return recorded; // a terminator came first
  writeExit(self, start, code);
  return code;
}

bool terminateWithCode(pid_t pid, unsigned long long start, DWORD code) {
  ExitLock lock;
  DWORD recorded = 0;
  // Alive and not ending by itself (an own exit records its code under this lock before the process ends).
  if (!aliveAt(pid, start) || readExit(pid, start, &recorded)) return false;
  holdPoint("TerminateProcess", std::to_string(pid));
  if (!writeExit(pid, start, code)) return false;
  if (signalProcess(pid, start, SIGKILL) || errno == ESRCH) return true; // ended by another signal: the code stands
  unlink(exitPath(pid).c_str());
  return false;
}

void recordExitIfNone(pid_t pid, unsigned long long start, DWORD code) {
  struct stat root;
  if (stat(machineRoot().c_str(), &root) != 0) return; // a machine thrown away is not made again for this
  ExitLock lock;
  DWORD recorded = 0;
  if (!readExit(pid, start, &recorded)) writeExit(pid, start, code);
}

bool sessionOf(pid_t pid, DWORD *session) {
  if (pid == getpid()) {
    *session = currentSessionId();
    return true;
  }
  ProcStat s;
  if (!readStat(pid, &s) || s.ended()) return false;
  DWORD found = 1;
  Entry e;
  if (readRecordedEntry(pid, &e) && e.start == s.start) {
    found = e.session;
  } else {
    if (!belongsToMachine(pid, s.start)) return false;
    std::string value;
    if (environOf(pid, "WIN32_SESSION_ID", &value)) found = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0));
  }
  if (!aliveAt(pid, s.start)) return false; // ended while its facts were read
  *session = found;
  return true;
}

// --- held handles ------------------------------------------------------------------------------------

namespace {

std::string heldDir() { return kernelDir("held"); }

std::string heldLine(const HeldProcess &h) {
  std::ostringstream out;
  out << h.pid << " " << h.start << " " << h.session << " " << (h.account.administrator ? 1 : 0) << " "
      << (h.account.elevated ? 1 : 0) << " " << h.account.userSid << " " << h.image << "\n";
  return out.str();
}

bool parseHeld(const std::string &line, HeldProcess *h) {
  std::istringstream in(line);
  int admin = 0, elevated = 0;
  if (!(in >> h->pid >> h->start >> h->session >> admin >> elevated >> h->account.userSid)) return false;
  h->account.administrator = admin != 0;
  h->account.elevated = elevated != 0;
  in.get(); // the blank before the image, which may hold blanks of its own
  std::getline(in, h->image);
  return true;
}

} // namespace

void writeHeld(const std::vector<HeldProcess> &held) {
  chaosPoint("proctable.held");
  struct stat root;
  if (stat(machineRoot().c_str(), &root) != 0) return; // a machine thrown away is not made again for this
  const std::string path = heldDir() + "/" + std::to_string(getpid()) + "." + std::to_string(selfStart());
  if (held.empty()) {
    unlink(path.c_str());
    return;
  }
  std::string text;
  for (const auto &h : held) text += heldLine(h);
  writeFileAtomic(path, text);
}

bool findHeld(pid_t pid, HeldProcess *found) {
  chaosPoint("proctable.held");
  const std::string dir = heldDir();
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  bool any = false;
  while (dirent *de = readdir(d)) {
    unsigned long holder = 0;
    unsigned long long holderStart = 0;
    char rest = 0;
    if (std::sscanf(de->d_name, "%lu.%llu%c", &holder, &holderStart, &rest) != 2) continue;
    const std::string path = dir + "/" + de->d_name;
    std::string text;
    if (!readWholeFile(path, &text)) continue;
    // A holder that has ended holds nothing any more (its name has its start: never another process's record).
    if (static_cast<pid_t>(holder) != getpid() && !aliveAt(static_cast<pid_t>(holder), holderStart)) {
      unlink(path.c_str());
      continue;
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      HeldProcess h;
      if (!parseHeld(line, &h) || h.pid != pid || (any && h.start <= found->start)) continue;
      *found = h;
      any = true;
    }
  }
  closedir(d);
  return any;
}

} // namespace proc
} // namespace emu
