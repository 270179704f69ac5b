// Events: manual and automatic reset. A named event is shared by the processes of a session (see named.h): its
// file holds the reset kind and the state, "M1" or "A0", changed under a write lock of byte 1, so that of several
// processes waiting on an automatic-reset event exactly one takes each signal.
#include "sync/named.h"
#include "sync/waitable.h"

#include "emu/hold.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

using emu::sync::lockByte;

struct EventState {
  bool manualReset = false;
  bool signaled = false; // of an unnamed event
  int fd = -1;           // the file of a named one
  ~EventState() {
    if (fd >= 0) close(fd); // drops the existence lock
  }
};

// The state in a named event's file; call with byte 1 locked.
bool readShared(int fd, bool *manual) {
  char state[2] = {'A', '0'};
  while (pread(fd, state, sizeof state, 0) < 0 && errno == EINTR) {
  }
  if (manual) *manual = state[0] == 'M';
  return state[1] == '1';
}

void writeShared(int fd, bool manual, bool signaled) {
  const char state[2] = {manual ? 'M' : 'A', signaled ? '1' : '0'};
  while (pwrite(fd, state, sizeof state, 0) < 0 && errno == EINTR) {
  }
}

// Test, and for an automatic-reset event take, the signal; `set` >= 0 sets the state instead. Engine lock held.
bool exchange(EventState &e, int set) {
  if (e.fd < 0) {
    if (set >= 0) {
      e.signaled = set != 0;
      return e.signaled;
    }
    const bool was = e.signaled;
    if (was && !e.manualReset) e.signaled = false;
    return was;
  }
  lockByte(e.fd, F_WRLCK, 1, true);
  bool result;
  if (set >= 0) {
    writeShared(e.fd, e.manualReset, set != 0);
    result = set != 0;
  } else {
    result = readShared(e.fd, nullptr);
    if (result && !e.manualReset) writeShared(e.fd, false, false);
  }
  lockByte(e.fd, F_UNLCK, 1);
  return result;
}

struct EventObject : emu::Waitable {
  std::shared_ptr<EventState> state;
  DWORD access;
  EventObject(std::shared_ptr<EventState> s, DWORD a) : state(std::move(s)), access(a) {}
  const char *typeName() const override { return "Event"; }
  Take tryTake(DWORD) override { return exchange(*state, -1) ? Taken : NotSignaled; }
  void untake(DWORD, Take how) override {
    if (how != NotSignaled && !state->manualReset) exchange(*state, 1);
  }
  // Other processes cannot wake this one: a named event is looked at again while waiting.
  bool needsPolling() const override { return state->fd >= 0; }
  const void *identity() const override { return state.get(); }
  bool canWait() const override { return (access & SYNCHRONIZE) != 0; }
};

// Named events open in this process, by file; guarded by the engine lock.
std::map<std::string, std::weak_ptr<EventState>> &namedEvents() {
  static auto *names = new std::map<std::string, std::weak_ptr<EventState>>;
  return *names;
}

// Opens, and with `create` creates, the named event of this session. Null with the last error on failure.
std::shared_ptr<EventState> namedState(const std::u16string &name, bool create, bool manual, bool initial,
                                       bool *existed) {
  std::string path;
  if (DWORD error = emu::sync::objectPath(name, emu::sync::kEvent, &path)) {
    SetLastError(error);
    return nullptr;
  }
  auto &names = namedEvents();
  if (auto state = names[path].lock()) {
    *existed = true;
    return state;
  }
  std::shared_ptr<EventState> state;
  if (DWORD error = emu::sync::takeNamedFile(path, create, existed, [&](int fd) {
        state = std::make_shared<EventState>();
        state->fd = fd;
        if (*existed) {
          lockByte(fd, F_WRLCK, 1, true);
          readShared(fd, &state->manualReset);
          lockByte(fd, F_UNLCK, 1);
        } else { // a new object: what an earlier one left in the file means nothing
          state->manualReset = manual;
          writeShared(fd, manual, initial);
        }
      })) {
    SetLastError(error);
    return nullptr;
  }
  names[path] = state;
  emu::sync::forgetClosed(names);
  return state;
}

HANDLE createEvent(LPCWSTR name, bool manual, bool initial, DWORD access) {
  std::shared_ptr<EventState> state;
  bool existed = false;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    if (name && *name) {
      state = namedState(name, true, manual, initial, &existed);
      if (!state) return nullptr;
    } else {
      state = std::make_shared<EventState>();
      state->manualReset = manual;
      state->signaled = initial;
    }
  }
  HANDLE h = emu::insertHandle(std::make_shared<EventObject>(state, access));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

bool setSignaled(HANDLE h, bool on) {
  auto event = emu::lookupHandleAs<EventObject>(h);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!(event->access & EVENT_MODIFY_STATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    exchange(*event->state, on ? 1 : 0);
  }
  if (on) emu::wakeWaiters();
  return true;
}

} // namespace

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  EMU_FAIL_POINT("CreateEventW", nullptr);
  return createEvent(lpName, bManualReset != FALSE, bInitialState != FALSE, EVENT_ALL_ACCESS);
}

extern "C" HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD dwDesiredAccess) {
  EMU_FAIL_POINT("CreateEventExW", nullptr);
  if (dwFlags & ~DWORD(CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return createEvent(lpName, (dwFlags & CREATE_EVENT_MANUAL_RESET) != 0, (dwFlags & CREATE_EVENT_INITIAL_SET) != 0,
                     dwDesiredAccess);
}

extern "C" HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  EMU_FAIL_POINT("OpenEventW", nullptr);
  if (!lpName || !*lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<EventState> state;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    bool existed = false;
    state = namedState(lpName, false, false, false, &existed);
  }
  if (!state) return nullptr;
  return emu::insertHandle(std::make_shared<EventObject>(state, dwDesiredAccess));
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
  emu::chaosPoint("SetEvent");
  EMU_FAIL_POINT("SetEvent", FALSE);
  return setSignaled(hEvent, true) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
  emu::chaosPoint("ResetEvent");
  EMU_FAIL_POINT("ResetEvent", FALSE);
  return setSignaled(hEvent, false) ? TRUE : FALSE;
}
