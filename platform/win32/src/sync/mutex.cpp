// Mutexes: owned by a thread, recursive, abandoned when the owner ends without releasing.
//
// A named mutex is shared between the processes of a session through a file under the root,
// <root>/kernel/named/<namespace>/<name>.mutex, with open-file-description locks on it:
//  - byte 0, read lock: held by every process with an open handle (the object exists while one is held);
//  - byte 1, write lock: held by the process whose thread owns the mutex.
// The owner writes a mark into the file and clears it on release. Whoever takes the lock and finds a mark knows the
// previous owner ended without releasing: the mutex was abandoned. The kernel drops the locks of a dead process.
#include "sync/waitable.h"
#include "sync/named.h"

#include "emu/hold.h"
#include "emu/session.h"
#include "process/proctable.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace emu {
namespace sync {

bool lockByte(int fd, short type, off_t byte, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

DWORD objectPath(const std::u16string &name, const char *kind, std::string *path) {
  if (name.size() > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  std::u16string rest = name;
  std::string space = "session-" + std::to_string(emu::currentSessionId());
  auto strip = [&rest](const std::u16string &prefix) {
    if (rest.compare(0, prefix.size(), prefix) != 0) return false;
    rest.erase(0, prefix.size());
    return true;
  };
  if (strip(u"Global\\")) {
    space = "global";
  } else {
    strip(u"Local\\");
  }
  if (rest.empty() || rest.find(u'\\') != std::u16string::npos) return ERROR_PATH_NOT_FOUND;
  std::string utf8 = emu::toUtf8(rest.c_str(), static_cast<std::ptrdiff_t>(rest.size()));
  std::string encoded;
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += hex[c >> 4];
      encoded += hex[c & 15];
    }
  }
  if (encoded.size() > 200) { // keep within a file name; the hash keeps long names apart
    unsigned long long h = 1469598103934665603ull;
    for (unsigned char c : utf8) h = (h ^ c) * 1099511628211ull;
    char tail[20];
    std::snprintf(tail, sizeof(tail), "~%016llx", h);
    encoded = encoded.substr(0, 150) + tail;
  }
  // One folder per namespace for every kind, so one lock orders the creations of all kinds under a name.
  *path = emu::proc::kernelDir("named/" + space) + "/" + encoded + "." + kind;
  return 0;
}

bool existsElsewhere(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

DWORD takeNamedFile(const std::string &path, bool create, bool *existed, const std::function<void(int fd)> &adopt) {
  chaosPoint("sync.named");
  const std::string dir = path.substr(0, path.rfind('/'));
  int dirLock = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (dirLock < 0 || flock(dirLock, LOCK_EX) != 0) {
    if (dirLock >= 0) close(dirLock);
    return ERROR_ACCESS_DENIED;
  }
  DWORD error = ERROR_SUCCESS;
  const std::string base = path.substr(0, path.rfind('.'));
  bool otherKind = false;
  for (const char *kind : {kMutex, kEvent}) {
    const std::string sibling = base + "." + kind;
    otherKind = otherKind || (sibling != path && existsElsewhere(sibling));
  }
  *existed = !otherKind && existsElsewhere(path);
  if (otherKind) {
    error = ERROR_INVALID_HANDLE; // the name belongs to an object of another kind
  } else if (*existed || create) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && lockByte(fd, F_RDLCK, 0)) {
      adopt(fd);
    } else {
      if (fd >= 0) close(fd);
      error = ERROR_ACCESS_DENIED;
    }
  } else {
    error = ERROR_FILE_NOT_FOUND;
  }
  close(dirLock); // drops the flock
  return error;
}

} // namespace sync
} // namespace emu

namespace {

using emu::sync::existsElsewhere;
using emu::sync::lockByte;
using emu::sync::forgetClosed;
using emu::sync::objectPath;
using emu::sync::takeNamedFile;

struct MutexCore {
  std::string path; // empty for an unnamed mutex
  int fd = -1;
  DWORD owner = 0;
  DWORD count = 0;
  bool abandoned = false; // its owning thread of this process ended while owning it
  // What tryTake found, so a wait-all can put it back.
  std::string previousMark;
  bool previousAbandoned = false;

  ~MutexCore() {
    if (fd >= 0) close(fd); // drops both locks; a mark left behind reads as abandoned
  }
};

std::string readMark(int fd) {
  std::string mark;
  char buf[128];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof(buf), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    mark.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return mark;
}

void writeMark(int fd, const std::string &mark) {
  if (ftruncate(fd, 0) != 0) return;
  if (!mark.empty() && pwrite(fd, mark.data(), mark.size(), 0) < 0) return;
}

// Mutexes owned by this thread, to abandon them when it ends.
struct OwnedByThread {
  std::vector<std::weak_ptr<MutexCore>> cores;
  ~OwnedByThread();
};
thread_local OwnedByThread t_owned;

OwnedByThread::~OwnedByThread() {
  const DWORD tid = GetCurrentThreadId();
  bool any = false;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    for (auto &weak : cores) {
      auto core = weak.lock();
      if (!core || core->owner != tid) continue;
      core->owner = 0;
      core->count = 0;
      core->abandoned = true;
      if (core->fd >= 0) lockByte(core->fd, F_UNLCK, 1); // the mark stays: abandoned for the other processes too
      any = true;
    }
  }
  if (any) emu::wakeWaiters();
}

struct MutexObject : emu::Waitable {
  std::shared_ptr<MutexCore> core;
  DWORD access;
  MutexObject(std::shared_ptr<MutexCore> c, DWORD a) : core(std::move(c)), access(a) {}
  const char *typeName() const override { return "Mutex"; }

  Take tryTake(DWORD tid) override {
    MutexCore &m = *core;
    if (m.owner == tid) {
      if (m.count == 0x7FFFFFFF) return NotSignaled;
      ++m.count;
      return Taken;
    }
    if (m.owner != 0) return NotSignaled;
    bool markFound = false;
    if (m.fd >= 0) {
      if (!lockByte(m.fd, F_WRLCK, 1)) return NotSignaled; // another process owns it
      m.previousMark = readMark(m.fd);
      markFound = !m.previousMark.empty();
      writeMark(m.fd, std::to_string(getpid()) + " " + std::to_string(tid) + "\n");
    }
    m.previousAbandoned = m.abandoned;
    const bool abandoned = m.abandoned || markFound;
    m.abandoned = false;
    m.owner = tid;
    m.count = 1;
    auto &owned = t_owned.cores;
    for (auto it = owned.begin(); it != owned.end();) {
      auto held = it->lock();
      it = (!held || held->owner != tid) ? owned.erase(it) : std::next(it);
    }
    owned.push_back(core);
    return abandoned ? TakenAbandoned : Taken;
  }

  void untake(DWORD tid, Take how) override {
    MutexCore &m = *core;
    if (how == NotSignaled || m.owner != tid) return;
    if (--m.count > 0) return;
    m.owner = 0;
    m.abandoned = m.previousAbandoned;
    if (m.fd >= 0) {
      writeMark(m.fd, m.previousMark);
      lockByte(m.fd, F_UNLCK, 1);
    }
  }

  bool needsPolling() const override { return core->fd >= 0; }
  const void *identity() const override { return core.get(); }
  bool canWait() const override { return (access & SYNCHRONIZE) != 0; }
};

// Named mutexes open in this process, by file; guarded by the engine lock.
std::map<std::string, std::weak_ptr<MutexCore>> &openNamed() {
  static auto *names = new std::map<std::string, std::weak_ptr<MutexCore>>;
  return *names;
}

// Opens (create) or finds the named mutex of this process. Sets *existed; null with the last error on failure.
std::shared_ptr<MutexCore> namedCore(const std::u16string &name, bool create, bool *existed) {
  std::string path;
  if (DWORD error = objectPath(name, emu::sync::kMutex, &path)) {
    SetLastError(error);
    return nullptr;
  }
  auto &names = openNamed();
  if (auto core = names[path].lock()) {
    *existed = true;
    return core;
  }
  std::shared_ptr<MutexCore> core;
  if (DWORD error = takeNamedFile(path, create, existed, [&](int fd) {
        if (!*existed) writeMark(fd, std::string()); // a new object: a mark of an earlier one means nothing
        core = std::make_shared<MutexCore>();
        core->path = path;
        core->fd = fd;
      })) {
    SetLastError(error);
    return nullptr;
  }
  names[path] = core;
  forgetClosed(names);
  return core;
}


HANDLE createMutex(LPCWSTR name, bool initialOwner, DWORD access) {
  std::shared_ptr<MutexObject> object;
  bool existed = false;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    std::shared_ptr<MutexCore> core;
    if (name && *name) {
      core = namedCore(name, true, &existed);
      if (!core) return nullptr;
    } else {
      core = std::make_shared<MutexCore>();
    }
    object = std::make_shared<MutexObject>(core, access);
    if (initialOwner && !existed) object->tryTake(GetCurrentThreadId());
  }
  HANDLE h = emu::insertHandle(object);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

} // namespace

extern "C" HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  EMU_FAIL_POINT("CreateMutexW", nullptr);
  return createMutex(lpName, bInitialOwner != FALSE, MUTEX_ALL_ACCESS);
}

extern "C" HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD dwDesiredAccess) {
  EMU_FAIL_POINT("CreateMutexExW", nullptr);
  if (dwFlags & ~DWORD(CREATE_MUTEX_INITIAL_OWNER)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return createMutex(lpName, (dwFlags & CREATE_MUTEX_INITIAL_OWNER) != 0, dwDesiredAccess);
}

extern "C" HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  EMU_FAIL_POINT("OpenMutexW", nullptr);
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<MutexCore> core;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    bool existed = false;
    core = namedCore(lpName, false, &existed);
  }
  if (!core) return nullptr;
  return emu::insertHandle(std::make_shared<MutexObject>(core, dwDesiredAccess));
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  EMU_FAIL_POINT("ReleaseMutex", FALSE);
  emu::chaosPoint("ReleaseMutex");
  auto object = emu::lookupHandleAs<MutexObject>(hMutex);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    MutexCore &m = *object->core;
    if (m.owner != GetCurrentThreadId() || m.count == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    if (--m.count > 0) return TRUE;
    m.owner = 0;
    if (m.fd >= 0) {
      writeMark(m.fd, std::string());
      lockByte(m.fd, F_UNLCK, 1);
    }
  }
  emu::wakeWaiters();
  return TRUE;
}
