// Conformance program for the desktop and monitor calls of the window placement program: prints one line per
// observation, "desk: <call/case> -> <value>", compared with expected-desktop.txt (Windows' values). One source for
// the stand-in and the Windows SDK (mingw-w64, run under Wine): plain Win32, no stand-in header, no Qt.
//
// It runs on a desktop of two monitors side by side, 800x600 at (0,0) (primary) and 800x600 at (800,0).
//
// Modes (argv[1]):
//   (none)          run every area and print the observations
//   child windows   the other process whose windows the hooks see: creates its windows in two rounds, each ended by
//                   a hidden marker window and the event "<round> ready"; pumps messages between them; returns 0, or
//                   the number of the step that failed
#include <windows.h>

#include <shellscalingapi.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "observe.h"

namespace {

const DWORD kWaitMs = 10000;       // any wait for the other process; never reached when things work
const DWORD kChildWaitMs = 120000; // the other process outlasts every wait of the first one
const WCHAR kClass[] = TEXT("BrimvaultConformanceDesktopWindow");
const WCHAR kReady1[] = TEXT("BrimvaultConformanceDesktop-Ready1");
const WCHAR kGo[] = TEXT("BrimvaultConformanceDesktop-Go");
const WCHAR kReady2[] = TEXT("BrimvaultConformanceDesktop-Ready2");
const WCHAR kQuit[] = TEXT("BrimvaultConformanceDesktop-Quit");
HWND const kNoWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FFF0010)); // a handle never given out

WCHAR g_self[MAX_PATH];

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool registerClass() {
  WNDCLASSW wc;
  ZeroMemory(&wc, sizeof(wc));
  wc.lpfnWndProc = windowProc;
  wc.lpszClassName = kClass;
  return RegisterClassW(&wc) != 0;
}

HWND makeWindow(const WCHAR *title, DWORD style, int x, int y, int w, int h, HWND parent = nullptr,
                DWORD exStyle = 0) {
  return CreateWindowExW(exStyle, kClass, title, style, x, y, w, h, parent, nullptr, nullptr, nullptr);
}

// Handles what is queued for this thread: sent and posted messages, and the out-of-context window events of its
// hooks, which Windows delivers while the thread retrieves messages.
void pumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Pumps messages until the event is set or `limit` ms have passed; true when it was set.
bool pumpUntilSet(HANDLE event, DWORD limit = kWaitMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    pumpMessages();
    if (WaitForSingleObject(event, 5) == WAIT_OBJECT_0) return true;
    if (GetTickCount() - start > limit) return false;
  }
}

// Pumps messages until done() holds or kWaitMs has passed; done() at the end.
template <class F> bool pumpUntil(F done) {
  const DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start <= kWaitMs) {
    pumpMessages();
    Sleep(5);
  }
  return done();
}

// "x,y,x,y"
const char *rectText(const RECT &r) {
  static char text[4][64];
  static int next = 0;
  char *out = text[next++ % 4];
  snprintf(out, 64, "%ld,%ld,%ld,%ld", static_cast<long>(r.left), static_cast<long>(r.top),
           static_cast<long>(r.right), static_cast<long>(r.bottom));
  return out;
}

// Which of the two monitors a handle is: "left", "right", "NULL", or "other".
const char *monitorName(HMONITOR monitor) {
  if (!monitor) return "NULL";
  MONITORINFO info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) return "other";
  if (info.rcMonitor.left == 0 && info.rcMonitor.top == 0) return "left";
  if (info.rcMonitor.left == 800 && info.rcMonitor.top == 0) return "right";
  return "other";
}

// The windows the program made, by name, for printing a call's window result.
struct Named {
  HWND hwnd;
  const char *name;
};
Named g_named[8];
int g_namedCount = 0;

HWND named(HWND hwnd, const char *name) {
  if (hwnd && g_namedCount < 8) g_named[g_namedCount++] = Named{hwnd, name};
  return hwnd;
}

// A call's window result: "NULL err=<e>" (err given, 0 for none), or the window's name.
void sayWindow(const char *what, HWND got, DWORD err) {
  if (!got) return say(what, err ? "NULL err=%u" : "NULL", U(err));
  if (got == GetDesktopWindow()) return say(what, "desktop");
  for (int i = 0; i < g_namedCount; ++i)
    if (g_named[i].hwnd == got) return say(what, "%s", g_named[i].name);
  say(what, "another window");
}

WINDOWPLACEMENT placementOf(HWND hwnd, BOOL *ok) {
  WINDOWPLACEMENT p;
  ZeroMemory(&p, sizeof(p));
  p.length = sizeof(p);
  *ok = GetWindowPlacement(hwnd, &p);
  return p;
}

WINDOWPLACEMENT normalPlacement(const RECT &rect, UINT showCmd) {
  WINDOWPLACEMENT p;
  ZeroMemory(&p, sizeof(p));
  p.length = sizeof(p);
  p.showCmd = showCmd;
  p.ptMinPosition.x = p.ptMinPosition.y = -1;
  p.ptMaxPosition.x = p.ptMaxPosition.y = -1;
  p.rcNormalPosition = rect;
  return p;
}

// SetWindowPlacement of a normal rectangle; on failure prints "0 err=<e>" as `what` and returns false, so the caller
// prints what a success left.
bool place(HWND hwnd, const RECT &rect, UINT showCmd, const char *what) {
  WINDOWPLACEMENT p = normalPlacement(rect, showCmd);
  SetLastError(0xBEEF);
  if (SetWindowPlacement(hwnd, &p)) return true;
  say(what, "0 err=%u", U(GetLastError()));
  return false;
}

// --- monitors ----------------------------------------------------------------------------------------------------

struct MonitorList {
  HMONITOR handles[8];
  RECT rects[8];
  bool hdcNull[8];
  int count;
  int stopAfter; // the callback returns FALSE on this call (0: never)
};

BOOL CALLBACK listMonitor(HMONITOR monitor, HDC hdc, LPRECT rect, LPARAM data) {
  MonitorList *list = reinterpret_cast<MonitorList *>(data);
  if (list->count < 8) {
    list->handles[list->count] = monitor;
    list->rects[list->count] = rect ? *rect : RECT{-1, -1, -1, -1};
    list->hdcNull[list->count] = hdc == nullptr;
  }
  ++list->count;
  return list->stopAfter != list->count;
}

HMONITOR g_left = nullptr, g_right = nullptr;

void monitorArea() {
  MonitorList all;
  ZeroMemory(&all, sizeof(all));
  SetLastError(0xBEEF);
  BOOL ok = EnumDisplayMonitors(nullptr, nullptr, listMonitor, reinterpret_cast<LPARAM>(&all));
  // The page gives no order; the rectangles are reported sorted.
  int leftAt = -1, rightAt = -1;
  bool hdcNull = true;
  for (int i = 0; i < all.count && i < 8; ++i) {
    if (all.rects[i].left == 0) leftAt = i;
    if (all.rects[i].left == 800) rightAt = i;
    hdcNull = hdcNull && all.hdcNull[i];
  }
  if (leftAt >= 0) g_left = all.handles[leftAt];
  if (rightAt >= 0) g_right = all.handles[rightAt];
  sayBool("desk: EnumDisplayMonitors(NULL, NULL)", ok, "monitors=%d left=%s right=%s hdc NULL=%d", all.count,
          leftAt >= 0 ? rectText(all.rects[leftAt]) : "none", rightAt >= 0 ? rectText(all.rects[rightAt]) : "none",
          B(hdcNull));

  MonitorList clipped;
  ZeroMemory(&clipped, sizeof(clipped));
  RECT clip{900, 100, 1000, 200};
  SetLastError(0xBEEF);
  ok = EnumDisplayMonitors(nullptr, &clip, listMonitor, reinterpret_cast<LPARAM>(&clipped));
  sayBool("desk: EnumDisplayMonitors(NULL, clip inside the right monitor)", ok, "monitors=%d the right one=%d",
          clipped.count, B(clipped.count == 1 && clipped.handles[0] == g_right));

  MonitorList stopped;
  ZeroMemory(&stopped, sizeof(stopped));
  stopped.stopAfter = 1;
  EnumDisplayMonitors(nullptr, nullptr, listMonitor, reinterpret_cast<LPARAM>(&stopped));
  say("desk: EnumDisplayMonitors(callback returns FALSE at once) calls", "%d", stopped.count);

  // MONITORINFOEXW, as the program asks.
  MONITORINFOEXW ex;
  ZeroMemory(&ex, sizeof(ex));
  ex.cbSize = sizeof(ex);
  for (size_t i = 0; i < CCHDEVICENAME; ++i) ex.szDevice[i] = '?';
  ok = GetMonitorInfoW(g_left, reinterpret_cast<LPMONITORINFO>(&ex));
  RECT &w = ex.rcWork, &m = ex.rcMonitor;
  const bool workInside = w.left >= m.left && w.top >= m.top && w.right <= m.right && w.bottom <= m.bottom &&
                          w.right > w.left && w.bottom > w.top;
  const size_t nameLength = wideLength(ex.szDevice);
  say("desk: GetMonitorInfoW(left, MONITORINFOEXW)", ok ? "1 monitor=%s primary=%d work inside=%d device named=%d"
                                                         : "0",
      rectText(ex.rcMonitor), B(ex.dwFlags & MONITORINFOF_PRIMARY), B(workInside),
      B(nameLength > 0 && nameLength < CCHDEVICENAME && ex.szDevice[0] == '\\'));

  MONITORINFO plain;
  ZeroMemory(&plain, sizeof(plain));
  plain.cbSize = sizeof(plain);
  SetLastError(0xBEEF);
  ok = GetMonitorInfoW(g_right, &plain);
  sayBool("desk: GetMonitorInfoW(right, MONITORINFO)", ok, "monitor=%s primary=%d", rectText(plain.rcMonitor),
          B(plain.dwFlags & MONITORINFOF_PRIMARY));

  ZeroMemory(&plain, sizeof(plain));
  plain.cbSize = 0;
  SetLastError(0xBEEF);
  ok = GetMonitorInfoW(g_left, &plain);
  sayBool("desk: GetMonitorInfoW(cbSize 0)", ok);

  ZeroMemory(&plain, sizeof(plain));
  plain.cbSize = sizeof(plain) + 4;
  SetLastError(0xBEEF);
  ok = GetMonitorInfoW(g_left, &plain);
  sayBool("desk: GetMonitorInfoW(cbSize between the two structures)", ok);

  ZeroMemory(&plain, sizeof(plain));
  plain.cbSize = sizeof(plain);
  SetLastError(0xBEEF);
  ok = GetMonitorInfoW(nullptr, &plain);
  sayBool("desk: GetMonitorInfoW(NULL monitor)", ok);

  struct PointCase {
    const char *what;
    LONG x, y;
    DWORD flags;
  } points[] = {
      {"desk: MonitorFromPoint(100,100, NULL)", 100, 100, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromPoint(900,100, NULL)", 900, 100, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromPoint(799,599, NULL)", 799, 599, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromPoint(800,0, NULL)", 800, 0, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromPoint(1600,100 off-screen, NULL)", 1600, 100, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromPoint(2000,300 off-screen, NEAREST)", 2000, 300, MONITOR_DEFAULTTONEAREST},
      {"desk: MonitorFromPoint(2000,300 off-screen, PRIMARY)", 2000, 300, MONITOR_DEFAULTTOPRIMARY},
      {"desk: MonitorFromPoint(-100,-100 off-screen, NEAREST)", -100, -100, MONITOR_DEFAULTTONEAREST},
      {"desk: MonitorFromPoint(900,700 off-screen, NEAREST)", 900, 700, MONITOR_DEFAULTTONEAREST},
  };
  for (const PointCase &c : points) {
    POINT pt{c.x, c.y};
    say(c.what, "%s", monitorName(MonitorFromPoint(pt, c.flags)));
  }

  struct RectCase {
    const char *what;
    RECT rect;
    DWORD flags;
  } rects[] = {
      {"desk: MonitorFromRect(700,0,1000,100 mostly right, NULL)", {700, 0, 1000, 100}, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromRect(500,0,850,100 mostly left, NULL)", {500, 0, 850, 100}, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromRect(1700,0,1900,100 off-screen, NULL)", {1700, 0, 1900, 100}, MONITOR_DEFAULTTONULL},
      {"desk: MonitorFromRect(1700,0,1900,100 off-screen, NEAREST)", {1700, 0, 1900, 100}, MONITOR_DEFAULTTONEAREST},
      {"desk: MonitorFromRect(1700,0,1900,100 off-screen, PRIMARY)", {1700, 0, 1900, 100}, MONITOR_DEFAULTTOPRIMARY},
      {"desk: MonitorFromRect(-300,0,-100,100 off-screen, NEAREST)", {-300, 0, -100, 100}, MONITOR_DEFAULTTONEAREST},
  };
  for (const RectCase &c : rects) say(c.what, "%s", monitorName(MonitorFromRect(&c.rect, c.flags)));

  say("desk: MonitorFromWindow(NULL, PRIMARY)", "%s",
      monitorName(MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY)));
  say("desk: MonitorFromWindow(NULL, NULL)", "%s", monitorName(MonitorFromWindow(nullptr, MONITOR_DEFAULTTONULL)));

  UINT x = 0, y = 0;
  HRESULT hr = GetDpiForMonitor(g_right, MDT_EFFECTIVE_DPI, &x, &y);
  say("desk: GetDpiForMonitor(right, MDT_EFFECTIVE_DPI)", "0x%x x=%u y=%u", U(static_cast<DWORD>(hr)), x, y);
  x = y = 0;
  hr = GetDpiForMonitor(nullptr, MDT_EFFECTIVE_DPI, &x, &y);
  say("desk: GetDpiForMonitor(NULL monitor)", "0x%x", U(static_cast<DWORD>(hr)));
  hr = GetDpiForMonitor(g_left, static_cast<MONITOR_DPI_TYPE>(7), &x, &y);
  say("desk: GetDpiForMonitor(unknown type)", "0x%x", U(static_cast<DWORD>(hr)));
}

// --- cursor, desktop and shell -----------------------------------------------------------------------------------

void cursorArea() {
  SetLastError(0xBEEF);
  sayBool("desk: SetCursorPos(1000,300) set-up", SetCursorPos(1000, 300));
  POINT pt{-1, -1};
  SetLastError(0xBEEF);
  BOOL ok = GetCursorPos(&pt);
  sayBool("desk: GetCursorPos(after SetCursorPos)", ok, "at=%ld,%ld monitor=%s", static_cast<long>(pt.x), static_cast<long>(pt.y),
          monitorName(MonitorFromPoint(pt, MONITOR_DEFAULTTOPRIMARY)));

  HWND desktop = GetDesktopWindow();
  say("desk: GetDesktopWindow()", desktop ? "handle" : "NULL");
  char name[64];
  memset(name, 'x', sizeof(name));
  int n = GetClassNameA(desktop, name, sizeof(name));
  say("desk: GetClassNameA(desktop window)", "%d %s", n, n > 0 ? name : "");
  SetLastError(0xBEEF);
  sayWindow("desk: GetAncestor(desktop window, GA_PARENT)", GetAncestor(desktop, GA_PARENT), 0);
  say("desk: MonitorFromWindow(desktop window, NULL)", "%s",
      monitorName(MonitorFromWindow(desktop, MONITOR_DEFAULTTONULL)));
  say("desk: IsWindowVisible(desktop window)", "%d", B(IsWindowVisible(desktop)));
  HWND shell = GetShellWindow();
  say("desk: GetShellWindow(no shell runs in the session)", shell ? (shell == desktop ? "the desktop" : "a window")
                                                                  : "NULL");
}

// --- own windows -------------------------------------------------------------------------------------------------

struct ChildList {
  HWND seen[16];
  int count;
  int stopAfter;
};

BOOL CALLBACK listChild(HWND hwnd, LPARAM data) {
  ChildList *list = reinterpret_cast<ChildList *>(data);
  if (list->count < 16) list->seen[list->count] = hwnd;
  ++list->count;
  return list->stopAfter != list->count;
}

bool listed(const ChildList &list, HWND hwnd) {
  for (int i = 0; i < list.count && i < 16; ++i)
    if (list.seen[i] == hwnd) return true;
  return false;
}

// The pseudo-handle a window's DPI awareness context equals, by AreDpiAwarenessContextsEqual.
const char *awarenessName(DPI_AWARENESS_CONTEXT context) {
  struct {
    DPI_AWARENESS_CONTEXT value;
    const char *name;
  } known[] = {{DPI_AWARENESS_CONTEXT_UNAWARE, "UNAWARE"},
               {DPI_AWARENESS_CONTEXT_SYSTEM_AWARE, "SYSTEM_AWARE"},
               {DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE, "PER_MONITOR_AWARE"},
               {DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, "PER_MONITOR_AWARE_V2"},
               {DPI_AWARENESS_CONTEXT_UNAWARE_GDISCALED, "UNAWARE_GDISCALED"}};
  const char *found = "none";
  int matches = 0;
  for (const auto &k : known)
    if (AreDpiAwarenessContextsEqual(context, k.value)) found = k.name, ++matches;
  return matches > 1 ? "several" : found;
}

void windowArea() {
  SetLastError(0xBEEF);
  sayBool("desk: RegisterClassW set-up", registerClass());
  SetLastError(0xBEEF);
  const BOOL again = registerClass();
  sayBool("desk: RegisterClassW(class this process registered already)", again);
  SetLastError(0xBEEF);
  HWND unknown = CreateWindowExW(0, TEXT("BrimvaultConformanceNoSuchClass"), TEXT("x"), WS_OVERLAPPEDWINDOW, 0, 0,
                                 10, 10, nullptr, nullptr, nullptr, nullptr);
  say("desk: CreateWindowExW(class never registered)", unknown ? "handle" : "NULL err=%u", U(GetLastError()));

  SetLastError(0xBEEF);
  HWND top = named(makeWindow(TEXT("Conformance top"), WS_OVERLAPPEDWINDOW, 900, 100, 300, 200), "top");
  say("desk: CreateWindowExW(top-level, hidden) set-up", top ? "handle" : "NULL err=%u", U(GetLastError()));

  say("desk: IsWindowVisible(hidden window)", "%d", B(IsWindowVisible(top)));
  DWORD style = static_cast<DWORD>(GetWindowLongW(top, GWL_STYLE));
  say("desk: GetWindowLongW(hidden window, GWL_STYLE)", "visible=%d caption=%d thickframe=%d popup=%d child=%d",
      B(style & WS_VISIBLE), B((style & WS_CAPTION) == WS_CAPTION), B(style & WS_THICKFRAME), B(style & WS_POPUP),
      B(style & WS_CHILD));
  say("desk: ShowWindow(hidden window, SW_SHOWNORMAL) was visible", "%d", B(ShowWindow(top, SW_SHOWNORMAL)));
  say("desk: IsWindowVisible(shown window)", "%d", B(IsWindowVisible(top)));
  style = static_cast<DWORD>(GetWindowLongW(top, GWL_STYLE));
  say("desk: GetWindowLongW(shown window, GWL_STYLE) visible", "%d", B(style & WS_VISIBLE));
  DWORD exStyle = static_cast<DWORD>(GetWindowLongW(top, GWL_EXSTYLE));
  say("desk: GetWindowLongW(plain window, GWL_EXSTYLE) toolwindow", "%d", B(exStyle & WS_EX_TOOLWINDOW));
  SetLastError(0xBEEF);
  LONG value = GetWindowLongW(top, 0x4000);
  say("desk: GetWindowLongW(index past the extra bytes)", value ? "%ld" : "0 err=%u",
      value ? static_cast<unsigned>(value) : U(GetLastError()));
  SetLastError(0xBEEF);
  value = GetWindowLongW(kNoWindow, GWL_STYLE);
  say("desk: GetWindowLongW(invalid window)", value ? "%ld" : "0 err=%u",
      value ? static_cast<unsigned>(value) : U(GetLastError()));

  RECT rect{-1, -1, -1, -1};
  SetLastError(0xBEEF);
  BOOL ok = GetWindowRect(top, &rect);
  sayBool("desk: GetWindowRect(shown window)", ok, "%s", rectText(rect));
  SetLastError(0xBEEF);
  ok = GetWindowRect(kNoWindow, &rect);
  sayBool("desk: GetWindowRect(invalid window)", ok);
  say("desk: MonitorFromWindow(window on the right monitor, NULL)", "%s",
      monitorName(MonitorFromWindow(top, MONITOR_DEFAULTTONULL)));
  SetLastError(0xBEEF);
  HMONITOR monitor = MonitorFromWindow(kNoWindow, MONITOR_DEFAULTTOPRIMARY);
  if (monitor)
    say("desk: MonitorFromWindow(invalid window, PRIMARY)", "%s", monitorName(monitor));
  else
    say("desk: MonitorFromWindow(invalid window, PRIMARY)", "NULL err=%u", U(GetLastError()));

  // Placements: workspace coordinates equal screen ones here, the work areas start where the monitors do.
  BOOL got = FALSE;
  SetLastError(0xBEEF);
  WINDOWPLACEMENT p = placementOf(top, &got);
  sayBool("desk: GetWindowPlacement(shown window)", got, "showCmd=%u flags=%u normal=%s", p.showCmd, p.flags,
          rectText(p.rcNormalPosition));
  ZeroMemory(&p, sizeof(p));
  SetLastError(0xBEEF);
  ok = GetWindowPlacement(top, &p);
  sayBool("desk: GetWindowPlacement(length 0)", ok);
  SetLastError(0xBEEF);
  placementOf(kNoWindow, &got);
  sayBool("desk: GetWindowPlacement(invalid window)", got);

  const char *what = "desk: SetWindowPlacement(own window, to the left monitor)";
  if (place(top, RECT{100, 100, 400, 300}, SW_SHOWNORMAL, what)) {
    GetWindowRect(top, &rect);
    say(what, "1 rect=%s monitor=%s", rectText(rect), monitorName(MonitorFromWindow(top, MONITOR_DEFAULTTONULL)));
  }
  p = normalPlacement(RECT{100, 100, 400, 300}, SW_SHOWNORMAL);
  p.length = 0;
  SetLastError(0xBEEF);
  ok = SetWindowPlacement(top, &p);
  sayBool("desk: SetWindowPlacement(length 0)", ok);
  p.length = sizeof(p);
  SetLastError(0xBEEF);
  ok = SetWindowPlacement(kNoWindow, &p);
  sayBool("desk: SetWindowPlacement(invalid window)", ok);

  what = "desk: SetWindowPlacement(SW_SHOWMAXIMIZED)";
  if (place(top, RECT{100, 100, 400, 300}, SW_SHOWMAXIMIZED, what)) say(what, "1");
  WINDOWPLACEMENT now = placementOf(top, &got);
  say("desk: GetWindowPlacement(maximized window)", "%d showCmd=%u normal=%s", B(got), now.showCmd,
      rectText(now.rcNormalPosition));
  say("desk: IsIconic(maximized window)", "%d", B(IsIconic(top)));

  say("desk: ShowWindow(maximized window, SW_MINIMIZE) was visible", "%d", B(ShowWindow(top, SW_MINIMIZE)));
  say("desk: IsIconic(minimized window)", "%d", B(IsIconic(top)));
  style = static_cast<DWORD>(GetWindowLongW(top, GWL_STYLE));
  say("desk: GetWindowLongW(minimized window, GWL_STYLE)", "minimize=%d visible=%d", B(style & WS_MINIMIZE),
      B(style & WS_VISIBLE));
  now = placementOf(top, &got);
  say("desk: GetWindowPlacement(minimized window, was maximized)", "%d showCmd=%u restoretomaximized=%d normal=%s",
      B(got), now.showCmd, B(now.flags & WPF_RESTORETOMAXIMIZED), rectText(now.rcNormalPosition));
  say("desk: MonitorFromWindow(minimized window, NULL)", "%s",
      monitorName(MonitorFromWindow(top, MONITOR_DEFAULTTONULL)));
  what = "desk: SetWindowPlacement(minimized window, SW_RESTORE, to the right monitor)";
  if (place(top, RECT{1000, 150, 1300, 350}, SW_RESTORE, what)) {
    now = placementOf(top, &got);
    say(what, "1 showCmd=%u normal=%s iconic=%d", now.showCmd, rectText(now.rcNormalPosition), B(IsIconic(top)));
  }
  what = "desk: SetWindowPlacement(SW_SHOWNORMAL, to the right monitor)";
  if (place(top, RECT{1000, 150, 1300, 350}, SW_SHOWNORMAL, what)) {
    GetWindowRect(top, &rect);
    say(what, "1 rect=%s monitor=%s", rectText(rect), monitorName(MonitorFromWindow(top, MONITOR_DEFAULTTONULL)));
  }
  // "the system will automatically adjust the coordinates so that the window is visible"
  what = "desk: SetWindowPlacement(rectangle off every monitor)";
  if (place(top, RECT{2000, 100, 2300, 300}, SW_SHOWNORMAL, what)) {
    GetWindowRect(top, &rect);
    say(what, "1 monitor=%s size kept=%d", monitorName(MonitorFromWindow(top, MONITOR_DEFAULTTONULL)),
        B(rect.right - rect.left == 300 && rect.bottom - rect.top == 200));
  }
  say("desk: IsIconic(invalid window)", "%d", B(IsIconic(kNoWindow)));
  say("desk: IsWindowVisible(invalid window)", "%d", B(IsWindowVisible(kNoWindow)));

  // Text and class names, with the buffer sizes the program passes and short ones.
  WCHAR text[255];
  for (int i = 0; i < 255; ++i) text[i] = '?';
  int n = GetWindowTextW(top, text, 255);
  say("desk: GetWindowTextW(own window, 255)", "%d same=%d", n,
      B(n == 15 && wideEqualNoCase(text, TEXT("Conformance top")) && text[0] == 'C'));
  for (int i = 0; i < 255; ++i) text[i] = '?';
  n = GetWindowTextW(top, text, 5);
  say("desk: GetWindowTextW(own window, 5 characters)", "%d text=%c%c%c%c terminated=%d", n, char(text[0]),
      char(text[1]), char(text[2]), char(text[3]), B(text[4] == 0));
  text[0] = '?';
  n = GetWindowTextW(top, text, 0);
  say("desk: GetWindowTextW(own window, 0 characters)", "%d untouched=%d", n, B(text[0] == '?'));
  text[0] = '?';
  SetLastError(0xBEEF);
  n = GetWindowTextW(kNoWindow, text, 255);
  const DWORD textErr = GetLastError();
  say("desk: GetWindowTextW(invalid window)", "%d err=%u emptied=%d", n, U(textErr), B(text[0] == 0));

  char name[256];
  memset(name, 'x', sizeof(name));
  n = GetClassNameA(top, name, sizeof(name));
  say("desk: GetClassNameA(own window, 256)", "%d %s", n, n > 0 ? name : "");
  memset(name, 'x', sizeof(name));
  n = GetClassNameA(top, name, 5);
  say("desk: GetClassNameA(own window, 5 bytes)", "%d text=%.4s terminated=%d", n, name, B(name[4] == 0));
  memset(name, 'x', sizeof(name));
  SetLastError(0xBEEF);
  n = GetClassNameA(kNoWindow, name, sizeof(name));
  say("desk: GetClassNameA(invalid window)", "%d err=%u", n, U(GetLastError()));

  DWORD pid = 0;
  const DWORD tid = GetWindowThreadProcessId(top, &pid);
  say("desk: GetWindowThreadProcessId(own window)", "own thread=%d own process=%d", B(tid == GetCurrentThreadId()),
      B(pid == GetCurrentProcessId()));
  pid = 12345;
  SetLastError(0xBEEF);
  const DWORD none = GetWindowThreadProcessId(kNoWindow, &pid);
  say("desk: GetWindowThreadProcessId(invalid window)", "%u err=%u", U(none), U(GetLastError()));

  DPI_AWARENESS_CONTEXT context = GetWindowDpiAwarenessContext(top);
  say("desk: GetWindowDpiAwarenessContext(own window of a process without DPI settings)", "%s",
      context ? awarenessName(context) : "NULL");
  SetLastError(0xBEEF);
  context = GetWindowDpiAwarenessContext(kNoWindow);
  say("desk: GetWindowDpiAwarenessContext(invalid window)", context ? "handle" : "NULL err=%u", U(GetLastError()));
  say("desk: AreDpiAwarenessContextsEqual(PER_MONITOR_AWARE, PER_MONITOR_AWARE_V2)", "%d",
      B(AreDpiAwarenessContextsEqual(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE,
                                     DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)));
  say("desk: AreDpiAwarenessContextsEqual(UNAWARE, UNAWARE)", "%d",
      B(AreDpiAwarenessContextsEqual(DPI_AWARENESS_CONTEXT_UNAWARE, DPI_AWARENESS_CONTEXT_UNAWARE)));

  // Owned, child and tool windows: what the program's classification reads.
  HWND owned =
      named(makeWindow(TEXT("Conformance owned"), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 950, 120, 200, 100, top), "owned");
  HWND child = named(makeWindow(TEXT("Conformance child"), WS_CHILD | WS_VISIBLE, 10, 10, 50, 50, top), "child");
  HWND grandchild =
      named(makeWindow(TEXT("Conformance grandchild"), WS_CHILD | WS_VISIBLE, 5, 5, 20, 20, child), "grandchild");
  HWND tool = makeWindow(TEXT("Conformance tool"), WS_POPUP | WS_CAPTION, 1100, 400, 200, 100, nullptr,
                         WS_EX_TOOLWINDOW);
  say("desk: CreateWindowExW(owned, child, grandchild, tool window) set-up", "%d %d %d %d", B(owned), B(child),
      B(grandchild), B(tool));
  sayWindow("desk: GetWindow(owned window, GW_OWNER)", GetWindow(owned, GW_OWNER), 0);
  sayWindow("desk: GetWindow(unowned window, GW_OWNER)", GetWindow(top, GW_OWNER), 0);
  sayWindow("desk: GetWindow(child window, GW_OWNER)", GetWindow(child, GW_OWNER), 0);
  sayWindow("desk: GetWindow(parent, GW_CHILD)", GetWindow(top, GW_CHILD), 0);
  SetLastError(0xBEEF);
  HWND w = GetWindow(kNoWindow, GW_OWNER);
  sayWindow("desk: GetWindow(invalid window, GW_OWNER)", w, GetLastError());
  sayWindow("desk: GetAncestor(owned window, GA_ROOT)", GetAncestor(owned, GA_ROOT), 0);
  sayWindow("desk: GetAncestor(owned window, GA_ROOTOWNER)", GetAncestor(owned, GA_ROOTOWNER), 0);
  sayWindow("desk: GetAncestor(grandchild, GA_ROOT)", GetAncestor(grandchild, GA_ROOT), 0);
  sayWindow("desk: GetAncestor(grandchild, GA_ROOTOWNER)", GetAncestor(grandchild, GA_ROOTOWNER), 0);
  sayWindow("desk: GetAncestor(grandchild, GA_PARENT)", GetAncestor(grandchild, GA_PARENT), 0);
  sayWindow("desk: GetAncestor(top-level window, GA_PARENT)", GetAncestor(top, GA_PARENT), 0);
  sayWindow("desk: GetAncestor(top-level window, GA_ROOT)", GetAncestor(top, GA_ROOT), 0);
  SetLastError(0xBEEF);
  w = GetAncestor(kNoWindow, GA_ROOT);
  sayWindow("desk: GetAncestor(invalid window, GA_ROOT)", w, GetLastError());
  style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
  say("desk: GetWindowLongW(child window, GWL_STYLE) child", "%d", B(style & WS_CHILD));
  exStyle = static_cast<DWORD>(GetWindowLongW(tool, GWL_EXSTYLE));
  style = static_cast<DWORD>(GetWindowLongW(tool, GWL_STYLE));
  say("desk: GetWindowLongW(tool window)", "toolwindow=%d popup=%d", B(exStyle & WS_EX_TOOLWINDOW),
      B(style & WS_POPUP));

  ChildList list;
  ZeroMemory(&list, sizeof(list));
  EnumChildWindows(top, listChild, reinterpret_cast<LPARAM>(&list));
  say("desk: EnumChildWindows(parent with a child and a grandchild)", "calls=%d child=%d grandchild=%d owned=%d",
      list.count, B(listed(list, child)), B(listed(list, grandchild)), B(listed(list, owned)));
  ZeroMemory(&list, sizeof(list));
  list.stopAfter = 1;
  EnumChildWindows(top, listChild, reinterpret_cast<LPARAM>(&list));
  say("desk: EnumChildWindows(callback returns FALSE at once) calls", "%d", list.count);
  ZeroMemory(&list, sizeof(list));
  EnumChildWindows(grandchild, listChild, reinterpret_cast<LPARAM>(&list));
  say("desk: EnumChildWindows(window without children) calls", "%d", list.count);

  ShowWindow(top, SW_HIDE);
  say("desk: IsWindowVisible(visible child of a hidden parent)", "%d", B(IsWindowVisible(child)));
  say("desk: IsWindowVisible(visible owned window of a hidden owner)", "%d", B(IsWindowVisible(owned)));

  SetLastError(0xBEEF);
  sayBool("desk: DestroyWindow(top-level window with children) set-up", DestroyWindow(top));
  say("desk: GetWindowThreadProcessId(child, grandchild, owned window of a destroyed window)", "%u %u %u",
      U(GetWindowThreadProcessId(child, nullptr)), U(GetWindowThreadProcessId(grandchild, nullptr)),
      U(GetWindowThreadProcessId(owned, nullptr)));
  SetLastError(0xBEEF);
  placementOf(top, &got);
  sayBool("desk: GetWindowPlacement(destroyed window)", got);
  DestroyWindow(tool);

  WCHAR upper[] = {'a', 'b', 'z', 0xE4, 0xFF, 0xDF, '1', 'q', 0};
  DWORD converted = CharUpperBuffW(upper, 7);
  say("desk: CharUpperBuffW(\"abz\\u00e4\\u00ff\\u00df1q\", 7)", "%u %04x %04x %04x %04x %04x %04x %04x %04x",
      U(converted), upper[0], upper[1], upper[2], upper[3], upper[4], upper[5], upper[6], upper[7]);
}

// --- hooks and another process's windows -------------------------------------------------------------------------

struct Seen {
  DWORD event;
  HWND hwnd;
  LONG object, child;
  DWORD thread;
  HWINEVENTHOOK hook;
};
Seen g_seen[512];
int g_seenCount = 0;

void CALLBACK onWinEvent(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG object, LONG child, DWORD thread, DWORD) {
  if (g_seenCount < 512) g_seen[g_seenCount] = Seen{event, hwnd, object, child, thread, hook};
  ++g_seenCount;
}

bool titled(HWND hwnd, const WCHAR *title) {
  WCHAR text[64] = {};
  return GetWindowTextW(hwnd, text, 64) > 0 && wideEqualNoCase(text, title);
}

// The window events seen for the window of that title, in order: "create show", or "none".
void sayEventsOf(const char *what, const WCHAR *title, HWND *found = nullptr) {
  char out[256] = "";
  bool threadMatches = true;
  for (int i = 0; i < g_seenCount && i < 512; ++i) {
    const Seen &s = g_seen[i];
    if (s.object != OBJID_WINDOW || s.child != CHILDID_SELF || !titled(s.hwnd, title)) continue;
    if (found) *found = s.hwnd;
    threadMatches = threadMatches && s.thread == GetWindowThreadProcessId(s.hwnd, nullptr);
    const char *name = s.event == EVENT_OBJECT_CREATE  ? "create"
                       : s.event == EVENT_OBJECT_SHOW  ? "show"
                       : s.event == EVENT_OBJECT_UNCLOAKED ? "uncloaked"
                                                       : "other";
    if (strlen(out) + strlen(name) + 2 < sizeof(out)) {
      if (*out) strcat(out, " ");
      strcat(out, name);
    }
  }
  if (!*out) return say(what, "none");
  say(what, "%s thread=%d", out, B(threadMatches));
}

bool sawCreateOf(const WCHAR *title) {
  for (int i = 0; i < g_seenCount && i < 512; ++i)
    if (g_seen[i].event == EVENT_OBJECT_CREATE && g_seen[i].object == OBJID_WINDOW && titled(g_seen[i].hwnd, title))
      return true;
  return false;
}

HANDLE namedEvent(const WCHAR *name) { return CreateEventW(nullptr, TRUE, FALSE, name); }

void hookArea() {
  const DWORD flags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS;
  SetLastError(0xBEEF);
  HWINEVENTHOOK bad = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, nullptr, 0, 0, flags);
  say("desk: SetWinEventHook(no procedure)", bad ? "handle" : "NULL err=%u", U(GetLastError()));
  if (bad) UnhookWinEvent(bad);
  SetLastError(0xBEEF);
  bad = SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_CREATE, nullptr, onWinEvent, 0, 0, flags);
  say("desk: SetWinEventHook(eventMin above eventMax)", bad ? "handle" : "NULL err=%u", U(GetLastError()));
  if (bad) UnhookWinEvent(bad);
  SetLastError(0xBEEF);
  bad = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, onWinEvent, 0, 0, WINEVENT_INCONTEXT);
  say("desk: SetWinEventHook(WINEVENT_INCONTEXT without a module)", bad ? "handle" : "NULL err=%u",
      U(GetLastError()));
  if (bad) UnhookWinEvent(bad);

  // The program's three hooks.
  HWINEVENTHOOK create = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, onWinEvent, 0, 0, flags);
  HWINEVENTHOOK uncloaked =
      SetWinEventHook(EVENT_OBJECT_UNCLOAKED, EVENT_OBJECT_UNCLOAKED, nullptr, onWinEvent, 0, 0, flags);
  HWINEVENTHOOK show = SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW, nullptr, onWinEvent, 0, 0, flags);
  say("desk: SetWinEventHook(CREATE, UNCLOAKED, SHOW; out of context, skip own process)", "%s %s %s",
      create ? "handle" : "NULL", uncloaked ? "handle" : "NULL", show ? "handle" : "NULL");

  // Own windows: skipped.
  HWND own = makeWindow(TEXT("Conformance own"), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 200, 100);
  HWND ownHidden = makeWindow(TEXT("Conformance own hidden"), WS_OVERLAPPEDWINDOW, 100, 100, 200, 100);
  if (ownHidden) ShowWindow(ownHidden, SW_SHOWNORMAL);

  HANDLE ready1 = namedEvent(kReady1), go = namedEvent(kGo), ready2 = namedEvent(kReady2), quit = namedEvent(kQuit);
  WCHAR line[2 * MAX_PATH];
  {
    size_t n = 0;
    line[n++] = '"';
    for (const WCHAR *p = g_self; *p && n + 2 < MAX_PATH; ++p) line[n++] = *p;
    line[n++] = '"';
    widen(" child windows", line + n, 2 * MAX_PATH - n);
  }
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof(pi));
  SetLastError(0xBEEF);
  BOOL started = ready1 && go && ready2 && quit &&
                 CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  say("desk: CreateProcessW(child that makes windows) set-up", started ? "1" : "0 err=%u", U(GetLastError()));

  const bool round1 = started && pumpUntilSet(ready1) && pumpUntil([] { return sawCreateOf(TEXT("Conformance marker 1")); });
  say("desk: child's first windows and their marker's EVENT_OBJECT_CREATE arrived", "%d", B(round1));
  HWND hidden = nullptr, visible = nullptr;
  sayEventsOf("desk: WinEventProc(another process's window created hidden, then shown)", TEXT("Conformance hidden"),
              &hidden);
  sayEventsOf("desk: WinEventProc(another process's window created with WS_VISIBLE)", TEXT("Conformance visible"),
              &visible);
  sayEventsOf("desk: WinEventProc(own windows, WINEVENT_SKIPOWNPROCESS)", TEXT("Conformance own"));
  sayEventsOf("desk: WinEventProc(own hidden window shown, WINEVENT_SKIPOWNPROCESS)", TEXT("Conformance own hidden"));

  // Another process's window, as the program sees it.
  DWORD pid = 0;
  const DWORD tid = GetWindowThreadProcessId(visible, &pid);
  say("desk: GetWindowThreadProcessId(another process's window)", "its process=%d another thread=%d",
      B(pid == pi.dwProcessId), B(tid && tid != GetCurrentThreadId()));
  WCHAR text[255];
  for (int i = 0; i < 255; ++i) text[i] = '?';
  int n = GetWindowTextW(visible, text, 255);
  say("desk: GetWindowTextW(another process's window, 255)", "%d same=%d", n,
      B(wideEqualNoCase(text, TEXT("Conformance visible"))));
  char name[256];
  n = GetClassNameA(visible, name, sizeof(name));
  say("desk: GetClassNameA(another process's window)", "%d %s", n, n > 0 ? name : "");
  say("desk: IsWindowVisible(another process's window)", "%d", B(IsWindowVisible(visible)));
  say("desk: IsIconic(another process's window)", "%d", B(IsIconic(visible)));
  const DWORD otherStyle = static_cast<DWORD>(GetWindowLongW(visible, GWL_STYLE));
  const DWORD otherExStyle = static_cast<DWORD>(GetWindowLongW(visible, GWL_EXSTYLE));
  say("desk: GetWindowLongW(another process's window, GWL_STYLE and GWL_EXSTYLE)",
      "visible=%d caption=%d thickframe=%d toolwindow=%d", B(otherStyle & WS_VISIBLE),
      B((otherStyle & WS_CAPTION) == WS_CAPTION), B(otherStyle & WS_THICKFRAME), B(otherExStyle & WS_EX_TOOLWINDOW));
  say("desk: GetAncestor(another process's window, GA_ROOT) is itself", "%d",
      B(visible && GetAncestor(visible, GA_ROOT) == visible));
  say("desk: GetWindow(another process's window, GW_OWNER)", GetWindow(visible, GW_OWNER) ? "a window" : "NULL");
  DPI_AWARENESS_CONTEXT otherContext = GetWindowDpiAwarenessContext(visible);
  say("desk: GetWindowDpiAwarenessContext(another process's window)", "%s",
      otherContext ? awarenessName(otherContext) : "NULL");
  // The program asks a frame host's children for the process that owns its content.
  ChildList inner;
  ZeroMemory(&inner, sizeof(inner));
  EnumChildWindows(visible, listChild, reinterpret_cast<LPARAM>(&inner));
  DWORD innerPid = 0;
  if (inner.count > 0) GetWindowThreadProcessId(inner.seen[0], &innerPid);
  say("desk: EnumChildWindows(another process's window with one child)", "calls=%d child's process=%d", inner.count,
      B(innerPid && innerPid == pi.dwProcessId));
  SetLastError(0xBEEF);
  const BOOL destroyed = DestroyWindow(visible);
  sayBool("desk: DestroyWindow(another process's window)", destroyed);
  say("desk: MonitorFromWindow(another process's window on the left, NULL)", "%s",
      monitorName(MonitorFromWindow(visible, MONITOR_DEFAULTTONULL)));
  BOOL got = FALSE;
  WINDOWPLACEMENT before = placementOf(visible, &got);
  say("desk: GetWindowPlacement(another process's window)", "%d showCmd=%u normal=%s", B(got), before.showCmd,
      rectText(before.rcNormalPosition));
  RECT rect{-1, -1, -1, -1};
  struct Move {
    const char *what;
    RECT to;
    UINT flags;
  } moves[] = {
      {"desk: SetWindowPlacement(another process's window, to the right monitor)", {1050, 150, 1350, 350}, 0},
      {"desk: SetWindowPlacement(another process's window, WPF_ASYNCWINDOWPLACEMENT, back to the left monitor)",
       {150, 150, 450, 350}, WPF_ASYNCWINDOWPLACEMENT},
  };
  for (const Move &move : moves) {
    WINDOWPLACEMENT p = normalPlacement(move.to, SW_RESTORE);
    p.flags = move.flags;
    SetLastError(0xBEEF);
    BOOL ok = SetWindowPlacement(visible, &p);
    const DWORD err = GetLastError();
    // A posted change lands when the other thread handles its messages.
    const bool moved = ok && pumpUntil([&] {
      GetWindowRect(visible, &rect);
      return rect.left == move.to.left && rect.top == move.to.top;
    });
    if (!ok)
      say(move.what, "0 err=%u", U(err));
    else
      say(move.what, "1 moved=%d rect=%s monitor=%s", B(moved), rectText(rect),
          monitorName(MonitorFromWindow(visible, MONITOR_DEFAULTTONULL)));
  }

  // Without the SHOW hook, a new window's SHOW is no longer reported.
  SetLastError(0xBEEF);
  sayBool("desk: UnhookWinEvent(SHOW hook)", UnhookWinEvent(show));
  SetLastError(0xBEEF);
  BOOL ok = UnhookWinEvent(show);
  sayBool("desk: UnhookWinEvent(removed hook)", ok);
  SetLastError(0xBEEF);
  ok = UnhookWinEvent(nullptr);
  sayBool("desk: UnhookWinEvent(NULL)", ok);
  const bool round2 = started && SetEvent(go) && pumpUntilSet(ready2) &&
                      pumpUntil([] { return sawCreateOf(TEXT("Conformance marker 2")); });
  say("desk: child's second windows and their marker's EVENT_OBJECT_CREATE arrived", "%d", B(round2));
  sayEventsOf("desk: WinEventProc(another process's window created with WS_VISIBLE, SHOW hook removed)",
              TEXT("Conformance late"));

  SetEvent(quit);
  DWORD code = 0xFFFFFFFF;
  if (started && WaitForSingleObject(pi.hProcess, kWaitMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  say("desk: child's window calls (0, or the step that failed)", "%u", U(code));
  SetLastError(0xBEEF);
  n = GetWindowTextW(visible, text, 255);
  say("desk: GetWindowTextW(window destroyed by the other process, which then ended)", "%d err=%u", n, U(GetLastError()));
  if (pi.hProcess) {
    if (code == 0xFFFFFFFF) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }

  SetLastError(0xBEEF);
  const BOOL a = UnhookWinEvent(create), b = UnhookWinEvent(uncloaked);
  say("desk: UnhookWinEvent(CREATE and UNCLOAKED hooks)", "%d %d", B(a), B(b));
  DestroyWindow(own);
  DestroyWindow(ownHidden);
  for (HANDLE h : {ready1, go, ready2, quit})
    if (h) CloseHandle(h);
}

// The other process: its windows, in two rounds.
int childWindows() {
  HANDLE ready1 = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kReady1);
  HANDLE go = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kGo);
  HANDLE ready2 = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kReady2);
  HANDLE quit = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kQuit);
  if (!ready1 || !go || !ready2 || !quit) return 1;
  if (!registerClass()) return 2;
  HWND hidden = makeWindow(TEXT("Conformance hidden"), WS_OVERLAPPEDWINDOW, 100, 100, 300, 200);
  if (!hidden) return 3;
  ShowWindow(hidden, SW_SHOWNORMAL);
  if (!IsWindowVisible(hidden)) return 4;
  HWND visible = makeWindow(TEXT("Conformance visible"), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 150, 150, 300, 200);
  if (!visible) return 5;
  if (!makeWindow(TEXT("Conformance inner"), WS_CHILD | WS_VISIBLE, 10, 10, 100, 50, visible)) return 12;
  HWND marker1 = makeWindow(TEXT("Conformance marker 1"), WS_OVERLAPPEDWINDOW, 0, 0, 100, 100);
  if (!marker1) return 6;
  if (!SetEvent(ready1)) return 7;
  if (!pumpUntilSet(go, kChildWaitMs)) return 8;
  HWND late = makeWindow(TEXT("Conformance late"), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 200, 200, 300, 200);
  HWND marker2 = makeWindow(TEXT("Conformance marker 2"), WS_OVERLAPPEDWINDOW, 0, 0, 100, 100);
  if (!late || !marker2) return 9;
  if (!SetEvent(ready2)) return 10;
  if (!pumpUntilSet(quit, kChildWaitMs)) return 11;
  for (HWND w : {hidden, visible, marker1, late, marker2}) DestroyWindow(w);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (!GetModuleFileNameW(nullptr, g_self, MAX_PATH)) return 3;
  if (argc > 2 && !strcmp(argv[1], "child") && !strcmp(argv[2], "windows")) return childWindows();
  monitorArea();
  cursorArea();
  windowArea();
  hookArea();
  return 0;
}
