// The emulated desktop of a session: its state, kept in files under the machine root and shared by processes.
//
// <dir>/state   the whole desktop, rewritten atomically (temp file + rename) under <dir>/lock
// <dir>/events  append-only log of raised window events, fixed-size records; its times are touched after each
//               append has been published, which is what readers wait for
// <dir>/placements  append-only log of SetWindowPlacement calls that reached a window, fixed-size records
// <dir>/gen     two shared counters (state generation, event count), mapped into every process, so a reader
//               knows without a system call whether its cached copy of the state is current
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <vector>

#include "emu/desktop.h"

namespace emu {
namespace desktop {
namespace detail {

constexpr uintptr_t kDesktopHwnd = 0x10010;
constexpr uintptr_t kFirstHwnd = 0x30010;
constexpr uintptr_t kHwndStep = 0x10;
constexpr uintptr_t kMonitorBase = 0x65000;

struct Monitor {
  uint32_t id = 0;
  RECT rc{};
  RECT work{};
  uint32_t dpi = 96;
  bool primary = false;
};

struct Process {
  uint32_t pid = 0;
  std::u16string path;
  bool elevated = false;
};

struct Window {
  uint64_t hwnd = 0;
  uint32_t pid = 0;
  uint32_t tid = 0;
  std::string cls;
  std::u16string title;
  uint32_t style = 0; // WS_VISIBLE, WS_MINIMIZE and WS_MAXIMIZE are kept in the fields below, not here
  uint32_t exStyle = 0;
  uint64_t parent = 0;
  uint64_t owner = 0;
  RECT normal{}; // screen coordinates
  uint8_t show = 0; // Show
  bool visible = false;
  bool restoreToMaximized = false;
  bool cloaked = false;
  int32_t dpiAwareness = -4; // the DPI_AWARENESS_CONTEXT pseudo-handle value, -1 to -5
};

struct Placement {
  uint64_t hwnd = 0;
  uint32_t flags = 0;
  uint32_t showCmd = 0;
  RECT rc{};
  RECT normalAfter{};
  uint8_t showAfter = 0;
  uint8_t visibleAfter = 0;
  uint8_t reserved[6] = {};
};
static_assert(sizeof(Placement) == 56, "fixed record size");

// A SetWindowPlacement posted to a window's thread that does not run its message loop (WPF_ASYNCWINDOWPLACEMENT).
struct Posted {
  uint32_t tid = 0;
  uint64_t hwnd = 0;
  WINDOWPLACEMENT placement{};
};

struct State {
  uint64_t generation = 0;
  uint32_t nextMonitorId = 1;
  uint64_t nextHwnd = kFirstHwnd;
  POINT cursor{0, 0};
  uint64_t shell = 0;
  std::vector<Monitor> monitors; // enumeration order
  std::map<uint32_t, Process> processes;
  std::map<uint64_t, Window> windows; // by handle = creation order = z-order among siblings
  uint64_t placementCount = 0; // records in the placements file
  uint64_t placementBase = 0;  // the count at the last reset: earlier records are forgotten
  std::set<uint32_t> stalledThreads; // window threads that do not run their message loop
  std::vector<Posted> posted;        // requests posted to those threads, oldest first
};

// One raised event, as stored in the events file.
struct EventRecord {
  uint32_t event;
  int32_t idObject;
  int32_t idChild;
  uint32_t pid;
  uint32_t tid;
  uint32_t time;
  uint64_t hwnd;
};
static_assert(sizeof(EventRecord) == 32, "fixed record size");

using EventList = std::vector<EventRecord>;

// What one change of the desktop raises and records.
struct Changes {
  std::vector<EventRecord> events;
  std::vector<Placement> placements;
};

// The desktop folder of the current machine root and session, opened on first use.
class Store {
public:
  explicit Store(std::string dir);
  const std::string &dir() const { return dir_; }

  // Runs f on a current snapshot of the state. f must not call back into the store.
  template <class F> auto read(F &&f) {
    std::lock_guard<std::mutex> lock(mutex_);
    refresh();
    return f(static_cast<const State &>(cache_));
  }
  // Runs f on the state under the desktop lock, stores the result, raises the events and records the placements f
  // added. f returns false to leave the desktop unchanged. Returns what f returned.
  bool modify(const std::function<bool(State &, Changes &)> &f);
  // Placement records [from, to).
  std::vector<Placement> readPlacements(uint64_t from, uint64_t to) const;

  uint64_t eventCount() const { return shared_->events.load(std::memory_order_acquire); }
  // Reads events [from, eventCount()) into out; returns the new position.
  uint64_t readEvents(uint64_t from, std::vector<EventRecord> &out) const;
  const std::string &eventsPath() const { return eventsPath_; }

private:
  struct Shared {
    std::atomic<uint64_t> generation;
    std::atomic<uint64_t> events;
  };
  void refresh();
  bool load(State &into) const;
  void save(const State &state) const;
  int lockFile() const;

  std::string dir_, statePath_, eventsPath_, placementsPath_, lockPath_;
  Shared *shared_ = nullptr;
  std::mutex mutex_;
  State cache_;
  bool cached_ = false;
};

// The store of the current machine root and session.
Store &store();
// The same when that desktop has been used already, else null: nothing is created under the root.
Store *existingStore();
State defaultState();

// Trigger points of the in-process test aid onCall: runs the action due at this call, if any.
void runTriggers(const char *call);

// Geometry shared by the calls and the control API.
int64_t overlap(const RECT &a, const RECT &b);
bool isEmpty(const RECT &r);
const Monitor *primaryMonitor(const State &s);
const Monitor *monitorFromPoint(const State &s, POINT pt, DWORD flags);
const Monitor *monitorFromRect(const State &s, const RECT &rc, DWORD flags);
const Monitor *monitorById(const State &s, uint32_t id);
const Monitor *monitorOfWindow(const State &s, const Window &w, DWORD flags);
HMONITOR toHandle(const Monitor *m);
const Monitor *fromHandle(const State &s, HMONITOR h);
RECT offsetRect(const RECT &r, int64_t dx, int64_t dy);
RECT windowRect(const State &s, const Window &w);
WINDOWPLACEMENT placementOf(const State &s, const Window &w);
bool usesWorkspace(const Window &w);
// Applies a SetWindowPlacement to the window: its show state, normal rectangle, events and placement record.
void applyPlacement(State &s, Changes &changes, Window &w, const WINDOWPLACEMENT &p);
// Handles what was posted to the thread, in order (windows destroyed meanwhile are skipped).
void drainPosted(State &s, Changes &changes, uint32_t tid);
// The screen rectangle a workspace rectangle of SetWindowPlacement stands for.
RECT workspaceToScreen(const State &s, const RECT &ws);
DWORD fullStyle(const Window &w);

const Window *findWindow(const State &s, HWND hwnd);
Window *findWindow(State &s, HWND hwnd);
bool isVisibleChain(const State &s, const Window &w);
// Runs the calling thread's hook procedures for every event queued for them (message retrieval without Qt).
void deliverOnMessageRetrieval();
// Appends an event raised by the window's own thread (or by sourcePid when set).
void raise(Changes &changes, DWORD event, const Window &w, LONG idObject = OBJID_WINDOW, DWORD sourcePid = 0);

} // namespace detail
} // namespace desktop
} // namespace emu

namespace emu {
namespace desktop {
namespace detail {
// Adds the time of the outermost desktop call of this thread to callTimeNs() while measuring is on.
class CallClock {
public:
  CallClock();
  ~CallClock();
  CallClock(const CallClock &) = delete;
  CallClock &operator=(const CallClock &) = delete;

private:
  uint64_t start_ = 0;
};
} // namespace detail
} // namespace desktop
} // namespace emu

// Runs the onCall actions of a stand-in call, then its failure point; the call's time counts from here.
#define DESKTOP_ENTER(name, result)                 \
  ::emu::desktop::detail::CallClock bvCallClock_;   \
  do {                                              \
    ::emu::desktop::detail::runTriggers(name);      \
    EMU_FAIL_POINT(name, result);                   \
  } while (0)
