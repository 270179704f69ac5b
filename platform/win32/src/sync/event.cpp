// Events: manual and automatic reset. A named event is shared by the callers of one process.
#include "sync/waitable.h"

#include <map>
#include <memory>
#include <string>

namespace {

struct EventState {
  bool manualReset = false;
  bool signaled = false;
};

struct EventObject : emu::Waitable {
  std::shared_ptr<EventState> state;
  DWORD access;
  EventObject(std::shared_ptr<EventState> s, DWORD a) : state(std::move(s)), access(a) {}
  const char *typeName() const override { return "Event"; }
  Take tryTake(DWORD) override {
    if (!state->signaled) return NotSignaled;
    if (!state->manualReset) state->signaled = false;
    return Taken;
  }
  void untake(DWORD, Take how) override {
    if (how != NotSignaled && !state->manualReset) state->signaled = true;
  }
  const void *identity() const override { return state.get(); }
  bool canWait() const override { return (access & SYNCHRONIZE) != 0; }
};

// Named events of this process; guarded by the engine lock.
std::map<std::u16string, std::weak_ptr<EventState>> &namedEvents() {
  static auto *names = new std::map<std::u16string, std::weak_ptr<EventState>>;
  return *names;
}

HANDLE createEvent(LPCWSTR name, bool manual, bool initial, DWORD access) {
  std::shared_ptr<EventState> state;
  bool existed = false;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    if (name && *name) {
      auto &names = namedEvents();
      std::u16string key(name);
      state = names[key].lock();
      existed = state != nullptr;
      if (!state) {
        state = std::make_shared<EventState>();
        names[key] = state;
      }
    } else {
      state = std::make_shared<EventState>();
    }
    if (!existed) {
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
    event->state->signaled = on;
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
    auto &names = namedEvents();
    auto it = names.find(std::u16string(lpName));
    if (it != names.end()) state = it->second.lock();
  }
  if (!state) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return emu::insertHandle(std::make_shared<EventObject>(state, dwDesiredAccess));
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
  EMU_FAIL_POINT("SetEvent", FALSE);
  return setSignaled(hEvent, true) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
  EMU_FAIL_POINT("ResetEvent", FALSE);
  return setSignaled(hEvent, false) ? TRUE : FALSE;
}
