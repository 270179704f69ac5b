// Out-of-context window event hooks. An event is queued for a hook when it is raised (its position in the desktop's
// event log is at or after the hook's start); the hook's procedure runs later on the installing thread, from that
// thread's Qt event loop, one event per turn of the loop, or, in a program without Qt, when that thread retrieves
// messages (PeekMessageW), in the order the events were raised. Removing a hook drops what was queued for it.
#include "desktop/store.h"

#include "emu/emu.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <deque>
#include <map>
#include <sys/inotify.h>
#include <unistd.h>

#ifndef ERROR_INVALID_HOOK_FILTER
#define ERROR_INVALID_HOOK_FILTER 1426
#endif
#ifndef ERROR_INVALID_FILTER_PROC
#define ERROR_INVALID_FILTER_PROC 1427
#endif
#ifndef ERROR_HOOK_NEEDS_HMOD
#define ERROR_HOOK_NEEDS_HMOD 1428
#endif

using namespace emu::desktop::detail;

namespace {

class Pump;

struct Hook {
  uintptr_t handle = 0;
  DWORD eventMin = 0, eventMax = 0;
  WINEVENTPROC proc = nullptr;
  DWORD idProcess = 0, idThread = 0, flags = 0;
  DWORD installerThread = 0;
  uint64_t startSeq = 0;
  Store *store = nullptr;
};

struct Pending {
  EventRecord record;
  uintptr_t hook;
};

std::mutex g_mutex; // guards the tables and every pump's queue
std::map<uintptr_t, Hook> *g_hooks = new std::map<uintptr_t, Hook>; // install order; lives for the process
std::map<DWORD, Pump *> *g_pumps = new std::map<DWORD, Pump *>;
uintptr_t g_nextHook = 0x4E0010;

bool matches(const Hook &h, const EventRecord &r, uint64_t seq) {
  if (seq < h.startSeq || r.event < h.eventMin || r.event > h.eventMax) return false;
  if (h.idProcess && r.pid != h.idProcess) return false;
  if (h.idThread && r.tid != h.idThread) return false;
  const bool own = r.pid == GetCurrentProcessId();
  if ((h.flags & WINEVENT_SKIPOWNPROCESS) && own) return false;
  if ((h.flags & WINEVENT_SKIPOWNTHREAD) && own && r.tid == h.installerThread) return false;
  return true;
}

// Lives on the installing thread; woken by inotify when any process has published events in the desktop's event
// log. The writer touches the log's times after it published the new count, so the wake-up never comes before the
// events can be read; the write itself may (a reader woken by it could see the old count and sleep on).
class Pump : public QObject {
public:
  Pump(Store &store, DWORD thread) : store_(store), thread_(thread), readSeq_(store.eventCount()) {
    fd_ = qtLoop() ? inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1; // without Qt, PeekMessageW looks itself
    if (fd_ >= 0 && inotify_add_watch(fd_, store.eventsPath().c_str(), IN_ATTRIB) >= 0) {
      notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
      QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buf[4096];
        while (::read(fd_, buf, sizeof(buf)) > 0) {
        }
        poll();
      });
    }
  }
  ~Pump() override {
    delete notifier_;
    if (fd_ >= 0) close(fd_);
  }

  // Queues the events raised since the last look for this thread's hooks. Called with g_mutex held.
  void pollLocked() {
    for (;;) {
      std::vector<EventRecord> records;
      const uint64_t from = readSeq_;
      readSeq_ = store_.readEvents(readSeq_, records);
      if (records.empty()) break;
      for (size_t i = 0; i < records.size(); ++i) {
        for (const auto &e : *g_hooks) {
          const Hook &h = e.second;
          if (h.installerThread == thread_ && h.store == &store_ && matches(h, records[i], from + i))
            pending_.push_back(Pending{records[i], h.handle});
        }
      }
    }
    if (!pending_.empty()) scheduleLocked();
  }
  void poll() {
    std::lock_guard<std::mutex> lock(g_mutex);
    pollLocked();
  }

  // Message retrieval in a program without Qt: every queued event, in order. Called without g_mutex held.
  void deliverAll() {
    for (;;) {
      Hook hook;
      Pending next{};
      {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (delivering_ || dying_) return; // PeekMessageW inside a callback: the outer call goes on
        pollLocked();
        if (!takeLocked(hook, next)) return;
        delivering_ = true;
      }
      call(hook, next);
      std::lock_guard<std::mutex> lock(g_mutex);
      delivering_ = false;
      if (dying_) {
        delete this;
        return;
      }
    }
  }

  bool idleLocked() const { return pending_.empty() && !delivering_ && readSeq_ >= store_.eventCount(); }
  bool delivering() const { return delivering_; }

private:
  static bool qtLoop() { return QCoreApplication::instance() != nullptr; }

  void scheduleLocked() {
    if (scheduled_ || dying_ || !qtLoop()) return;
    scheduled_ = true;
    QMetaObject::invokeMethod(this, [this] { deliverOne(); }, Qt::QueuedConnection);
  }

  // One event per turn of the event loop, so other work (socket commands) can come between two events.
  void deliverOne() {
    Hook hook;
    Pending next{};
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      scheduled_ = false;
      if (delivering_ || dying_) return; // a nested event loop inside a callback: the outer turn goes on later
      if (!takeLocked(hook, next)) return;
      delivering_ = true;
    }
    call(hook, next);
    std::lock_guard<std::mutex> lock(g_mutex);
    delivering_ = false;
    if (dying_) {
      deleteLater();
      return;
    }
    if (!pending_.empty()) scheduleLocked();
  }

  // The next queued event of a hook that is still installed; events of removed hooks are dropped.
  bool takeLocked(Hook &hook, Pending &next) {
    while (!pending_.empty()) {
      next = pending_.front();
      pending_.pop_front();
      auto it = g_hooks->find(next.hook);
      if (it != g_hooks->end()) {
        hook = it->second;
        return true;
      }
    }
    return false;
  }

  static void call(const Hook &hook, const Pending &next) {
    hook.proc(reinterpret_cast<HWINEVENTHOOK>(hook.handle), next.record.event,
              reinterpret_cast<HWND>(static_cast<uintptr_t>(next.record.hwnd)), next.record.idObject,
              next.record.idChild, next.record.tid, next.record.time);
  }

public:
  void retireLocked() {
    dying_ = true;
    pending_.clear();
    if (!delivering_) {
      if (QThread::currentThread() == thread()) {
        delete this;
      } else {
        deleteLater();
      }
    }
  }

private:
  Store &store_;
  DWORD thread_;
  int fd_ = -1;
  QSocketNotifier *notifier_ = nullptr;
  uint64_t readSeq_;
  std::deque<Pending> pending_;
  bool scheduled_ = false;
  bool delivering_ = false;
  bool dying_ = false;
};

} // namespace

extern "C" HWINEVENTHOOK WINAPI SetWinEventHook(DWORD eventMin, DWORD eventMax, HMODULE hmodWinEventProc,
                                                WINEVENTPROC pfnWinEventProc, DWORD idProcess, DWORD idThread,
                                                DWORD dwFlags) {
  DESKTOP_ENTER("SetWinEventHook", nullptr);
  if (!pfnWinEventProc) {
    SetLastError(ERROR_INVALID_FILTER_PROC);
    return nullptr;
  }
  if (eventMin > eventMax) {
    SetLastError(ERROR_INVALID_HOOK_FILTER);
    return nullptr;
  }
  if ((dwFlags & WINEVENT_INCONTEXT) && !hmodWinEventProc) {
    SetLastError(ERROR_HOOK_NEEDS_HMOD);
    return nullptr;
  }
  Store &s = store();
  const DWORD thread = GetCurrentThreadId();
  std::lock_guard<std::mutex> lock(g_mutex);
  Pump *&pump = (*g_pumps)[thread];
  if (!pump) pump = new Pump(s, thread);
  Hook h;
  h.handle = g_nextHook;
  g_nextHook += 4;
  h.eventMin = eventMin;
  h.eventMax = eventMax;
  h.proc = pfnWinEventProc;
  h.idProcess = idProcess;
  h.idThread = idThread;
  h.flags = dwFlags;
  h.installerThread = thread;
  h.store = &s;
  pump->pollLocked(); // what was raised before this hook is not its business
  h.startSeq = s.eventCount();
  (*g_hooks)[h.handle] = h;
  return reinterpret_cast<HWINEVENTHOOK>(h.handle);
}

extern "C" BOOL WINAPI UnhookWinEvent(HWINEVENTHOOK hWinEventHook) {
  DESKTOP_ENTER("UnhookWinEvent", FALSE);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_hooks->find(reinterpret_cast<uintptr_t>(hWinEventHook));
  if (it == g_hooks->end()) {
    SetLastError(ERROR_INVALID_HOOK_HANDLE);
    return FALSE;
  }
  const DWORD thread = it->second.installerThread;
  if (thread != GetCurrentThreadId()) { // only the thread that installed a hook may remove it
    SetLastError(ERROR_INVALID_HOOK_HANDLE);
    return FALSE;
  }
  g_hooks->erase(it);
  bool threadHasHooks = false;
  for (const auto &e : *g_hooks) threadHasHooks = threadHasHooks || e.second.installerThread == thread;
  if (!threadHasHooks) {
    auto p = g_pumps->find(thread);
    if (p != g_pumps->end()) {
      Pump *pump = p->second;
      g_pumps->erase(p);
      pump->retireLocked();
    }
  }
  return TRUE;
}

namespace emu {
namespace desktop {

bool deliverPending(int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  const DWORD thread = GetCurrentThreadId();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      auto it = g_pumps->find(thread);
      if (it == g_pumps->end()) return true;
      it->second->pollLocked();
      if (it->second->idleLocked()) return true;
      if (it->second->delivering()) return false; // called from inside a callback: it cannot finish here
    }
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
}

uint64_t eventCount() { return store().eventCount(); }

namespace detail {

void deliverOnMessageRetrieval() {
  Pump *pump = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_pumps->find(GetCurrentThreadId());
    if (it == g_pumps->end()) return;
    pump = it->second;
  }
  // Only this thread retires or deletes its pump, so it outlives the unlocked gap.
  pump->deliverAll();
}

} // namespace detail

} // namespace desktop
} // namespace emu
