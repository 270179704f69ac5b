// bvwindow: an ordinary top-level window for the window placement smoke of WindowShepherd (plain Win32, Windows only).
//
//   bvwindow [--cursor X Y] --rect X Y W H [--title T] [--wait-ms N]
//
// Moves the cursor when asked, prints the monitors, creates a WS_OVERLAPPEDWINDOW window of its own class at the
// rect, shows it, pumps messages for --wait-ms (default 3000) and prints where the window and its monitor are at the
// start and at the end; then destroys the window. Output is one "key: values" line each, rects as left top right
// bottom, so a script can grep them:
//   cursor: 2500 500
//   monitor-count: 2            monitor-<i>: L T R B     monitor-<i>-work: L T R B     monitor-primary: <i>
//   window: 0x...
//   start-rect: L T R B         start-monitor: L T R B   start-work: L T R B
//   moved: L T R B              (each time the window's rect changes while messages are pumped)
//   final-rect: L T R B         final-monitor: L T R B   final-work: L T R B
// Exit codes: 0 done; 1 a Windows call failed or the window was destroyed by someone else; 2 bad command line.
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr DWORD kDefaultWaitMs = 3000;

struct Options {
  bool setCursor = false;
  POINT cursor = {0, 0};
  bool haveRect = false;
  int x = 0, y = 0, width = 0, height = 0;
  const char *title = "bvwindow";
  DWORD waitMs = kDefaultWaitMs;
};

bool g_destroyed = false;
bool g_reportMoves = false;
RECT g_lastRect = {0, 0, 0, 0};

void printRect(const char *key, const RECT &r) {
  std::printf("%s: %ld %ld %ld %ld\n", key, static_cast<long>(r.left), static_cast<long>(r.top),
              static_cast<long>(r.right), static_cast<long>(r.bottom));
  std::fflush(stdout); // a script may read the lines through a pipe while the window still waits
}

int fail(const char *call) {
  std::fprintf(stderr, "bvwindow: %s failed: %lu\n", call, static_cast<unsigned long>(GetLastError()));
  return kExitFailed;
}

bool readInt(int argc, char **argv, int *i, long *value) {
  if (*i + 1 >= argc) return false;
  const char *text = argv[++*i];
  char *end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *value >= INT_MIN && *value <= INT_MAX;
}

bool readInt(int argc, char **argv, int *i, int *value) {
  long v = 0;
  if (!readInt(argc, argv, i, &v)) return false;
  *value = static_cast<int>(v);
  return true;
}

bool parse(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cursor") == 0) {
      long x = 0, y = 0;
      if (!readInt(argc, argv, &i, &x) || !readInt(argc, argv, &i, &y)) return false;
      o->setCursor = true;
      o->cursor = {x, y};
    } else if (std::strcmp(argv[i], "--rect") == 0) {
      if (!readInt(argc, argv, &i, &o->x) || !readInt(argc, argv, &i, &o->y) || !readInt(argc, argv, &i, &o->width) ||
          !readInt(argc, argv, &i, &o->height) || o->width <= 0 || o->height <= 0)
        return false;
      o->haveRect = true;
    } else if (std::strcmp(argv[i], "--title") == 0) {
      if (i + 1 >= argc) return false;
      o->title = argv[++i];
    } else if (std::strcmp(argv[i], "--wait-ms") == 0) {
      int ms = 0;
      if (!readInt(argc, argv, &i, &ms) || ms < 0) return false;
      o->waitMs = static_cast<DWORD>(ms);
    } else {
      return false;
    }
  }
  return o->haveRect;
}

BOOL CALLBACK printMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
  int &index = *reinterpret_cast<int *>(data);
  MONITORINFO info;
  info.cbSize = sizeof(info);
  char key[32];
  if (GetMonitorInfoW(monitor, &info)) {
    std::snprintf(key, sizeof(key), "monitor-%d", index);
    printRect(key, info.rcMonitor);
    std::snprintf(key, sizeof(key), "monitor-%d-work", index);
    printRect(key, info.rcWork);
    if (info.dwFlags & MONITORINFOF_PRIMARY) std::printf("monitor-primary: %d\n", index);
  } else {
    fail("GetMonitorInfoW");
  }
  ++index;
  return TRUE;
}

// The window's rect and its monitor's rect and work area, under keys "<when>-rect", "<when>-monitor", "<when>-work".
bool printPlacement(HWND window, const char *when) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return false;
  MONITORINFO info;
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info)) return false;
  char key[32];
  std::snprintf(key, sizeof(key), "%s-rect", when);
  printRect(key, rect);
  std::snprintf(key, sizeof(key), "%s-monitor", when);
  printRect(key, info.rcMonitor);
  std::snprintf(key, sizeof(key), "%s-work", when);
  printRect(key, info.rcWork);
  g_lastRect = rect;
  return true;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_WINDOWPOSCHANGED: {
    RECT rect;
    if (g_reportMoves && GetWindowRect(window, &rect) && !EqualRect(&rect, &g_lastRect)) {
      printRect("moved", rect);
      g_lastRect = rect;
    }
    break;
  }
  case WM_DESTROY:
    g_destroyed = true;
    break;
  default:
    break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Dispatches messages until waitMs have passed or the window is gone.
void pumpFor(DWORD waitMs) {
  const ULONGLONG end = GetTickCount64() + waitMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (g_destroyed || now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

} // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr, "usage: bvwindow [--cursor X Y] --rect X Y W H [--title T] [--wait-ms N]\n");
    return kExitUsage;
  }
  // Physical pixels everywhere, as WindowShepherd sees them, whatever the monitors' scale.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

  if (o.setCursor && !SetCursorPos(o.cursor.x, o.cursor.y)) return fail("SetCursorPos");
  POINT cursor;
  if (GetCursorPos(&cursor)) std::printf("cursor: %ld %ld\n", static_cast<long>(cursor.x), static_cast<long>(cursor.y));

  int monitors = 0;
  if (!EnumDisplayMonitors(nullptr, nullptr, printMonitor, reinterpret_cast<LPARAM>(&monitors)))
    return fail("EnumDisplayMonitors");
  std::printf("monitor-count: %d\n", monitors);

  // The command line comes in the ANSI code page; the window's title is wide text.
  const int titleLength = MultiByteToWideChar(CP_ACP, 0, o.title, -1, nullptr, 0);
  if (titleLength <= 0) return fail("MultiByteToWideChar");
  std::vector<WCHAR> title(static_cast<size_t>(titleLength));
  MultiByteToWideChar(CP_ACP, 0, o.title, -1, title.data(), titleLength);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass;
  std::memset(&windowClass, 0, sizeof(windowClass));
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszClassName = TEXT("BrimvaultSmokeWindow");
  if (!RegisterClassExW(&windowClass)) return fail("RegisterClassExW");

  const HWND window = CreateWindowExW(0, windowClass.lpszClassName, title.data(), WS_OVERLAPPEDWINDOW, o.x, o.y,
                                      o.width, o.height, nullptr, nullptr, instance, nullptr);
  if (!window) return fail("CreateWindowExW");
  std::printf("window: 0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  if (!printPlacement(window, "start")) return fail("GetWindowRect or GetMonitorInfoW");

  g_reportMoves = true;
  pumpFor(o.waitMs);
  g_reportMoves = false;
  if (g_destroyed) {
    std::fprintf(stderr, "bvwindow: the window was destroyed before the end of the wait\n");
    return kExitFailed;
  }
  if (!printPlacement(window, "final")) return fail("GetWindowRect or GetMonitorInfoW");
  DestroyWindow(window);
  UnregisterClassW(windowClass.lpszClassName, instance);
  return 0;
}
