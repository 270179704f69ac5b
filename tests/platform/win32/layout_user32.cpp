// Sizes, offsets and values of the user32/shcore types and constants the window placement program uses; compiles
// against the stand-in and mingw-w64.
#include <windows.h>
#include <shellscalingapi.h>

#include <cstddef>

static_assert(sizeof(WINDOWPLACEMENT) == 44, "WINDOWPLACEMENT");
static_assert(offsetof(WINDOWPLACEMENT, flags) == 4 && offsetof(WINDOWPLACEMENT, showCmd) == 8 &&
                  offsetof(WINDOWPLACEMENT, ptMinPosition) == 12 && offsetof(WINDOWPLACEMENT, ptMaxPosition) == 20 &&
                  offsetof(WINDOWPLACEMENT, rcNormalPosition) == 28,
              "WINDOWPLACEMENT fields");
static_assert(sizeof(MONITORINFO) == 40 && offsetof(MONITORINFO, rcMonitor) == 4 &&
                  offsetof(MONITORINFO, rcWork) == 20 && offsetof(MONITORINFO, dwFlags) == 36,
              "MONITORINFO");
static_assert(sizeof(MONITORINFOEXW) == 104 && CCHDEVICENAME == 32, "MONITORINFOEXW");
static_assert(sizeof(HWINEVENTHOOK) == 8 && sizeof(HMONITOR) == 8 && sizeof(DPI_AWARENESS_CONTEXT) == 8, "handles");

static_assert(EVENT_OBJECT_CREATE == 0x8000 && EVENT_OBJECT_SHOW == 0x8002 && EVENT_OBJECT_UNCLOAKED == 0x8018 &&
                  EVENT_OBJECT_DESTROY == 0x8001 && EVENT_OBJECT_HIDE == 0x8003 && EVENT_OBJECT_CLOAKED == 0x8017,
              "events");
static_assert(OBJID_WINDOW == 0 && OBJID_CARET == -8 && CHILDID_SELF == 0, "object ids");
static_assert(WINEVENT_OUTOFCONTEXT == 0 && WINEVENT_SKIPOWNPROCESS == 2 && WINEVENT_SKIPOWNTHREAD == 1, "hook flags");

static_assert(GWL_STYLE == -16 && GWL_EXSTYLE == -20 && GA_ROOT == 2 && GW_OWNER == 4, "queries");
static_assert(static_cast<unsigned long>(WS_POPUP) == 0x80000000ul && WS_VISIBLE == 0x10000000 &&
                  WS_MINIMIZE == 0x20000000 && WS_MAXIMIZE == 0x01000000 && WS_CAPTION == 0x00C00000 &&
                  WS_BORDER == 0x00800000 && WS_DLGFRAME == 0x00400000 && WS_THICKFRAME == 0x00040000 &&
                  WS_MINIMIZEBOX == 0x00020000 && WS_MAXIMIZEBOX == 0x00010000 && WS_CHILD == 0x40000000,
              "styles");
static_assert(WS_EX_TOOLWINDOW == 0x80, "extended styles");

static_assert(SW_HIDE == 0 && SW_SHOWNORMAL == 1 && SW_SHOWMINIMIZED == 2 && SW_SHOWMAXIMIZED == 3 &&
                  SW_MINIMIZE == 6 && SW_RESTORE == 9,
              "show states");
static_assert(WPF_RESTORETOMAXIMIZED == 2 && WPF_ASYNCWINDOWPLACEMENT == 4, "placement flags");
static_assert(MONITOR_DEFAULTTONULL == 0 && MONITOR_DEFAULTTOPRIMARY == 1 && MONITOR_DEFAULTTONEAREST == 2 &&
                  MONITORINFOF_PRIMARY == 1,
              "monitor flags");
static_assert(MDT_EFFECTIVE_DPI == 0 && MDT_ANGULAR_DPI == 1 && MDT_RAW_DPI == 2, "DPI types");
static_assert(PROCESS_QUERY_INFORMATION == 0x400 && PROCESS_VM_READ == 0x10, "process access");

// The pseudo-handles are integer casts, not constant expressions: with the handle type standing for an integer in
// this scope, their macros become constants that can be compared.
namespace context_values {
using DPI_AWARENESS_CONTEXT = LONG_PTR;
static_assert(DPI_AWARENESS_CONTEXT_UNAWARE == -1 && DPI_AWARENESS_CONTEXT_SYSTEM_AWARE == -2 &&
                  DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE == -3 && DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 == -4 &&
                  DPI_AWARENESS_CONTEXT_UNAWARE_GDISCALED == -5,
              "DPI awareness contexts");
} // namespace context_values

// The callback types the program passes.
static void CALLBACK layoutWinEventProc(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD) {}
static BOOL CALLBACK layoutMonitorProc(HMONITOR, HDC, LPRECT, LPARAM) { return TRUE; }
static BOOL CALLBACK layoutChildProc(HWND, LPARAM) { return TRUE; }
[[maybe_unused]] static WINEVENTPROC layoutHookProc = layoutWinEventProc;
[[maybe_unused]] static MONITORENUMPROC layoutEnumProc = layoutMonitorProc;
[[maybe_unused]] static WNDENUMPROC layoutEnumChildProc = layoutChildProc;
