// WINDOWPLACEMENT as documented: a rectangle off every monitor is brought onto one, GetWindowPlacement reports no
// flags, WPF_RESTORETOMAXIMIZED counts with SW_SHOWMINIMIZED only and SW_RESTORE brings back the state before
// minimizing; WPF_ASYNCWINDOWPLACEMENT posts the change to a window's thread that does not run its loop instead of
// holding the caller. UnhookWinEvent belongs to the hooking thread.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "emu/desktop.h"
#include "emu/emu.h"

namespace dt = emu::desktop;

namespace {

constexpr DWORD kAppThread = 7001;

class Placement : public ::testing::Test {
protected:
  void SetUp() override {
    dt::reset();
    emu::clearFailures();
  }
  HWND window(dt::Show show, bool restoreToMaximized = false) {
    dt::WindowSpec w;
    w.pid = dt::madeUpPid(7000);
    w.tid = kAppThread;
    w.className = "App";
    w.rect = {100, 100, 500, 400};
    w.show = show;
    w.restoreToMaximized = restoreToMaximized;
    return dt::createWindow(w);
  }
  static WINDOWPLACEMENT placementOf(HWND hwnd) {
    WINDOWPLACEMENT p{};
    p.length = sizeof(p);
    EXPECT_TRUE(GetWindowPlacement(hwnd, &p));
    return p;
  }
  static bool place(HWND hwnd, UINT showCmd, UINT flags, RECT rc = {100, 100, 500, 400}) {
    WINDOWPLACEMENT p = placementOf(hwnd);
    p.showCmd = showCmd;
    p.flags = flags;
    p.rcNormalPosition = rc;
    return SetWindowPlacement(hwnd, &p) != FALSE;
  }
};

// SetWindowPlacement: "the system will automatically adjust the coordinates so that the window is visible".
TEST_F(Placement, ARectangleOffEveryMonitorIsMovedOntoTheNearestWorkAreaSizeKept) {
  HWND w = window(dt::Show::Normal);
  ASSERT_TRUE(place(w, SW_SHOWNORMAL, 0, {3000, 1100, 3400, 1400}));
  RECT r = dt::windowState(w).normal;
  EXPECT_TRUE(r.left == 1520 && r.top == 740 && r.right == 1920 && r.bottom == 1040)
      << r.left << "," << r.top << "," << r.right << "," << r.bottom;
  ASSERT_TRUE(place(w, SW_SHOWNORMAL, 0, {1800, -50, 2200, 250})); // partly visible: left where it was put
  r = dt::windowState(w).normal;
  EXPECT_TRUE(r.left == 1800 && r.top == -50 && r.right == 2200 && r.bottom == 250)
      << r.left << "," << r.top << "," << r.right << "," << r.bottom;
}

TEST_F(Placement, FlagsAreNeverReportedAndRestoreBringsBackTheStateBeforeMinimizing) {
  HWND wasMaximized = window(dt::Show::Minimized, true);
  EXPECT_EQ(placementOf(wasMaximized).flags, 0u);
  EXPECT_EQ(placementOf(wasMaximized).showCmd, static_cast<UINT>(SW_SHOWMINIMIZED));
  // Placed again while minimized, without the flag: it still restores as it would have.
  ASSERT_TRUE(place(wasMaximized, SW_SHOWMINIMIZED, 0));
  ASSERT_TRUE(place(wasMaximized, SW_RESTORE, 0));
  EXPECT_EQ(dt::windowState(wasMaximized).show, dt::Show::Maximized);
  ASSERT_TRUE(place(wasMaximized, SW_RESTORE, 0));
  EXPECT_EQ(dt::windowState(wasMaximized).show, dt::Show::Normal);

  HWND normal = window(dt::Show::Normal);
  ASSERT_TRUE(place(normal, SW_MINIMIZE, WPF_RESTORETOMAXIMIZED)); // the flag counts with SW_SHOWMINIMIZED only
  ASSERT_TRUE(place(normal, SW_RESTORE, 0));
  EXPECT_EQ(dt::windowState(normal).show, dt::Show::Normal);
  ASSERT_TRUE(place(normal, SW_SHOWMINIMIZED, WPF_RESTORETOMAXIMIZED));
  EXPECT_EQ(placementOf(normal).flags, 0u);
  ASSERT_TRUE(place(normal, SW_RESTORE, 0));
  EXPECT_EQ(dt::windowState(normal).show, dt::Show::Maximized);

  HWND maximized = window(dt::Show::Maximized);
  ASSERT_TRUE(place(maximized, SW_MINIMIZE, 0));
  ASSERT_TRUE(place(maximized, SW_RESTORE, 0));
  EXPECT_EQ(dt::windowState(maximized).show, dt::Show::Maximized);
}

TEST_F(Placement, AnAsyncPlacementIsPostedToAThreadThatDoesNotRunItsLoop) {
  HWND hwnd = window(dt::Show::Maximized);
  dt::stopThreadLoop(kAppThread);
  const uint64_t before = dt::placementCount();
  // The caller goes on at once (a sent change would wait here for the window's thread).
  ASSERT_TRUE(place(hwnd, SW_RESTORE, WPF_ASYNCWINDOWPLACEMENT, {200, 150, 600, 450}));
  ASSERT_TRUE(place(hwnd, SW_SHOWMAXIMIZED, WPF_ASYNCWINDOWPLACEMENT, {200, 150, 600, 450}));
  EXPECT_EQ(dt::placementCount(), before);
  EXPECT_EQ(dt::windowState(hwnd).normal.left, 100);

  dt::runThreadLoop(kAppThread); // the thread handles its queue, in order
  const auto records = dt::placementsOf(hwnd);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].showAfter, dt::Show::Normal);
  EXPECT_EQ(records[1].showAfter, dt::Show::Maximized);
  EXPECT_EQ(dt::windowState(hwnd).normal.left, 200);

  // A sent change to a thread that runs its loop is handled within the call.
  ASSERT_TRUE(place(hwnd, SW_RESTORE, 0));
  EXPECT_EQ(dt::windowState(hwnd).show, dt::Show::Normal);
}

TEST_F(Placement, OnlyTheHookingThreadCanUnhook) {
  auto proc = [](HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD) {};
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, proc, 0, 0,
                                       WINEVENT_OUTOFCONTEXT);
  ASSERT_NE(hook, nullptr);
  BOOL elsewhere = TRUE;
  DWORD error = 0;
  std::thread([&] {
    elsewhere = UnhookWinEvent(hook);
    error = GetLastError();
  }).join();
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HOOK_HANDLE));
  EXPECT_TRUE(UnhookWinEvent(hook));
  EXPECT_FALSE(UnhookWinEvent(hook));
}

} // namespace
