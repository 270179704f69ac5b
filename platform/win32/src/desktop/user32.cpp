// user32 window, monitor, cursor and placement calls, shcore's GetDpiForMonitor, and the process image path of the
// desktop's processes, all read from the shared desktop at call time.
#include "desktop/store.h"

#include "emu/emu.h"

#include <QChar>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413
#endif

using namespace emu::desktop;
using namespace emu::desktop::detail;

namespace {

HWND toHwnd(uint64_t v) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(v)); }

bool isDesktop(HWND hwnd) { return reinterpret_cast<uintptr_t>(hwnd) == kDesktopHwnd; }

// The desktop window as a window record: visible, spanning the primary monitor, owned by no process.
Window desktopWindow(const State &s) {
  Window w;
  w.hwnd = kDesktopHwnd;
  w.cls = "#32769";
  w.style = WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  w.visible = true;
  if (const Monitor *m = primaryMonitor(s)) w.normal = m->rc;
  return w;
}

// Copies the window record (or fails with ERROR_INVALID_WINDOW_HANDLE) so no lock is held afterwards.
bool lookup(HWND hwnd, Window &out, State *whole = nullptr) {
  bool found = store().read([&](const State &s) {
    if (isDesktop(hwnd)) {
      out = desktopWindow(s);
    } else if (const Window *w = findWindow(s, hwnd)) {
      out = *w;
    } else {
      return false;
    }
    if (whole) *whole = s;
    return true;
  });
  if (!found) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return found;
}

template <class Text, class Char> int copyText(const Text &text, Char *buffer, int max) {
  if (!buffer || max <= 0) return 0;
  int n = std::min<int>(static_cast<int>(text.size()), max - 1);
  std::memcpy(buffer, text.data(), static_cast<size_t>(n) * sizeof(Char));
  buffer[n] = 0;
  return n;
}

// Values GetWindowDpiAwarenessContext hands out: not the pseudo-handles, as on Windows.
constexpr uintptr_t kContextValues[5] = {0x6010, 0x9011, 0x12, 0x22, 0x40006010};

int normaliseContext(DPI_AWARENESS_CONTEXT c) {
  intptr_t v = reinterpret_cast<intptr_t>(c);
  if (v >= -5 && v <= -1) return static_cast<int>(v);
  for (int i = 0; i < 5; ++i)
    if (static_cast<uintptr_t>(v) == kContextValues[i]) return -(i + 1);
  return 0;
}

} // namespace

// --- window queries -----------------------------------------------------------------------------

extern "C" BOOL WINAPI IsWindow(HWND hWnd) {
  DESKTOP_ENTER("IsWindow", FALSE);
  Window w;
  return lookup(hWnd, w) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsIconic(HWND hWnd) {
  DESKTOP_ENTER("IsIconic", FALSE);
  Window w;
  return lookup(hWnd, w) && w.show == static_cast<uint8_t>(Show::Minimized) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsZoomed(HWND hWnd) {
  DESKTOP_ENTER("IsZoomed", FALSE);
  Window w;
  return lookup(hWnd, w) && w.show == static_cast<uint8_t>(Show::Maximized) ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsWindowVisible(HWND hWnd) {
  DESKTOP_ENTER("IsWindowVisible", FALSE);
  if (isDesktop(hWnd)) return TRUE;
  return store().read([&](const State &s) {
    const Window *w = findWindow(s, hWnd);
    return (w && isVisibleChain(s, *w)) ? TRUE : FALSE;
  });
}

namespace {

// Both GetWindowLong forms; the owner or parent only for the pointer-sized one (it does not fit a LONG on Win64).
LONG_PTR windowLong(HWND hWnd, int index, bool pointerSized) {
  Window w;
  if (!lookup(hWnd, w)) return 0;
  switch (index) {
  case GWL_STYLE:
    return static_cast<LONG>(fullStyle(w));
  case GWL_EXSTYLE:
    return static_cast<LONG>(w.exStyle);
  case GWLP_ID:
    return 0;
  case GWLP_HWNDPARENT:
    if (pointerSized) return static_cast<LONG_PTR>(w.parent ? w.parent : w.owner);
    [[fallthrough]];
  default:
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
}

} // namespace

extern "C" LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex) {
  DESKTOP_ENTER("GetWindowLongPtrW", 0);
  return windowLong(hWnd, nIndex, true);
}

extern "C" LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex) {
  DESKTOP_ENTER("GetWindowLongW", 0);
  return static_cast<LONG>(windowLong(hWnd, nIndex, false));
}

extern "C" HWND WINAPI GetAncestor(HWND hwnd, UINT gaFlags) {
  DESKTOP_ENTER("GetAncestor", nullptr);
  if (isDesktop(hwnd)) return nullptr;
  HWND result = nullptr;
  bool found = store().read([&](const State &s) {
    const Window *w = findWindow(s, hwnd);
    if (!w) return false;
    if (gaFlags == GA_PARENT) {
      result = w->parent ? toHwnd(w->parent) : reinterpret_cast<HWND>(kDesktopHwnd);
      return true;
    }
    const Window *root = w;
    for (int depth = 0; root->parent && depth < 256; ++depth) {
      const Window *up = findWindow(s, toHwnd(root->parent));
      if (!up) break;
      root = up;
    }
    if (gaFlags == GA_ROOTOWNER) {
      for (int depth = 0; root->owner && depth < 256; ++depth) {
        const Window *up = findWindow(s, toHwnd(root->owner));
        if (!up) break;
        root = up;
      }
    }
    result = toHwnd(root->hwnd);
    return true;
  });
  if (!found) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return result;
}

extern "C" HWND WINAPI GetParent(HWND hWnd) {
  DESKTOP_ENTER("GetParent", nullptr);
  Window w;
  if (!lookup(hWnd, w)) return nullptr;
  // Windows returns the owner for a top-level window, the parent for a child.
  return toHwnd(w.parent ? w.parent : w.owner);
}

extern "C" HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
  DESKTOP_ENTER("GetWindow", nullptr);
  HWND result = nullptr;
  bool found = store().read([&](const State &s) {
    const Window *w = findWindow(s, hWnd);
    if (!w && !isDesktop(hWnd)) return false;
    const uint64_t self = reinterpret_cast<uint64_t>(hWnd);
    const uint64_t parent = w ? w->parent : UINT64_MAX; // the desktop has no siblings
    std::vector<uint64_t> siblings, children;
    for (const auto &e : s.windows) {
      uint64_t p = e.second.parent ? e.second.parent : kDesktopHwnd;
      if (w && e.second.parent == parent) siblings.push_back(e.first);
      if (p == self) children.push_back(e.first);
    }
    auto at = std::find(siblings.begin(), siblings.end(), self);
    switch (uCmd) {
    case GW_OWNER:
      result = w ? toHwnd(w->owner) : nullptr;
      break;
    case GW_CHILD:
      result = children.empty() ? nullptr : toHwnd(children.front());
      break;
    case GW_HWNDFIRST:
      result = siblings.empty() ? nullptr : toHwnd(siblings.front());
      break;
    case GW_HWNDLAST:
      result = siblings.empty() ? nullptr : toHwnd(siblings.back());
      break;
    case GW_HWNDNEXT:
      result = (at != siblings.end() && at + 1 != siblings.end()) ? toHwnd(*(at + 1)) : nullptr;
      break;
    case GW_HWNDPREV:
      result = (at != siblings.end() && at != siblings.begin()) ? toHwnd(*(at - 1)) : nullptr;
      break;
    default:
      break;
    }
    return true;
  });
  if (!found) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return result;
}

extern "C" BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  DESKTOP_ENTER("GetWindowRect", FALSE);
  if (!lpRect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return store().read([&](const State &s) {
    Window desk;
    const Window *w = isDesktop(hWnd) ? &(desk = desktopWindow(s)) : findWindow(s, hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    *lpRect = windowRect(s, *w);
    return TRUE;
  });
}

namespace {

// Both forms of GetClassName: the class name, as the caller's character type, into its buffer.
template <class Char, class Convert> int className(HWND hWnd, Char *buffer, int max, Convert convert) {
  Window w;
  if (!lookup(hWnd, w)) return 0;
  if (!buffer || max <= 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return copyText(convert(w.cls), buffer, max);
}

} // namespace

extern "C" int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
  DESKTOP_ENTER("GetClassNameA", 0);
  return className(hWnd, lpClassName, nMaxCount, [](const std::string &cls) { return cls; });
}

extern "C" int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount) {
  DESKTOP_ENTER("GetClassNameW", 0);
  return className(hWnd, lpClassName, nMaxCount, [](const std::string &cls) { return emu::toUtf16(cls); });
}

// Another process's window: the stored caption is copied without asking that process, as Windows does.
extern "C" int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  DESKTOP_ENTER("GetWindowTextW", 0);
  Window w;
  if (!lookup(hWnd, w)) {
    if (lpString && nMaxCount > 0) lpString[0] = 0;
    return 0;
  }
  return copyText(w.title, lpString, nMaxCount);
}

extern "C" int WINAPI GetWindowTextLengthW(HWND hWnd) {
  DESKTOP_ENTER("GetWindowTextLengthW", 0);
  Window w;
  return lookup(hWnd, w) ? static_cast<int>(w.title.size()) : 0;
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  DESKTOP_ENTER("GetWindowThreadProcessId", 0);
  Window w;
  if (!lookup(hWnd, w)) return 0;
  if (lpdwProcessId) *lpdwProcessId = w.pid;
  return isDesktop(hWnd) ? 1 : w.tid;
}

namespace {

// Every descendant of parent, depth first, children in z-order.
void descendants(const State &s, uint64_t parent, std::vector<uint64_t> &out, int depth = 0) {
  if (depth > 256) return;
  for (const auto &e : s.windows) {
    if (e.second.parent == parent) {
      out.push_back(e.first);
      descendants(s, e.first, out, depth + 1);
    }
  }
}

} // namespace

extern "C" BOOL WINAPI EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam) {
  DESKTOP_ENTER("EnumChildWindows", FALSE);
  if (!lpEnumFunc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<uint64_t> list;
  bool found = store().read([&](const State &s) {
    if (hWndParent == nullptr || isDesktop(hWndParent)) {
      for (const auto &e : s.windows)
        if (e.second.parent == 0) list.push_back(e.first);
      return true;
    }
    if (!findWindow(s, hWndParent)) return false;
    descendants(s, reinterpret_cast<uint64_t>(hWndParent), list);
    return true;
  });
  if (!found) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  // The callback runs with no lock held: it may call anything, the desktop may change meanwhile.
  for (uint64_t h : list)
    if (!lpEnumFunc(toHwnd(h), lParam)) break;
  return TRUE;
}

extern "C" BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
  DESKTOP_ENTER("EnumWindows", FALSE);
  if (!lpEnumFunc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<uint64_t> list = store().read([](const State &s) {
    std::vector<uint64_t> l;
    for (const auto &e : s.windows)
      if (e.second.parent == 0) l.push_back(e.first);
    return l;
  });
  for (uint64_t h : list)
    if (!lpEnumFunc(toHwnd(h), lParam)) break;
  return TRUE;
}

extern "C" HWND WINAPI GetDesktopWindow(void) { return reinterpret_cast<HWND>(kDesktopHwnd); }

extern "C" HWND WINAPI GetShellWindow(void) {
  return store().read([](const State &s) { return findWindow(s, toHwnd(s.shell)) ? toHwnd(s.shell) : nullptr; });
}

extern "C" DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength) {
  if (!lpsz) return 0;
  for (DWORD i = 0; i < cchLength; ++i) {
    char16_t c = lpsz[i];
    if (c >= 0xD800 && c <= 0xDFFF) continue; // surrogate halves stay as they are
    lpsz[i] = static_cast<char16_t>(QChar::toUpper(static_cast<char32_t>(c)));
  }
  return cchLength;
}

// --- cursor and monitors ------------------------------------------------------------------------

extern "C" BOOL WINAPI GetCursorPos(LPPOINT lpPoint) {
  DESKTOP_ENTER("GetCursorPos", FALSE);
  if (!lpPoint) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpPoint = store().read([](const State &s) { return s.cursor; });
  return TRUE;
}

extern "C" HMONITOR WINAPI MonitorFromPoint(POINT pt, DWORD dwFlags) {
  DESKTOP_ENTER("MonitorFromPoint", nullptr);
  return store().read([&](const State &s) { return toHandle(monitorFromPoint(s, pt, dwFlags)); });
}

extern "C" HMONITOR WINAPI MonitorFromRect(LPCRECT lprc, DWORD dwFlags) {
  DESKTOP_ENTER("MonitorFromRect", nullptr);
  if (!lprc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return store().read([&](const State &s) { return toHandle(monitorFromRect(s, *lprc, dwFlags)); });
}

extern "C" HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD dwFlags) {
  DESKTOP_ENTER("MonitorFromWindow", nullptr);
  return store().read([&](const State &s) -> HMONITOR {
    if (isDesktop(hwnd)) return toHandle(primaryMonitor(s));
    const Window *w = findWindow(s, hwnd);
    if (!w) {
      if (hwnd) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return dwFlags == MONITOR_DEFAULTTONULL ? nullptr : toHandle(primaryMonitor(s));
    }
    return toHandle(monitorOfWindow(s, *w, dwFlags));
  });
}

extern "C" BOOL WINAPI GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  DESKTOP_ENTER("GetMonitorInfoW", FALSE);
  if (!lpmi || (lpmi->cbSize != sizeof(MONITORINFO) && lpmi->cbSize != sizeof(MONITORINFOEXW))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return store().read([&](const State &s) {
    const Monitor *m = fromHandle(s, hMonitor);
    if (!m) {
      SetLastError(ERROR_INVALID_MONITOR_HANDLE);
      return FALSE;
    }
    lpmi->rcMonitor = m->rc;
    lpmi->rcWork = m->work;
    lpmi->dwFlags = m->primary || m == primaryMonitor(s) ? MONITORINFOF_PRIMARY : 0;
    if (lpmi->cbSize == sizeof(MONITORINFOEXW)) {
      std::u16string name = emu::toUtf16("\\\\.\\DISPLAY" + std::to_string(m->id));
      copyText(name, static_cast<LPMONITORINFOEXW>(lpmi)->szDevice, CCHDEVICENAME);
    }
    return TRUE;
  });
}

extern "C" BOOL WINAPI EnumDisplayMonitors(HDC hdc, LPCRECT lprcClip, MONITORENUMPROC lpfnEnum, LPARAM dwData) {
  DESKTOP_ENTER("EnumDisplayMonitors", FALSE);
  if (!lpfnEnum || hdc) { // no device contexts on this desktop
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::pair<HMONITOR, RECT>> list = store().read([&](const State &s) {
    std::vector<std::pair<HMONITOR, RECT>> l;
    for (const Monitor &m : s.monitors) {
      if (lprcClip && overlap(*lprcClip, m.rc) == 0) continue;
      l.emplace_back(toHandle(&m), m.rc);
    }
    return l;
  });
  for (auto &entry : list)
    if (!lpfnEnum(entry.first, nullptr, &entry.second, dwData)) break;
  return TRUE;
}

extern "C" HRESULT WINAPI GetDpiForMonitor(HMONITOR hmonitor, MONITOR_DPI_TYPE dpiType, UINT *dpiX, UINT *dpiY) {
  detail::CallClock clock;
  detail::runTriggers("GetDpiForMonitor");
  if (DWORD code = emu::failureFor("GetDpiForMonitor")) return HRESULT_FROM_WIN32(code);
  if (!dpiX || !dpiY || dpiType < MDT_EFFECTIVE_DPI || dpiType > MDT_RAW_DPI) return E_INVALIDARG;
  return store().read([&](const State &s) {
    const Monitor *m = fromHandle(s, hmonitor);
    if (!m) return E_INVALIDARG;
    *dpiX = *dpiY = m->dpi;
    return S_OK;
  });
}

extern "C" DPI_AWARENESS_CONTEXT WINAPI GetWindowDpiAwarenessContext(HWND hwnd) {
  DESKTOP_ENTER("GetWindowDpiAwarenessContext", nullptr);
  Window w;
  if (!lookup(hwnd, w)) return nullptr;
  int a = (w.dpiAwareness >= -5 && w.dpiAwareness <= -1) ? w.dpiAwareness : -1;
  return reinterpret_cast<DPI_AWARENESS_CONTEXT>(kContextValues[-a - 1]);
}

extern "C" BOOL WINAPI AreDpiAwarenessContextsEqual(DPI_AWARENESS_CONTEXT a, DPI_AWARENESS_CONTEXT b) {
  detail::CallClock clock;
  int x = normaliseContext(a), y = normaliseContext(b);
  return (x != 0 && x == y) ? TRUE : FALSE;
}

// --- placements ---------------------------------------------------------------------------------

extern "C" BOOL WINAPI GetWindowPlacement(HWND hWnd, WINDOWPLACEMENT *lpwndpl) {
  DESKTOP_ENTER("GetWindowPlacement", FALSE);
  if (!lpwndpl || lpwndpl->length != sizeof(WINDOWPLACEMENT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return store().read([&](const State &s) {
    const Window *w = findWindow(s, hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    *lpwndpl = placementOf(s, *w);
    return TRUE;
  });
}

namespace emu {
namespace desktop {
namespace detail {

// A rectangle off every monitor moved into the nearest monitor's work area, its size kept where it fits.
RECT ontoNearestMonitor(const State &s, const RECT &r) {
  const Monitor *m = monitorFromRect(s, r, MONITOR_DEFAULTTONEAREST);
  if (!m) return r;
  auto axis = [](LONG low, LONG high, LONG workLow, LONG workHigh, LONG &outLow, LONG &outHigh) {
    const int64_t length = int64_t(high) - low;
    int64_t start = (std::min<int64_t>)((std::max<int64_t>)(low, workLow), int64_t(workHigh) - length);
    start = (std::max<int64_t>)(start, workLow);
    outLow = static_cast<LONG>(start);
    outHigh = static_cast<LONG>((std::min<int64_t>)(start + length, INT32_MAX));
  };
  RECT out;
  axis(r.left, r.right, m->work.left, m->work.right, out.left, out.right);
  axis(r.top, r.bottom, m->work.top, m->work.bottom, out.top, out.bottom);
  return out;
}

void applyPlacement(State &s, Changes &events, Window &w, const WINDOWPLACEMENT &p) {
  const Window before = w;
  w.normal = usesWorkspace(w) ? workspaceToScreen(s, p.rcNormalPosition) : p.rcNormalPosition;
  // "the system will automatically adjust the coordinates so that the window is visible" (top-level windows)
  if (!w.parent && !monitorFromRect(s, w.normal, MONITOR_DEFAULTTONULL)) w.normal = ontoNearestMonitor(s, w.normal);
  const bool minimizedBefore = before.show == static_cast<uint8_t>(Show::Minimized);
  const bool maximizedBefore = before.show == static_cast<uint8_t>(Show::Maximized);
  switch (p.showCmd) {
  case SW_HIDE:
    w.visible = false;
    break;
  case SW_SHOWMINIMIZED:
  case SW_MINIMIZE:
  case SW_SHOWMINNOACTIVE:
  case SW_FORCEMINIMIZE:
    // The flag counts with SW_SHOWMINIMIZED only; without it the window restores as it would have anyway.
    w.restoreToMaximized = (p.showCmd == SW_SHOWMINIMIZED && (p.flags & WPF_RESTORETOMAXIMIZED)) ||
                           maximizedBefore || (minimizedBefore && before.restoreToMaximized);
    w.show = static_cast<uint8_t>(Show::Minimized);
    w.visible = true;
    break;
  case SW_SHOWMAXIMIZED:
    w.show = static_cast<uint8_t>(Show::Maximized);
    w.visible = true;
    break;
  case SW_RESTORE:
    // Back to where the window was before it was minimized; a maximized window to its normal rectangle.
    w.show = static_cast<uint8_t>((minimizedBefore && before.restoreToMaximized) ? Show::Maximized : Show::Normal);
    w.visible = true;
    break;
  case SW_SHOW:
  case SW_SHOWNA:
    w.visible = true;
    break;
  default: // SW_SHOWNORMAL, SW_SHOWNOACTIVATE, SW_SHOWDEFAULT
    w.show = static_cast<uint8_t>(Show::Normal);
    w.visible = true;
    break;
  }
  if (w.show != static_cast<uint8_t>(Show::Minimized)) w.restoreToMaximized = false;
  if (!before.visible && w.visible) raise(events, EVENT_OBJECT_SHOW, w);
  if (before.visible && !w.visible) raise(events, EVENT_OBJECT_HIDE, w);
  if (!minimizedBefore && w.show == static_cast<uint8_t>(Show::Minimized)) raise(events, EVENT_SYSTEM_MINIMIZESTART, w);
  if (minimizedBefore && w.show != static_cast<uint8_t>(Show::Minimized)) raise(events, EVENT_SYSTEM_MINIMIZEEND, w);
  if (std::memcmp(&before.normal, &w.normal, sizeof(RECT)) != 0 || before.show != w.show)
    raise(events, EVENT_OBJECT_LOCATIONCHANGE, w);
  Placement rec;
  rec.hwnd = w.hwnd;
  rec.flags = p.flags;
  rec.showCmd = p.showCmd;
  rec.rc = p.rcNormalPosition;
  rec.normalAfter = w.normal;
  rec.showAfter = w.show;
  rec.visibleAfter = w.visible ? 1 : 0;
  events.placements.push_back(rec);
}

void drainPosted(State &s, Changes &changes, uint32_t tid) {
  std::vector<Posted> kept;
  for (const Posted &p : s.posted) {
    if (p.tid != tid) {
      kept.push_back(p);
    } else if (Window *w = findWindow(s, toHwnd(p.hwnd))) {
      applyPlacement(s, changes, *w, p.placement);
    }
  }
  s.posted.swap(kept);
}

} // namespace detail
} // namespace desktop
} // namespace emu

extern "C" BOOL WINAPI SetWindowPlacement(HWND hWnd, const WINDOWPLACEMENT *lpwndpl) {
  DESKTOP_ENTER("SetWindowPlacement", FALSE);
  if (!lpwndpl || lpwndpl->length != sizeof(WINDOWPLACEMENT) || lpwndpl->showCmd > SW_FORCEMINIMIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const WINDOWPLACEMENT p = *lpwndpl;
  const DWORD callerPid = GetCurrentProcessId(), callerTid = GetCurrentThreadId();
  for (;;) {
    DWORD error = 0;
    bool mustWait = false;
    store().modify([&](State &s, Changes &events) {
      Window *w = findWindow(s, hWnd);
      if (!w) {
        error = ERROR_INVALID_WINDOW_HANDLE;
        return false;
      }
      auto proc = s.processes.find(w->pid);
      if (proc != s.processes.end() && proc->second.elevated) { // a higher integrity level: UIPI refuses
        error = ERROR_ACCESS_DENIED;
        return false;
      }
      const bool otherQueue = w->pid != callerPid || w->tid != callerTid;
      if (otherQueue && s.stalledThreads.count(w->tid)) {
        if (p.flags & WPF_ASYNCWINDOWPLACEMENT) {
          s.posted.push_back(Posted{w->tid, w->hwnd, p}); // handled when the thread runs its loop again
          return true;
        }
        mustWait = true;
        return false;
      }
      applyPlacement(s, events, *w, p); // a thread that runs its loop handles a posted request at once too
      return true;
    });
    if (error) {
      SetLastError(error);
      return FALSE;
    }
    if (!mustWait) return TRUE;
    // Sent to a thread that does not run its loop: the caller waits for it, as for any window of a hung thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// --- the desktop's processes --------------------------------------------------------------------

bool emu::desktop::desktopProcessImage(DWORD pid, std::u16string *imagePath, bool *elevated) {
  detail::CallClock clock;
  // Asked about every id that names no live process: nothing is made for a machine whose desktop was never used.
  Store *desktop = existingStore();
  if (!desktop) return false;
  return desktop->read([&](const State &s) {
    auto it = s.processes.find(pid);
    if (it == s.processes.end()) return false;
    if (imagePath) *imagePath = it->second.path;
    if (elevated) *elevated = it->second.elevated;
    return true;
  });
}
