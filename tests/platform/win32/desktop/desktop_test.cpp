// The emulated desktop as the Win32 calls see it: monitor choice, placements in workspace coordinates, windows that
// are gone, DPI contexts, the desktop shared with another process, and the image paths of its made-up processes.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellscalingapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "emu/desktop.h"
#include "emu/emu.h"
#include "emu/session.h"
#include "testenv.h"

namespace dt = emu::desktop;

namespace {

bool same(const RECT &a, const RECT &b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
#define EXPECT_RECT(r, l, t, rr, b) EXPECT_TRUE(same((r), RECT{l, t, rr, b})) << (r).left << "," << (r).top << "," << (r).right << "," << (r).bottom

class Desktop : public ::testing::Test {
protected:
  void SetUp() override {
    dt::reset();
    emu::clearFailures();
    // A: primary, taskbar on the left; B: right of A; C: left of A, listed last.
    dt::clearMonitors();
    a = dt::addMonitor({{0, 0, 1920, 1080}, {60, 0, 1920, 1080}, 96, true});
    b = dt::addMonitor({{1920, 0, 3840, 1080}, {1920, 40, 3840, 1080}, 144, false});
    c = dt::addMonitor({{-1280, 0, 0, 1024}, {-1280, 0, 0, 1024}, 96, false});
  }
  HWND window(RECT rect, dt::Show show = dt::Show::Normal, DWORD exStyle = 0) {
    dt::WindowSpec w;
    w.pid = dt::madeUpPid(4000);
    w.className = "App";
    w.title = u"App";
    w.rect = rect;
    w.show = show;
    w.exStyle = exStyle;
    return dt::createWindow(w);
  }
  HMONITOR a, b, c;
};

TEST_F(Desktop, MonitorsAreChosenByHalfOpenRectanglesLargestAreaAndFlags) {
  EXPECT_EQ(MonitorFromPoint(POINT{1919, 5}, MONITOR_DEFAULTTONULL), a);
  EXPECT_EQ(MonitorFromPoint(POINT{1920, 5}, MONITOR_DEFAULTTONULL), b);
  EXPECT_EQ(MonitorFromPoint(POINT{-1, 1023}, MONITOR_DEFAULTTONULL), c);
  EXPECT_EQ(MonitorFromPoint(POINT{-1, 1024}, MONITOR_DEFAULTTONULL), nullptr);
  EXPECT_EQ(MonitorFromPoint(POINT{-1, 1024}, MONITOR_DEFAULTTOPRIMARY), a);
  EXPECT_EQ(MonitorFromPoint(POINT{-100, 1100}, MONITOR_DEFAULTTONEAREST), c);
  EXPECT_EQ(MonitorFromPoint(POINT{5000, 100}, MONITOR_DEFAULTTONEAREST), b);

  RECT tie{1820, 100, 2020, 200}, moreOnB{1900, 100, 2100, 200}, empty{2000, 10, 2000, 10}, off{0, 5000, 10, 5010};
  EXPECT_EQ(MonitorFromRect(&tie, MONITOR_DEFAULTTONULL), a) << "a tie goes to the earlier monitor";
  EXPECT_EQ(MonitorFromRect(&moreOnB, MONITOR_DEFAULTTONULL), b);
  EXPECT_EQ(MonitorFromRect(&empty, MONITOR_DEFAULTTONULL), b) << "an empty rectangle counts as its corner";
  EXPECT_EQ(MonitorFromRect(&off, MONITOR_DEFAULTTONULL), nullptr);
  EXPECT_EQ(MonitorFromRect(&off, MONITOR_DEFAULTTOPRIMARY), a);

  std::vector<HMONITOR> seen;
  EnumDisplayMonitors(nullptr, nullptr, [](HMONITOR m, HDC, LPRECT, LPARAM p) -> BOOL {
    reinterpret_cast<std::vector<HMONITOR> *>(p)->push_back(m);
    return reinterpret_cast<std::vector<HMONITOR> *>(p)->size() < 2;
  }, reinterpret_cast<LPARAM>(&seen));
  EXPECT_EQ(seen, (std::vector<HMONITOR>{a, b})) << "in order, and stopped by the callback";
}

TEST_F(Desktop, MonitorInfoTakesBothRecordSizesOnly) {
  MONITORINFOEXW ex{};
  ex.cbSize = sizeof(ex);
  ASSERT_TRUE(GetMonitorInfoW(b, &ex));
  EXPECT_RECT(ex.rcWork, 1920, 40, 3840, 1080);
  EXPECT_EQ(ex.dwFlags, 0u);
  EXPECT_EQ(emu::toUtf8(ex.szDevice).rfind("\\\\.\\DISPLAY", 0), 0u);
  MONITORINFO plain{};
  plain.cbSize = sizeof(plain);
  ASSERT_TRUE(GetMonitorInfoW(a, &plain));
  EXPECT_EQ(plain.dwFlags, static_cast<DWORD>(MONITORINFOF_PRIMARY));
  plain.cbSize = 41;
  EXPECT_FALSE(GetMonitorInfoW(a, &plain));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  plain.cbSize = sizeof(plain);
  EXPECT_FALSE(GetMonitorInfoW(reinterpret_cast<HMONITOR>(0x1234), &plain));

  UINT x = 0, y = 0;
  EXPECT_EQ(GetDpiForMonitor(b, MDT_EFFECTIVE_DPI, &x, &y), S_OK);
  EXPECT_EQ(x, 144u);
  EXPECT_EQ(y, 144u);
  EXPECT_EQ(GetDpiForMonitor(reinterpret_cast<HMONITOR>(0x1234), MDT_EFFECTIVE_DPI, &x, &y), E_INVALIDARG);
  emu::injectFailure("GetDpiForMonitor", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(GetDpiForMonitor(a, MDT_EFFECTIVE_DPI, &x, &y), S_OK);
  EXPECT_TRUE(FAILED(GetDpiForMonitor(a, MDT_EFFECTIVE_DPI, &x, &y)));
}

TEST_F(Desktop, PlacementsAreInWorkspaceCoordinatesAndRoundTrip) {
  HWND w = window({200, 100, 600, 400});
  WINDOWPLACEMENT p{};
  p.length = sizeof(p);
  ASSERT_TRUE(GetWindowPlacement(w, &p));
  EXPECT_EQ(p.showCmd, static_cast<UINT>(SW_SHOWNORMAL));
  EXPECT_RECT(p.rcNormalPosition, 140, 100, 540, 400); // less A's 60-pixel taskbar
  ASSERT_TRUE(SetWindowPlacement(w, &p));
  EXPECT_RECT(dt::windowState(w).normal, 200, 100, 600, 400) << "setting what was read changes nothing";

  // Workspace (100, 60) on B is screen (2020, 100): its work area starts 40 pixels down.
  p.rcNormalPosition = RECT{2020, 60, 2420, 360};
  ASSERT_TRUE(SetWindowPlacement(w, &p));
  EXPECT_RECT(dt::windowState(w).normal, 2020, 100, 2420, 400);
  EXPECT_EQ(MonitorFromWindow(w, MONITOR_DEFAULTTONULL), b);

  HWND tool = window({200, 100, 600, 400}, dt::Show::Normal, WS_EX_TOOLWINDOW);
  ASSERT_TRUE(GetWindowPlacement(tool, &p));
  EXPECT_RECT(p.rcNormalPosition, 200, 100, 600, 400) << "tool windows use screen coordinates";

  p.length = 40;
  EXPECT_FALSE(GetWindowPlacement(w, &p));
  EXPECT_FALSE(SetWindowPlacement(w, &p));
}

TEST_F(Desktop, ShowStatesDecideRectanglesAndMonitor) {
  HWND max = window({2000, 100, 2400, 500}, dt::Show::Maximized);
  RECT r{};
  ASSERT_TRUE(GetWindowRect(max, &r));
  EXPECT_RECT(r, 1920, 40, 3840, 1080);
  EXPECT_TRUE(IsZoomed(max));

  HWND min = window({2000, 100, 2400, 500}, dt::Show::Minimized);
  EXPECT_TRUE(IsIconic(min));
  EXPECT_TRUE(static_cast<DWORD>(GetWindowLongW(min, GWL_STYLE)) & WS_MINIMIZE);
  ASSERT_TRUE(GetWindowRect(min, &r));
  EXPECT_EQ(r.left, -32000);
  EXPECT_EQ(MonitorFromWindow(min, MONITOR_DEFAULTTONULL), b) << "a minimized window counts where it was";

  // WPF_RESTORETOMAXIMIZED counts with SW_SHOWMINIMIZED only: SW_RESTORE brings back what the window was.
  WINDOWPLACEMENT p{};
  p.length = sizeof(p);
  ASSERT_TRUE(GetWindowPlacement(min, &p));
  EXPECT_EQ(p.showCmd, static_cast<UINT>(SW_SHOWMINIMIZED));
  p.showCmd = SW_RESTORE;
  p.flags = WPF_RESTORETOMAXIMIZED;
  ASSERT_TRUE(SetWindowPlacement(min, &p));
  EXPECT_EQ(dt::windowState(min).show, dt::Show::Normal);
}

TEST_F(Desktop, CallsOnAWindowThatIsGoneFailAsOnWindows) {
  HWND parent = window({0, 0, 100, 100});
  dt::WindowSpec childSpec;
  childSpec.pid = dt::madeUpPid(4000);
  childSpec.parent = parent;
  HWND child = dt::createWindow(childSpec);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(GetAncestor(child, GA_ROOT), parent);
  ASSERT_TRUE(dt::destroy(parent));
  EXPECT_FALSE(IsWindow(child)) << "children go with their parent";

  SetLastError(0);
  EXPECT_FALSE(IsIconic(parent));
  EXPECT_FALSE(IsWindowVisible(parent));
  EXPECT_EQ(GetWindowLongW(parent, GWL_STYLE), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetAncestor(parent, GA_ROOT), nullptr);
  EXPECT_EQ(GetWindow(parent, GW_OWNER), nullptr);
  char cls[16];
  EXPECT_EQ(GetClassNameA(parent, cls, sizeof(cls)), 0);
  WCHAR title[16];
  EXPECT_EQ(GetWindowTextW(parent, title, 16), 0);
  DWORD pid = 77;
  EXPECT_EQ(GetWindowThreadProcessId(parent, &pid), 0u);
  WINDOWPLACEMENT p{};
  p.length = sizeof(p);
  EXPECT_FALSE(GetWindowPlacement(parent, &p));
  EXPECT_FALSE(SetWindowPlacement(parent, &p));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetWindowDpiAwarenessContext(parent), nullptr);

  HWND again = window({0, 0, 100, 100});
  EXPECT_NE(again, parent) << "handles are never reused";
}

TEST_F(Desktop, TextsAreCutToTheCallersBuffer) {
  dt::WindowSpec spec;
  spec.pid = dt::madeUpPid(4000);
  spec.className = "SomeLongClassName";
  spec.title = u"Caf\u00e9 Title";
  HWND w = dt::createWindow(spec);
  char cls[5];
  EXPECT_EQ(GetClassNameA(w, cls, sizeof(cls)), 4);
  EXPECT_STREQ(cls, "Some");
  WCHAR title[5];
  EXPECT_EQ(GetWindowTextW(w, title, 5), 4);
  EXPECT_EQ(std::u16string(title), u"Caf\u00e9");
  WCHAR upper[] = u"caf\u00e9.exe";
  EXPECT_EQ(CharUpperBuffW(upper, 8), 8u);
  EXPECT_EQ(std::u16string(upper), u"CAF\u00c9.EXE");
}

TEST_F(Desktop, DpiContextsCompareOnlyThroughTheCall) {
  dt::WindowSpec spec;
  spec.pid = dt::madeUpPid(4000);
  spec.dpiAwareness = DPI_AWARENESS_CONTEXT_SYSTEM_AWARE;
  HWND w = dt::createWindow(spec);
  DPI_AWARENESS_CONTEXT ctx = GetWindowDpiAwarenessContext(w);
  EXPECT_NE(ctx, DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
  EXPECT_TRUE(AreDpiAwarenessContextsEqual(ctx, DPI_AWARENESS_CONTEXT_SYSTEM_AWARE));
  EXPECT_FALSE(AreDpiAwarenessContextsEqual(ctx, DPI_AWARENESS_CONTEXT_UNAWARE));
  EXPECT_FALSE(AreDpiAwarenessContextsEqual(nullptr, nullptr));
}

std::string run(const std::string &args) {
  std::string cmd = testenv::binDir() + "/win32ctl " + args + " 2>&1";
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(cmd.c_str(), "r"), pclose);
  char buf[512];
  while (pipe && fgets(buf, sizeof(buf), pipe.get())) out += buf;
  return out;
}

TEST_F(Desktop, AnotherProcessSeesAndChangesTheSameDesktop) {
  const DWORD notepad = dt::madeUpPid(5000);
  std::string hwndText =
      run("window-create " + std::to_string(notepad) + " 100 100 500 400 class Notepad title \"Two words\"");
  HWND w = reinterpret_cast<HWND>(std::stoull(hwndText, nullptr, 16));
  ASSERT_TRUE(IsWindow(w)) << hwndText;
  WCHAR title[32];
  EXPECT_EQ(std::u16string(title, GetWindowTextW(w, title, 32)), u"Two words");
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  EXPECT_EQ(pid, notepad);

  WINDOWPLACEMENT p{};
  p.length = sizeof(p);
  ASSERT_TRUE(GetWindowPlacement(w, &p));
  p.rcNormalPosition = RECT{2000, 0, 2400, 300};
  ASSERT_TRUE(SetWindowPlacement(w, &p));
  const std::string state = run("window-get " + hwndText);
  EXPECT_NE(state.find("normal=2000,40,2400,340"), std::string::npos) << state;
  EXPECT_NE(state.find("placements=1"), std::string::npos) << state;

  EXPECT_EQ(run("cursor 2500 300"), "");
  POINT pt{};
  ASSERT_TRUE(GetCursorPos(&pt));
  EXPECT_EQ(pt.x, 2500);
  EXPECT_EQ(run("window-destroy " + hwndText), "");
  EXPECT_FALSE(IsWindow(w));
}

// The path of a process as the program reads it: open, query, close. Empty with the error when it cannot be read.
std::string imagePath(DWORD pid, DWORD access, DWORD *error) {
  *error = 0;
  HANDLE h = OpenProcess(access, TRUE, pid);
  if (!h) {
    *error = GetLastError();
    return "";
  }
  WCHAR path[260];
  DWORD size = 260;
  const BOOL ok = QueryFullProcessImageNameW(h, 0, path, &size);
  if (!ok) *error = GetLastError();
  CloseHandle(h);
  return ok ? emu::toUtf8(path, size) : "";
}

TEST_F(Desktop, ProcessesAddedToTheDesktopHaveTheirPathAndElevatedOnesGiveLimitedInformationOnly) {
  const DWORD tool = dt::madeUpPid(5100), taskmgr = dt::madeUpPid(5101), none = dt::madeUpPid(5102);
  EXPECT_EQ(run("process-add " + std::to_string(tool) + " 'C:\\Program Files\\Tool\\tool.exe'"), "");
  EXPECT_EQ(run("process-add " + std::to_string(taskmgr) + " 'C:\\Windows\\System32\\Taskmgr.exe' elevated"), "");
  const DWORD asTheProgramAsks = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
  DWORD error = 0;
  EXPECT_EQ(imagePath(tool, asTheProgramAsks, &error), "C:\\Program Files\\Tool\\tool.exe");
  EXPECT_EQ(imagePath(tool, PROCESS_QUERY_LIMITED_INFORMATION, &error), "C:\\Program Files\\Tool\\tool.exe");
  EXPECT_EQ(imagePath(taskmgr, PROCESS_QUERY_LIMITED_INFORMATION, &error), "C:\\Windows\\System32\\Taskmgr.exe");
  EXPECT_EQ(imagePath(taskmgr, asTheProgramAsks, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "more than limited information of an elevated one";
  EXPECT_EQ(imagePath(tool, PROCESS_TERMINATE, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a record has nothing to end";
  EXPECT_EQ(imagePath(none, PROCESS_QUERY_LIMITED_INFORMATION, &error), "");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "neither live nor on the desktop";

  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, tool);
  ASSERT_NE(h, nullptr);
  WCHAR small[8];
  DWORD size = 8;
  EXPECT_FALSE(QueryFullProcessImageNameW(h, 0, small, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetProcessId(h), tool);
  CloseHandle(h);

  // A live process keeps its own path whatever the desktop records for its id.
  dt::addProcess({GetCurrentProcessId(), u"C:\\Elsewhere\\other.exe", true});
  const std::string own = imagePath(GetCurrentProcessId(), asTheProgramAsks, &error);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(own.find("other.exe"), std::string::npos) << own;
  EXPECT_FALSE(own.empty());
}

TEST_F(Desktop, LookingForADesktopProcessDoesNotMakeADesktopThatWasNeverUsed) {
  const DWORD tool = dt::madeUpPid(5100);
  dt::addProcess({tool, u"C:\\Tool\\tool.exe", false}); // on this session's desktop only
  const DWORD session = emu::currentSessionId();
  emu::setCurrentSessionId(session + 6);
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, tool);
  const DWORD error = GetLastError();
  emu::setCurrentSessionId(session);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  struct stat st {};
  EXPECT_NE(stat((emu::machineRoot() + "/desktop/session-" + std::to_string(session + 6)).c_str(), &st), 0);
}

} // namespace
