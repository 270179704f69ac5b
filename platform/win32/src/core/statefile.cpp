// Whole-file state of an area: read lock-free, replaced by rename under an flock'd writer lock.
#include "core/statefile.h"

#include "emu/emu.h"
#include "emu/hold.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace emu {

namespace {

std::string fullPath(const std::string &relative) { return machineRoot() + "/" + relative; }

void makeParent(const std::string &path) {
  for (size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
}

bool readFd(int fd, std::string *out) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

bool writeFd(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

bool readStateFile(const std::string &relative, std::string *bytes) {
  chaosPoint("state.read");
  bytes->clear();
  int fd = ::open(fullPath(relative).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = readFd(fd, bytes);
  ::close(fd);
  return ok;
}

DWORD updateStateFile(const std::string &relative,
                      const std::function<DWORD(std::string &bytes, bool exists, bool &changed)> &change) {
  const std::string path = fullPath(relative);
  makeParent(path);
  int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0) return ERROR_CANTOPEN;
  while (::flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(lock);
      return ERROR_CANTOPEN;
    }
  }
  std::string bytes;
  const bool exists = readStateFile(relative, &bytes);
  bool changed = false;
  DWORD rc = change(bytes, exists, changed);
  if (rc == 0 && changed) {
    chaosPoint("state.write");
    const std::string tmp = path + "." + std::to_string(getpid()) + "." +
                            std::to_string(static_cast<long>(syscall(SYS_gettid))) + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && writeFd(fd, bytes);
    if (fd >= 0) ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
      ::unlink(tmp.c_str());
      rc = ERROR_CANTWRITE;
    }
  }
  ::close(lock); // releases the flock
  return rc;
}

} // namespace emu
