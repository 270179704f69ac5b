// The control side of the emulated desktop: what tests and win32ctl do in place of other programs and the user.
#include "desktop/store.h"

#include <atomic>
#include <chrono>

#include "emu/emu.h"

#include <algorithm>

namespace emu {
namespace desktop {

using namespace detail;

namespace {

// Runs f on an existing window; false when the handle names none.
bool withWindow(HWND hwnd, const std::function<void(State &, Window &, Changes &)> &f) {
  return store().modify([&](State &s, Changes &events) {
    Window *w = findWindow(s, hwnd);
    if (!w) return false;
    f(s, *w, events);
    return true;
  });
}

uint8_t showValue(Show s) { return static_cast<uint8_t>(s); }

} // namespace

void reset() {
  store().modify([](State &s, Changes &) {
    State fresh = defaultState();
    fresh.nextHwnd = s.nextHwnd; // handles of the old desktop stay invalid
    fresh.monitors.front().id = s.nextMonitorId;
    fresh.nextMonitorId = s.nextMonitorId + 1;
    fresh.placementCount = fresh.placementBase = s.placementCount;
    s = fresh;
    return true;
  });
}

namespace {
std::atomic<bool> g_measuring{false};
thread_local uint64_t t_callNs = 0;
thread_local int t_callDepth = 0;
uint64_t nowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}
} // namespace

detail::CallClock::CallClock() {
  if (t_callDepth++ == 0 && g_measuring.load(std::memory_order_relaxed)) start_ = nowNs();
}
detail::CallClock::~CallClock() {
  if (--t_callDepth == 0 && start_) t_callNs += nowNs() - start_;
}

void measureCallTime(bool on) { g_measuring.store(on, std::memory_order_relaxed); }
uint64_t callTimeNs() { return t_callNs; }

void stopThreadLoop(DWORD tid) {
  store().modify([&](State &s, Changes &) { return s.stalledThreads.insert(tid).second; });
}

void runThreadLoop(DWORD tid) {
  store().modify([&](State &s, Changes &changes) {
    if (!s.stalledThreads.erase(tid)) return false;
    drainPosted(s, changes, tid);
    return true;
  });
}

void clearMonitors() {
  store().modify([](State &s, Changes &) {
    s.monitors.clear();
    return true;
  });
}

HMONITOR addMonitor(const MonitorSpec &spec) {
  HMONITOR handle = nullptr;
  store().modify([&](State &s, Changes &) {
    Monitor m;
    m.id = s.nextMonitorId++;
    m.rc = spec.monitor;
    m.work = spec.work;
    m.dpi = spec.dpi;
    m.primary = spec.primary || s.monitors.empty();
    if (spec.primary)
      for (Monitor &other : s.monitors) other.primary = false;
    s.monitors.push_back(m);
    handle = toHandle(&s.monitors.back());
    return true;
  });
  return handle;
}

std::vector<HMONITOR> monitors() {
  return store().read([](const State &s) {
    std::vector<HMONITOR> list;
    for (const Monitor &m : s.monitors) list.push_back(toHandle(&m));
    return list;
  });
}

void setCursor(POINT pt) {
  store().modify([&](State &s, Changes &) {
    s.cursor = pt;
    return true;
  });
}

POINT cursor() {
  return store().read([](const State &s) { return s.cursor; });
}

void addProcess(const ProcessSpec &spec) {
  store().modify([&](State &s, Changes &) {
    Process p;
    p.pid = spec.pid;
    p.path = spec.imagePath;
    p.elevated = spec.elevated;
    s.processes[p.pid] = p;
    return true;
  });
}

HWND createWindow(const WindowSpec &spec) {
  HWND handle = nullptr;
  store().modify([&](State &s, Changes &events) {
    if (spec.parent && !findWindow(s, spec.parent)) return false;
    if (spec.owner && !findWindow(s, spec.owner)) return false;
    Window w;
    w.hwnd = s.nextHwnd;
    s.nextHwnd += kHwndStep;
    w.pid = spec.pid;
    w.tid = spec.tid ? spec.tid : spec.pid + 1;
    w.cls = spec.className;
    w.title = spec.title;
    w.style = spec.style & ~static_cast<DWORD>(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE);
    if (spec.parent) w.style |= WS_CHILD;
    w.exStyle = spec.exStyle;
    w.parent = reinterpret_cast<uint64_t>(spec.parent);
    w.owner = spec.parent ? 0 : reinterpret_cast<uint64_t>(spec.owner); // child windows have no owner
    w.normal = spec.rect;
    w.show = showValue(spec.show);
    w.visible = (spec.style & WS_VISIBLE) != 0;
    w.restoreToMaximized = spec.show == Show::Minimized && spec.restoreToMaximized;
    w.cloaked = spec.cloaked;
    intptr_t a = reinterpret_cast<intptr_t>(spec.dpiAwareness);
    w.dpiAwareness = (a >= -5 && a <= -1) ? static_cast<int32_t>(a) : -1;
    s.windows[w.hwnd] = w;
    raise(events, EVENT_OBJECT_CREATE, w);
    if (w.visible) raise(events, EVENT_OBJECT_SHOW, w);
    handle = reinterpret_cast<HWND>(static_cast<uintptr_t>(w.hwnd));
    return true;
  });
  return handle;
}

bool show(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) {
    if (w.visible) return;
    w.visible = true;
    raise(events, EVENT_OBJECT_SHOW, w);
  });
}

bool hide(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) {
    if (!w.visible) return;
    w.visible = false;
    raise(events, EVENT_OBJECT_HIDE, w);
  });
}

bool minimize(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) {
    if (w.show == showValue(Show::Minimized)) return;
    w.restoreToMaximized = w.show == showValue(Show::Maximized);
    w.show = showValue(Show::Minimized);
    raise(events, EVENT_SYSTEM_MINIMIZESTART, w);
    raise(events, EVENT_OBJECT_LOCATIONCHANGE, w);
  });
}

namespace {

void changeShow(Window &w, Show to, Changes &events) {
  const bool wasMinimized = w.show == showValue(Show::Minimized);
  const bool changed = w.show != showValue(to);
  w.show = showValue(to);
  w.restoreToMaximized = false;
  if (!w.visible) {
    w.visible = true;
    raise(events, EVENT_OBJECT_SHOW, w);
  }
  if (wasMinimized && changed) raise(events, EVENT_SYSTEM_MINIMIZEEND, w);
  if (changed) raise(events, EVENT_OBJECT_LOCATIONCHANGE, w);
}

} // namespace

bool maximize(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) { changeShow(w, Show::Maximized, events); });
}

bool restore(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) { changeShow(w, Show::Normal, events); });
}

bool cloak(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) {
    if (w.cloaked) return;
    w.cloaked = true;
    raise(events, EVENT_OBJECT_CLOAKED, w);
  });
}

bool uncloak(HWND hwnd) {
  return withWindow(hwnd, [](State &, Window &w, Changes &events) {
    if (!w.cloaked) return;
    w.cloaked = false;
    raise(events, EVENT_OBJECT_UNCLOAKED, w);
  });
}

bool destroy(HWND hwnd) {
  return store().modify([&](State &s, Changes &events) {
    if (!findWindow(s, hwnd)) return false;
    // The window, its children and the windows it owns go, each with its own event.
    std::vector<uint64_t> doomed{reinterpret_cast<uint64_t>(hwnd)};
    for (size_t i = 0; i < doomed.size() && doomed.size() < 100000; ++i) {
      for (const auto &e : s.windows) {
        if ((e.second.parent == doomed[i] || e.second.owner == doomed[i]) &&
            std::find(doomed.begin(), doomed.end(), e.first) == doomed.end())
          doomed.push_back(e.first);
      }
    }
    for (uint64_t h : doomed) {
      auto it = s.windows.find(h);
      if (it == s.windows.end()) continue;
      raise(events, EVENT_OBJECT_DESTROY, it->second);
      s.windows.erase(it);
      if (s.shell == h) s.shell = 0;
    }
    return true;
  });
}

bool setNormalRect(HWND hwnd, const RECT &rect) {
  return withWindow(hwnd, [&](State &, Window &w, Changes &events) {
    w.normal = rect;
    raise(events, EVENT_OBJECT_LOCATIONCHANGE, w);
  });
}

bool setStyle(HWND hwnd, DWORD style, DWORD exStyle) {
  return withWindow(hwnd, [&](State &, Window &w, Changes &events) {
    const bool visible = (style & WS_VISIBLE) != 0;
    w.style = (style & ~static_cast<DWORD>(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE)) | (w.parent ? WS_CHILD : 0);
    w.exStyle = exStyle;
    if (visible != w.visible) {
      w.visible = visible;
      raise(events, visible ? EVENT_OBJECT_SHOW : EVENT_OBJECT_HIDE, w);
    }
  });
}

bool setTitle(HWND hwnd, const std::u16string &title) {
  return withWindow(hwnd, [&](State &, Window &w, Changes &events) {
    w.title = title;
    raise(events, EVENT_OBJECT_NAMECHANGE, w);
  });
}

void setShellWindow(HWND hwnd) {
  store().modify([&](State &s, Changes &) {
    s.shell = reinterpret_cast<uint64_t>(hwnd);
    return true;
  });
}

void injectEvent(DWORD event, HWND hwnd, LONG idObject, LONG idChild, DWORD sourcePid) {
  store().modify([&](State &s, Changes &events) {
    Window w;
    if (const Window *found = findWindow(s, hwnd)) w = *found;
    w.hwnd = reinterpret_cast<uint64_t>(hwnd);
    raise(events, event, w, idObject, sourcePid);
    events.events.back().idChild = idChild;
    return true;
  });
}

WindowState windowState(HWND hwnd) {
  return store().read([&](const State &s) {
    WindowState st;
    const Window *w = findWindow(s, hwnd);
    if (!w) return st;
    st.exists = true;
    st.pid = w->pid;
    st.style = fullStyle(*w);
    st.normal = w->normal;
    st.windowRect = windowRect(s, *w);
    st.show = static_cast<Show>(w->show);
    st.visible = w->visible;
    st.cloaked = w->cloaked;
    st.placement = placementOf(s, *w);
    st.monitor = toHandle(monitorOfWindow(s, *w, MONITOR_DEFAULTTONEAREST));
    return st;
  });
}

std::vector<HWND> windows() {
  return store().read([](const State &s) {
    std::vector<HWND> list;
    for (const auto &e : s.windows) list.push_back(reinterpret_cast<HWND>(static_cast<uintptr_t>(e.first)));
    return list;
  });
}

namespace {
PlacementRecord toRecord(const Placement &p) {
  PlacementRecord r;
  r.hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(p.hwnd));
  r.flags = p.flags;
  r.showCmd = p.showCmd;
  r.rcNormalPosition = p.rc;
  r.normalAfter = p.normalAfter;
  r.showAfter = static_cast<Show>(p.showAfter);
  r.visibleAfter = p.visibleAfter != 0;
  return r;
}
} // namespace

std::vector<PlacementRecord> placements() {
  Store &st = store();
  auto range = st.read([](const State &s) { return std::make_pair(s.placementBase, s.placementCount); });
  std::vector<PlacementRecord> list;
  for (const Placement &p : st.readPlacements(range.first, range.second)) list.push_back(toRecord(p));
  return list;
}

uint64_t placementCount() {
  return store().read([](const State &s) { return s.placementCount - s.placementBase; });
}

std::vector<PlacementRecord> placementsOf(HWND hwnd) {
  std::vector<PlacementRecord> all = placements();
  all.erase(std::remove_if(all.begin(), all.end(), [&](const PlacementRecord &r) { return r.hwnd != hwnd; }),
            all.end());
  return all;
}

} // namespace desktop
} // namespace emu
