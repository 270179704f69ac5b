// bvhook: prints the window events that the desktop delivers to an out-of-context hook, the way WindowShepherd
// hooks them, so the placement smoke can say what Wine sent for a test window (plain Win32, Windows only).
//
//   bvhook [--wait-ms N]
//
// Hooks EVENT_OBJECT_CREATE to EVENT_OBJECT_HIDE and EVENT_OBJECT_UNCLOAKED of every other process
// (WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS), prints "ready" once the hooks are in place, then one line per
// event on a window object (OBJID_WINDOW) while it pumps messages for --wait-ms (default 10000), and ends:
//   ready
//   event: SHOW window: 0x... root: 1 visible: 1 pid: 52 class: BrimvaultSmokeWindow title: bvwindow
// "root" and "visible" are the window's state when the event reached the hook, as WindowShepherd would see it.
// Exit codes: 0 done; 1 a hook could not be set; 2 bad command line.
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr DWORD kDefaultWaitMs = 10000;

const char *eventName(DWORD event) {
  switch (event) {
  case EVENT_OBJECT_CREATE: return "CREATE";
  case EVENT_OBJECT_DESTROY: return "DESTROY";
  case EVENT_OBJECT_SHOW: return "SHOW";
  case EVENT_OBJECT_HIDE: return "HIDE";
  case EVENT_OBJECT_UNCLOAKED: return "UNCLOAKED";
  default: return "OTHER";
  }
}

void CALLBACK onEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG idObject, LONG, DWORD, DWORD) {
  if (idObject != OBJID_WINDOW || !window) return;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  char className[128] = {};
  if (GetClassNameA(window, className, sizeof(className)) == 0) className[0] = 0;
  char title[128] = {};
  if (GetWindowTextA(window, title, sizeof(title)) == 0) title[0] = 0;
  const DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  std::printf("event: %s window: 0x%llx root: %d visible: %d pid: %lu class: %s title: %s\n", eventName(event),
              static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)),
              GetAncestor(window, GA_ROOT) == window ? 1 : 0, (style & WS_VISIBLE) ? 1 : 0,
              static_cast<unsigned long>(pid), className, title);
  std::fflush(stdout); // read through a file while the hook still runs
}

bool parse(int argc, char **argv, DWORD *waitMs) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--wait-ms") != 0 || i + 1 >= argc) return false;
    const char *text = argv[++i];
    char *end = nullptr;
    errno = 0;
    const long ms = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || ms < 0 || ms > INT_MAX) return false;
    *waitMs = static_cast<DWORD>(ms);
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  DWORD waitMs = kDefaultWaitMs;
  if (!parse(argc, argv, &waitMs)) {
    std::fprintf(stderr, "usage: bvhook [--wait-ms N]\n");
    return kExitUsage;
  }
  const DWORD flags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS;
  const HWINEVENTHOOK range = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_HIDE, nullptr, onEvent, 0, 0, flags);
  const HWINEVENTHOOK uncloaked =
      SetWinEventHook(EVENT_OBJECT_UNCLOAKED, EVENT_OBJECT_UNCLOAKED, nullptr, onEvent, 0, 0, flags);
  if (!range || !uncloaked) {
    std::fprintf(stderr, "bvhook: SetWinEventHook failed: %lu\n", static_cast<unsigned long>(GetLastError()));
    return kExitFailed;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  // Out-of-context events arrive as this thread waits for or dispatches messages.
  const ULONGLONG end = GetTickCount64() + waitMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
  UnhookWinEvent(range);
  UnhookWinEvent(uncloaked);
  return 0;
}
