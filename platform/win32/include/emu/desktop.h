// Control of the emulated desktop (monitors, cursor, other programs' windows), for tests and tools.
// Not part of the Windows API: product code never includes this header.
//
// The desktop of a session is shared state under the machine root (<root>/desktop/session-<n>), so a test, win32ctl
// and the program under test see one desktop. Changes made here raise the window events that Windows would raise;
// hooks installed with SetWinEventHook receive them from their thread's Qt event loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bvwin/base.h"
#include "bvwin/user32.h"

namespace emu {
namespace desktop {

// Session whose desktop this process uses: the process's session (emu::currentSessionId()).
DWORD currentSession();

struct MonitorSpec {
  RECT monitor{0, 0, 1920, 1080};
  RECT work{0, 0, 1920, 1040}; // screen coordinates
  UINT dpi = 96;               // effective DPI
  bool primary = false;        // the first monitor added is primary unless another one says so
};

// A process id for a program that exists only on the desktop (a window's owner, an added process). The host never
// gives a process an id this high (its ids stay below 2^22), so a made-up id cannot be that of the caller, one of
// its threads or a process the machine started; a small fixed id can, now and then, and then the window counts as
// the caller's own (WINEVENT_SKIPOWNPROCESS drops its events, OpenProcess opens the caller).
constexpr DWORD madeUpPid(DWORD n) { return 0x400000 + n; }

struct ProcessSpec {
  DWORD pid = 0;
  std::u16string imagePath; // Win32 form, "C:\Program Files\App\app.exe"
  bool elevated = false;    // SetWindowPlacement on its windows fails with ERROR_ACCESS_DENIED (UIPI)
};

enum class Show { Normal, Minimized, Maximized };

struct WindowSpec {
  DWORD pid = 0;
  DWORD tid = 0; // 0: pid + 1
  std::string className;
  std::u16string title;
  DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE; // WS_VISIBLE decides whether the window starts shown
  DWORD exStyle = 0;
  HWND parent = nullptr; // a child window when set
  HWND owner = nullptr;
  RECT rect{100, 100, 900, 700}; // the normal (restored) rectangle, screen coordinates
  Show show = Show::Normal;
  bool restoreToMaximized = false; // for a minimized window: it was maximized before
  bool cloaked = false;
  DPI_AWARENESS_CONTEXT dpiAwareness = DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2;
};

// One SetWindowPlacement call that reached a window, and what it left.
struct PlacementRecord {
  HWND hwnd = nullptr;
  UINT flags = 0;
  UINT showCmd = 0;
  RECT rcNormalPosition{};  // as passed (workspace coordinates)
  RECT normalAfter{};       // the window's normal rectangle afterwards, screen coordinates
  Show showAfter = Show::Normal;
  bool visibleAfter = false;
};

struct WindowState {
  bool exists = false;
  DWORD pid = 0;
  DWORD style = 0; // with WS_VISIBLE, WS_MINIMIZE and WS_MAXIMIZE as they stand
  RECT normal{};   // normal rectangle, screen coordinates
  RECT windowRect{}; // what GetWindowRect reports
  Show show = Show::Normal;
  bool visible = false;
  bool cloaked = false;
  WINDOWPLACEMENT placement{}; // what GetWindowPlacement reports
  HMONITOR monitor = nullptr;  // MonitorFromWindow with MONITOR_DEFAULTTONEAREST
};

// --- set-up -------------------------------------------------------------------------------------

// An empty desktop: one primary monitor (0,0)-(1920,1080), work area (0,0)-(1920,1040), 96 DPI, cursor at (0,0), no
// windows or processes. Placements recorded so far are forgotten. Raises no events.
void reset();
// Removes every monitor; add at least one before the desktop is used again.
void clearMonitors();
HMONITOR addMonitor(const MonitorSpec &spec);
std::vector<HMONITOR> monitors(); // enumeration order
void setCursor(POINT pt);
POINT cursor();
void addProcess(const ProcessSpec &spec);

// --- windows (each change raises what Windows raises: see MODEL.md beside the stand-in) ---------

// Raises EVENT_OBJECT_CREATE, then EVENT_OBJECT_SHOW when the style has WS_VISIBLE and the window is not cloaked.
HWND createWindow(const WindowSpec &spec);
bool show(HWND hwnd);      // EVENT_OBJECT_SHOW when it was hidden
bool hide(HWND hwnd);      // EVENT_OBJECT_HIDE when it was shown
bool minimize(HWND hwnd);  // remembers whether it was maximized
bool maximize(HWND hwnd);
bool restore(HWND hwnd);   // back to the normal rectangle
bool cloak(HWND hwnd);     // EVENT_OBJECT_CLOAKED
bool uncloak(HWND hwnd);   // EVENT_OBJECT_UNCLOAKED
bool destroy(HWND hwnd);   // EVENT_OBJECT_DESTROY; its children go with it; the handle is never reused
bool setNormalRect(HWND hwnd, const RECT &rect);
bool setStyle(HWND hwnd, DWORD style, DWORD exStyle);
bool setTitle(HWND hwnd, const std::u16string &title);
// Makes the window the one GetShellWindow returns (nullptr: none).
void setShellWindow(HWND hwnd);
// The windows' thread stops running its message loop (a hung program): a SetWindowPlacement sent to its windows from
// another thread waits until it runs again; one with WPF_ASYNCWINDOWPLACEMENT is posted and returns at once.
void stopThreadLoop(DWORD tid);
// The thread runs its loop again and handles what was posted to it, in order.
void runThreadLoop(DWORD tid);
// Raises any event as if the window's process had raised it; sourcePid 0 means the window's owner.
void injectEvent(DWORD event, HWND hwnd, LONG idObject, LONG idChild, DWORD sourcePid = 0);

// --- reading back -------------------------------------------------------------------------------

WindowState windowState(HWND hwnd);
std::vector<HWND> windows(); // creation order, destroyed windows left out
// Every SetWindowPlacement that reached a window since reset(), oldest first.
std::vector<PlacementRecord> placements();
uint64_t placementCount();
std::vector<PlacementRecord> placementsOf(HWND hwnd);

// --- in-process test aids -----------------------------------------------------------------------

// Runs `action` inside the nth call (counted from now, 1 = the next one) of the stand-in call `call`, just before
// the call reads the desktop. Lets a test change the desktop while the code under test is blocked in Sleep.
void onCall(const std::string &call, int nth, std::function<void()> action);
void clearOnCall();
// Runs this thread's Qt event loop until the hooks of this thread have received every event raised so far, or until
// timeoutMs has passed. Returns false on time-out.
bool deliverPending(int timeoutMs = 5000);
// Time this thread has spent inside the desktop's user32/shcore calls while measuring was on (a benchmark aid: it
// tells the stand-in's share of a caller's time from the caller's own).
void measureCallTime(bool on);
uint64_t callTimeNs();
// Number of events raised on this desktop so far (by any process).
uint64_t eventCount();

// --- for other stand-in areas -------------------------------------------------------------------

// For the process area's OpenProcess and QueryFullProcessImageNameW: true when pid is a process added with
// addProcess, with its Win32 image path and whether it runs elevated (then only PROCESS_QUERY_LIMITED_INFORMATION
// may be granted). Windows whose owner is a real process of the machine need nothing from here.
bool desktopProcessImage(DWORD pid, std::u16string *imagePath, bool *elevated);

} // namespace desktop
} // namespace emu
