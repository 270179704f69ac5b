// WaitForSingleObject and WaitForMultipleObjects over every waitable object, under one lock and one condition.
#include "sync/waitable.h"

#include "emu/hold.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace emu {

namespace {

struct Engine {
  std::mutex mutex;
  std::condition_variable changed;
};

Engine &engine() {
  static Engine *e = new Engine; // waits may still run while static objects are destroyed
  return *e;
}

// The current process and thread pseudo-handles: they signal when this process ends, i.e. never for its waiters.
struct Never : Waitable {
  const char *typeName() const override { return "Pseudo"; }
  Take tryTake(DWORD) override { return NotSignaled; }
  void untake(DWORD, Take) override {}
};

std::shared_ptr<Waitable> waitableFor(HANDLE h) {
  if (h == GetCurrentProcess() || h == GetCurrentThread()) {
    static auto *never = new std::shared_ptr<Waitable>(std::make_shared<Never>());
    return *never;
  }
  return lookupHandleAs<Waitable>(h);
}

// Objects in other processes are looked at again after this long, doubling up to the longest interval while a
// wait goes on.
constexpr auto kFirstPoll = std::chrono::milliseconds(1);
constexpr auto kLongestPoll = std::chrono::milliseconds(16);

} // namespace

std::mutex &waitEngineMutex() { return engine().mutex; }

void wakeWaiters() { engine().changed.notify_all(); }

} // namespace emu

namespace {

DWORD waitFor(DWORD count, const HANDLE *handles, bool waitAll, DWORD ms) {
  using namespace std::chrono;
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<emu::Waitable>> objects(count);
  bool polled = false;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = emu::waitableFor(handles[i]);
    if (!objects[i]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (!objects[i]->canWait()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return WAIT_FAILED;
    }
    if (waitAll) {
      for (DWORD j = 0; j < i; ++j) {
        if (objects[j]->identity() == objects[i]->identity()) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
    polled = polled || objects[i]->needsPolling();
  }
  const DWORD tid = GetCurrentThreadId();
  const DWORD scaled = emu::scaledMs(ms);
  const auto deadline = steady_clock::now() + milliseconds(scaled == INFINITE ? 0 : scaled);
  std::vector<emu::Waitable::Take> taken(count, emu::Waitable::NotSignaled);
  auto poll = std::chrono::duration_cast<steady_clock::duration>(emu::kFirstPoll);

  emu::Engine &e = emu::engine();
  std::unique_lock<std::mutex> lock(e.mutex);
  for (;;) {
    if (waitAll) {
      DWORD got = 0;
      for (; got < count; ++got) {
        taken[got] = objects[got]->tryTake(tid);
        if (taken[got] == emu::Waitable::NotSignaled) break;
      }
      if (got == count) {
        for (DWORD i = 0; i < count; ++i) {
          if (taken[i] == emu::Waitable::TakenAbandoned) return WAIT_ABANDONED_0 + i;
        }
        return WAIT_OBJECT_0;
      }
      while (got > 0) {
        --got;
        objects[got]->untake(tid, taken[got]);
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        emu::Waitable::Take t = objects[i]->tryTake(tid);
        if (t == emu::Waitable::Taken) return WAIT_OBJECT_0 + i;
        if (t == emu::Waitable::TakenAbandoned) return WAIT_ABANDONED_0 + i;
      }
    }
    if (scaled != INFINITE && steady_clock::now() >= deadline) return WAIT_TIMEOUT;
    if (polled) {
      auto until = steady_clock::now() + poll;
      if (scaled != INFINITE && deadline < until) until = deadline;
      e.changed.wait_until(lock, until);
      poll = std::min<steady_clock::duration>(poll * 2, emu::kLongestPoll);
    } else if (scaled == INFINITE) {
      e.changed.wait(lock);
    } else {
      e.changed.wait_until(lock, deadline);
    }
  }
}

} // namespace

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  EMU_FAIL_POINT("WaitForSingleObject", WAIT_FAILED);
  emu::holdPoint("WaitForSingleObject", std::to_string(dwMilliseconds));
  return waitFor(1, &hHandle, false, dwMilliseconds);
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds) {
  EMU_FAIL_POINT("WaitForMultipleObjects", WAIT_FAILED);
  emu::chaosPoint("WaitForMultipleObjects");
  return waitFor(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}
