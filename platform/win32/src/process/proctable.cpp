// The process table and exit records under the machine root, and what /proc tells about other processes.
#include "process/proctable.h"

#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {
namespace proc {

namespace {

void makeDirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
  }
}

// Fields of /proc/<pid>/stat after the command name; field 3 (state) is index 0.
bool statFields(pid_t pid, std::vector<std::string> *fields) {
  std::string text;
  if (!readWholeFile("/proc/" + std::to_string(pid) + "/stat", &text)) return false;
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream in(text.substr(close + 1));
  fields->clear();
  for (std::string f; in >> f;) fields->push_back(f);
  return fields->size() > 19;
}

std::string trimSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string entryPath(pid_t pid) { return kernelDir("processes") + "/" + std::to_string(pid); }
std::string exitPath(pid_t pid) { return kernelDir("exits") + "/" + std::to_string(pid); }

// The process table's writer lock, held for the object's lifetime (flock: dropped when its holder dies).
class TableLock {
public:
  TableLock() : fd_(open((kernelDir("processes") + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~TableLock() {
    if (fd_ >= 0) close(fd_);
  }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;

private:
  int fd_;
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
    } else if (key == "breakaway") {
      e->breakaway = value == "1";
    } else if (key == "job") {
      e->inJob = true;
      e->breakawayOk = value == "breakaway-ok";
    }
  }
  return havePid;
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

unsigned long long startTimeOf(pid_t pid) {
  std::vector<std::string> f;
  if (pid <= 0 || !statFields(pid, &f)) return 0;
  return std::strtoull(f[19].c_str(), nullptr, 10);
}

bool isZombie(pid_t pid) {
  std::vector<std::string> f;
  return statFields(pid, &f) && (f[0] == "Z" || f[0] == "X");
}

pid_t parentOf(pid_t pid) {
  std::vector<std::string> f;
  return statFields(pid, &f) ? static_cast<pid_t>(std::strtol(f[1].c_str(), nullptr, 10)) : 0;
}

pid_t groupOf(pid_t pid) {
  std::vector<std::string> f;
  return statFields(pid, &f) ? static_cast<pid_t>(std::strtol(f[2].c_str(), nullptr, 10)) : 0;
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

unsigned threadCountOf(pid_t pid) {
  std::vector<std::string> f;
  return statFields(pid, &f) ? static_cast<unsigned>(std::strtoul(f[17].c_str(), nullptr, 10)) : 0;
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

namespace {

// With the table's lock held.
bool storeEntry(const Entry &e) {
  chaosPoint("proctable.write");
  std::ostringstream out;
  out << "pid=" << e.pid << "\nstart=" << e.start << "\nparent=" << e.parent << "\nsession=" << e.session
      << "\nimage=" << e.image << "\nconsole=" << e.console << "\n";
  if (e.breakaway) out << "breakaway=1\n";
  if (e.inJob) out << "job=" << (e.breakawayOk ? "breakaway-ok" : "contained") << "\n";
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
    e.start = startTimeOf(pid);
    if (e.start == 0 || isZombie(pid)) return false;
  }
  if (!change(e, exists)) return true;
  return storeEntry(e);
}

void removeEntry(pid_t pid) {
  TableLock lock;
  unlink(entryPath(pid).c_str());
}

bool readEntry(pid_t pid, Entry *e) {
  chaosPoint("proctable.read");
  std::string text;
  if (pid <= 0 || !readWholeFile(entryPath(pid), &text)) return false;
  Entry parsed;
  if (!parseEntry(text, &parsed) || parsed.pid != pid) return false;
  if (parsed.start == 0 || parsed.start != startTimeOf(pid)) return false;
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
    if (readEntry(static_cast<pid_t>(pid), &e)) {
      if (!isZombie(e.pid)) out.push_back(e);
    } else {
      stale.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(d);
  if (!stale.empty()) {
    TableLock lock; // so a new entry of a pid just taken again is not the one removed
    for (pid_t pid : stale) {
      if (startTimeOf(pid) == 0) unlink(entryPath(pid).c_str()); // ended
    }
  }
  return out;
}

bool belongsToMachine(pid_t pid) {
  if (pid == getpid()) return true;
  Entry e;
  if (readEntry(pid, &e)) return true;
  std::string root;
  return environOf(pid, "WIN32_ROOT", &root) && !root.empty() && trimSlashes(root) == trimSlashes(machineRoot());
}

void recordExit(pid_t pid, unsigned long long start, DWORD code) {
  chaosPoint("proctable.exit");
  writeFileAtomic(exitPath(pid), std::to_string(start) + " " + std::to_string(code) + "\n");
}

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

bool sessionOf(pid_t pid, DWORD *session) {
  if (pid == getpid()) {
    *session = currentSessionId();
    return true;
  }
  if (startTimeOf(pid) == 0 || isZombie(pid)) return false;
  Entry e;
  if (readEntry(pid, &e)) {
    *session = e.session;
    return true;
  }
  if (!belongsToMachine(pid)) return false;
  std::string value;
  *session = environOf(pid, "WIN32_SESSION_ID", &value) ? static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0)) : 1;
  return true;
}

} // namespace proc
} // namespace emu
