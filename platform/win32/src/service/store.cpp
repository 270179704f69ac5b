#include "service/store.h"

#include "emu/emu.h"
#include "emu/hold.h"
#include "process/proctable.h"
#include "service/wire.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {
namespace scmstore {

namespace {

std::string lower(const std::string &s) {
  std::string out = s;
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string escape(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string unescape(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parseKeyValues(const std::string &text) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    out.emplace_back(line.substr(0, eq), unescape(line.substr(eq + 1)));
  }
  return out;
}

DWORD toDword(const std::string &s) { return static_cast<DWORD>(std::strtoul(s.c_str(), nullptr, 10)); }

} // namespace

std::string scmRoot() { return machineRoot() + "/scm"; }

bool validServiceName(const std::string &name) {
  if (name.empty() || name.size() > 256 || name == "." || name == "..") return false;
  for (char c : name)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

std::string folderOf(const std::string &name) { return scmRoot() + "/" + lower(name); }

void makeDirs(const std::string &path) {
  std::string partial;
  for (size_t i = 0; i < path.size(); ++i) {
    partial += path[i];
    if ((path[i] == '/' && i > 0) || i + 1 == path.size()) ::mkdir(partial.c_str(), 0777);
  }
}

bool writeFileAtomic(const std::string &path, const std::string &contents) {
  chaosPoint("scm.write");
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == contents.size();
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

std::string readWholeFile(const std::string &path) {
  chaosPoint("scm.read");
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

bool readRun(const std::string &folder, RunInfo *run) {
  std::string text = readWholeFile(folder + "/run");
  if (text.empty()) return false;
  RunInfo r;
  for (const auto &kv : parseKeyValues(text)) {
    if (kv.first == "active") r.active = kv.second == "1";
    else if (kv.first == "controller") r.controller = static_cast<pid_t>(std::atol(kv.second.c_str()));
    else if (kv.first == "pid") r.pid = toDword(kv.second);
    else if (kv.first == "ended") r.ended = kv.second == "1";
    else if (kv.first == "died") r.died = kv.second == "1";
    else if (kv.first == "exit") r.exitCode = toDword(kv.second);
  }
  *run = r;
  return true;
}

bool writeRun(const std::string &folder, const RunInfo &r) {
  std::ostringstream out;
  out << "active=" << (r.active ? 1 : 0) << "\ncontroller=" << r.controller << "\npid=" << r.pid
      << "\nended=" << (r.ended ? 1 : 0) << "\ndied=" << (r.died ? 1 : 0) << "\nexit=" << r.exitCode << "\n";
  return writeFileAtomic(folder + "/run", out.str());
}

bool appendHistory(const std::string &folder, const scm::StatusRecord &rec) {
  const SERVICE_STATUS &s = rec.status;
  char line[160];
  int n = std::snprintf(line, sizeof(line), "%c %u %u %u %u %u %u %u\n", rec.bySystem ? 'M' : 'S',
                        s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                        s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
  int fd = ::open((folder + "/status").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = ::write(fd, line, static_cast<size_t>(n)) == n; // one write of one line: readers never see half
  ::close(fd);
  return ok;
}

void clearHistory(const std::string &folder) { writeFileAtomic(folder + "/status", ""); }

std::vector<scm::StatusRecord> readHistory(const std::string &folder) {
  std::vector<scm::StatusRecord> out;
  std::istringstream in(readWholeFile(folder + "/status"));
  for (std::string line; std::getline(in, line);) {
    scm::StatusRecord rec;
    char origin = 0;
    SERVICE_STATUS &s = rec.status;
    if (std::sscanf(line.c_str(), "%c %u %u %u %u %u %u %u", &origin, &s.dwServiceType, &s.dwCurrentState,
                    &s.dwControlsAccepted, &s.dwWin32ExitCode, &s.dwServiceSpecificExitCode, &s.dwCheckPoint,
                    &s.dwWaitHint) != 8)
      continue;
    rec.bySystem = origin == 'M';
    out.push_back(rec);
  }
  return out;
}

bool readConfigFile(const std::string &folder, scm::ServiceConfig *config) {
  std::string text = readWholeFile(folder + "/config");
  if (text.empty()) return false;
  scm::ServiceConfig c;
  for (const auto &kv : parseKeyValues(text)) {
    if (kv.first == "name") c.name = kv.second;
    else if (kv.first == "display") c.displayName = kv.second;
    else if (kv.first == "binpath") c.binaryPath = kv.second;
    else if (kv.first == "type") c.serviceType = toDword(kv.second);
    else if (kv.first == "start") c.startType = toDword(kv.second);
    else if (kv.first == "error") c.errorControl = toDword(kv.second);
    else if (kv.first == "account") c.account = kv.second;
    else if (kv.first == "description") c.description = kv.second;
    else if (kv.first == "deleted") c.markedForDelete = kv.second == "1";
  }
  if (c.name.empty()) return false;
  *config = c;
  return true;
}

bool writeConfigFile(const std::string &folder, const scm::ServiceConfig &c) {
  std::ostringstream out;
  out << "name=" << escape(c.name) << "\ndisplay=" << escape(c.displayName) << "\nbinpath=" << escape(c.binaryPath)
      << "\ntype=" << c.serviceType << "\nstart=" << c.startType << "\nerror=" << c.errorControl
      << "\naccount=" << escape(c.account) << "\ndescription=" << escape(c.description)
      << "\ndeleted=" << (c.markedForDelete ? 1 : 0) << "\n";
  return writeFileAtomic(folder + "/config", out.str());
}

namespace {

void removeFilesIn(const std::string &folder) {
  if (DIR *d = ::opendir(folder.c_str())) {
    while (dirent *e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") ::unlink((folder + "/" + n).c_str());
    }
    ::closedir(d);
  }
}

} // namespace

void removeEntry(const std::string &folder) {
  removeFilesIn(folder + "/handles");
  ::rmdir((folder + "/handles").c_str());
  removeFilesIn(folder);
  ::rmdir(folder.c_str());
}

void noteHandlesOpen(const std::string &folder, bool open) {
  std::string dir = folder + "/handles";
  std::string file = dir + "/" + std::to_string(::getpid());
  if (open) {
    ::mkdir(dir.c_str(), 0777);
    writeFileAtomic(file, std::to_string(proc::startTimeOf(::getpid())) + "\n"); // with the pid, names this process
  } else {
    ::unlink(file.c_str());
  }
}

bool handlesOpenElsewhere(const std::string &folder, bool countOwnProcess) {
  std::string dir = folder + "/handles";
  bool open = false;
  if (DIR *d = ::opendir(dir.c_str())) {
    while (dirent *e = ::readdir(d)) {
      char *end = nullptr;
      long pid = std::strtol(e->d_name, &end, 10);
      if (pid <= 0 || *end) continue;
      if (pid == ::getpid() && !countOwnProcess) continue;
      // The holder runs: one read of its stat at its recorded start. An ended holder (even one not yet reaped) or
      // one whose pid another process has taken since holds nothing.
      const unsigned long long start = std::strtoull(readWholeFile(dir + "/" + e->d_name).c_str(), nullptr, 10);
      if (proc::aliveAt(static_cast<pid_t>(pid), start)) open = true;
      else ::unlink((dir + "/" + e->d_name).c_str()); // its process ended without closing them
    }
    ::closedir(d);
  }
  return open;
}

DatabaseLock::DatabaseLock() {
  makeDirs(scmRoot());
  fd_ = ::open((scmRoot() + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

DatabaseLock::~DatabaseLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool controllerAlive(const std::string &folder) {
  int fd = scmwire::connectTo(scmwire::socketName(folder, "ctl"));
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool askController(const std::string &folder, DWORD *pid, SERVICE_STATUS *status) {
  constexpr int kAnswerWaitMs = 30000; // the controller answers from its loop at once; this is for a loaded machine
  const int fd = scmwire::connectTo(scmwire::socketName(folder, "ctl"));
  if (fd < 0) return false;
  std::string answer;
  const bool answered = scmwire::transact(fd, scmwire::Ping, std::string(), scmwire::Pong, &answer, kAnswerWaitMs);
  ::close(fd);
  if (!answered) return false;
  scmwire::Reader r(answer);
  *pid = r.u32();
  *status = r.status();
  return r.ok;
}

} // namespace scmstore
} // namespace emu
