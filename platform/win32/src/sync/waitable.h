// The one wait engine: every waitable kernel object (event, mutex, process, thread) implements Waitable, and
// WaitForSingleObject/WaitForMultipleObjects take them under one engine lock.
#pragma once

#include <windows.h>
#include "emu/emu.h"

#include <condition_variable>
#include <mutex>

namespace emu {

class Waitable : public KernelObject {
public:
  enum Take { NotSignaled = 0, Taken = 1, TakenAbandoned = 2 };

  // With the engine lock held: take the object for thread `tid` when it is signalled (an auto-reset event is reset,
  // a mutex becomes owned), else NotSignaled.
  virtual Take tryTake(DWORD tid) = 0;
  // With the engine lock held: undo the tryTake of this round (a wait-all that could not take every object).
  virtual void untake(DWORD tid, Take how) = 0;
  // State kept in other processes, which cannot notify this process: the engine polls while waiting on it.
  virtual bool needsPolling() const { return false; }
  // The object behind the handle: two handles of one object may not appear in one wait-all.
  virtual const void *identity() const { return this; }
  // Access right SYNCHRONIZE held by this handle.
  virtual bool canWait() const { return true; }
};

std::mutex &waitEngineMutex();
// Wakes every waiter so it looks at the objects again; call after a state change.
void wakeWaiters();

} // namespace emu
