// Windows of the calling process: class registration, creation, showing and destruction, the cursor's position, and
// message retrieval, which here only runs the thread's out-of-context hooks (no window messages are made).
#include "desktop/store.h"

#include "emu/emu.h"

#include <QChar>

#include <map>
#include <mutex>

#ifndef ERROR_CLASS_ALREADY_EXISTS
#define ERROR_CLASS_ALREADY_EXISTS 1410
#endif
#ifndef ERROR_CANNOT_FIND_WND_CLASS
#define ERROR_CANNOT_FIND_WND_CLASS 1407
#endif
#ifndef ERROR_TLW_WITH_WSCHILD
#define ERROR_TLW_WITH_WSCHILD 1406
#endif

using namespace emu::desktop;
using namespace emu::desktop::detail;

namespace {

// Classes are per process; names compare without case.
std::mutex g_classMutex;
std::map<std::u16string, std::string> *g_classes = new std::map<std::u16string, std::string>;
ATOM g_nextAtom = 0xC000;

std::u16string folded(LPCWSTR name) {
  std::u16string out;
  for (; *name; ++name) out.push_back(static_cast<char16_t>(QChar::toLower(static_cast<char32_t>(*name))));
  return out;
}

std::u16string text(LPCWSTR s) { return s ? std::u16string(reinterpret_cast<const char16_t *>(s)) : std::u16string(); }

} // namespace

extern "C" ATOM WINAPI RegisterClassW(const WNDCLASSW *lpWndClass) {
  DESKTOP_ENTER("RegisterClassW", 0);
  if (!lpWndClass || !lpWndClass->lpszClassName || !*lpWndClass->lpszClassName || !lpWndClass->lpfnWndProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(g_classMutex);
  auto inserted = g_classes->emplace(folded(lpWndClass->lpszClassName), emu::toUtf8(lpWndClass->lpszClassName));
  if (!inserted.second) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  return g_nextAtom++;
}

extern "C" LRESULT WINAPI DefWindowProcW(HWND, UINT, WPARAM, LPARAM) { return 0; }

// Owned by the caller's thread; a child's rectangle is taken relative to its parent's top-left corner.
extern "C" HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                                       int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU, HINSTANCE,
                                       LPVOID) {
  DESKTOP_ENTER("CreateWindowExW", nullptr);
  WindowSpec spec;
  {
    std::lock_guard<std::mutex> lock(g_classMutex);
    auto it = lpClassName ? g_classes->find(folded(lpClassName)) : g_classes->end();
    if (it == g_classes->end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    spec.className = it->second;
  }
  if ((dwStyle & WS_CHILD) && !hWndParent) {
    SetLastError(ERROR_TLW_WITH_WSCHILD);
    return nullptr;
  }
  RECT rect{X, Y, X + nWidth, Y + nHeight};
  if (hWndParent) {
    // The owner of a top-level window is the top-level window of the one named.
    bool found = store().read([&](const State &s) {
      const Window *w = findWindow(s, hWndParent);
      if (!w) return false;
      if (dwStyle & WS_CHILD) {
        rect = offsetRect(rect, w->normal.left, w->normal.top);
        return true;
      }
      for (int depth = 0; w->parent && depth < 256; ++depth) {
        const Window *up = findWindow(s, reinterpret_cast<HWND>(static_cast<uintptr_t>(w->parent)));
        if (!up) break;
        w = up;
      }
      hWndParent = reinterpret_cast<HWND>(static_cast<uintptr_t>(w->hwnd));
      return true;
    });
    if (!found) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
  }
  spec.pid = GetCurrentProcessId();
  spec.tid = GetCurrentThreadId();
  spec.title = text(lpWindowName);
  spec.style = dwStyle;
  spec.exStyle = dwExStyle;
  spec.parent = (dwStyle & WS_CHILD) ? hWndParent : nullptr;
  spec.owner = (dwStyle & WS_CHILD) ? nullptr : hWndParent;
  spec.rect = rect;
  spec.show = (dwStyle & WS_MINIMIZE) ? Show::Minimized : (dwStyle & WS_MAXIMIZE) ? Show::Maximized : Show::Normal;
  spec.dpiAwareness = DPI_AWARENESS_CONTEXT_UNAWARE; // a process that sets no awareness is unaware
  HWND hwnd = createWindow(spec);
  if (!hwnd) SetLastError(ERROR_INVALID_WINDOW_HANDLE); // the parent went away meanwhile
  return hwnd;
}

// Only the thread that created a window destroys it; its children and owned windows go with it.
extern "C" BOOL WINAPI DestroyWindow(HWND hWnd) {
  DESKTOP_ENTER("DestroyWindow", FALSE);
  DWORD error = 0;
  store().read([&](const State &s) {
    const Window *w = findWindow(s, hWnd);
    if (!w)
      error = ERROR_INVALID_WINDOW_HANDLE;
    else if (w->pid != GetCurrentProcessId() || w->tid != GetCurrentThreadId())
      error = ERROR_ACCESS_DENIED;
    return true;
  });
  if (!error && !destroy(hWnd)) error = ERROR_INVALID_WINDOW_HANDLE;
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

// The show state changes as SetWindowPlacement with that command and the window's own rectangle would change it,
// without a placement record. Returns whether the window was visible before.
extern "C" BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  DESKTOP_ENTER("ShowWindow", FALSE);
  if (nCmdShow < SW_HIDE || nCmdShow > SW_FORCEMINIMIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool wasVisible = false;
  const bool found = store().modify([&](State &s, Changes &changes) {
    Window *w = findWindow(s, hWnd);
    if (!w) return false;
    wasVisible = w->visible;
    WINDOWPLACEMENT p = placementOf(s, *w);
    p.showCmd = static_cast<UINT>(nCmdShow);
    p.flags = 0;
    const RECT normal = w->normal; // the workspace round trip must not move it
    applyPlacement(s, changes, *w, p);
    w->normal = normal;
    changes.placements.pop_back();
    return true;
  });
  if (!found) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return wasVisible ? TRUE : FALSE;
}

extern "C" BOOL WINAPI SetCursorPos(int X, int Y) {
  DESKTOP_ENTER("SetCursorPos", FALSE);
  setCursor(POINT{X, Y});
  return TRUE;
}

// No window messages are made here: retrieval runs the thread's hook procedures for the events queued for them and
// finds nothing else.
extern "C" BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND, UINT, UINT, UINT) {
  DESKTOP_ENTER("PeekMessageW", FALSE);
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  deliverOnMessageRetrieval();
  return FALSE;
}

extern "C" BOOL WINAPI TranslateMessage(const MSG *) { return FALSE; }

extern "C" LRESULT WINAPI DispatchMessageW(const MSG *) { return 0; }
