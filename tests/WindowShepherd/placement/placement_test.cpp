// Placement on the cursor's monitor, read back from the desktop: offsets, work-area insets, maximized and minimized
// windows, the DPI clamp and failures.
#include "fixture.h"

#include <QtGlobal>

#include "movenewwindowtoactivatemonitor.h"

namespace {

class Placement : public DesktopFixture {};

TEST_F(Placement, TheSpecifiedVectorsEndToEnd) {
  // The source work area starts at (0,0); the target work area is (600,40)-(990,700), inset 40 at the top.
  dt::clearMonitors();
  dt::addMonitor({{0, 0, 600, 720}, {0, 0, 600, 720}, 96, true});
  dt::addMonitor({{600, 0, 1000, 720}, {600, 40, 990, 700}, 96, false});
  dt::setCursor(POINT{800, 300});
  const RECT inputs[] = {{50, 50, 350, 350}, {90, 0, 390, 660}, {20, 100, 520, 900}, {-30, 20, 270, 320}};
  const RECT screen[] = {{650, 90, 950, 390}, {690, 40, 990, 700}, {616, 56, 990, 700}, {616, 60, 916, 360}};
  for (int i = 0; i < 4; ++i) {
    dt::WindowSpec spec = movable();
    spec.rect = inputs[i];
    HWND w = create(spec);
    MoveWindowToCursorMonitor(w);
    const auto calls = dt::placementsOf(w);
    ASSERT_EQ(calls.size(), 2u) << i;
    // Handed over in workspace coordinates: the target's 40-pixel inset taken off.
    const RECT &s = screen[i];
    EXPECT_RECT(calls[0].rcNormalPosition, s.left, s.top - 40, s.right, s.bottom - 40);
    EXPECT_EQ(calls[0].showCmd, static_cast<UINT>(SW_RESTORE));
    EXPECT_TRUE(calls[0].flags & WPF_ASYNCWINDOWPLACEMENT);
    EXPECT_RECT(dt::windowState(w).normal, s.left, s.top, s.right, s.bottom);
  }
}

TEST_F(Placement, TheOffsetCountsFromAnInsetSourceWorkArea) {
  // Taskbars on the left and at the top of the source monitor.
  dt::clearMonitors();
  dt::addMonitor({{0, 0, 1920, 1080}, {60, 50, 1920, 1080}, 96, true});
  dt::addMonitor({{1920, 0, 3840, 1080}, {1920, 0, 3840, 1040}, 96, false});
  dt::setCursor(POINT{2500, 500});
  dt::WindowSpec spec = movable();
  spec.rect = RECT{160, 150, 560, 450}; // 100 pixels from the work area's left and top edges
  HWND w = create(spec);
  MoveWindowToCursorMonitor(w);
  EXPECT_RECT(dt::windowState(w).normal, 2020, 100, 2420, 400);

  // Closer to the edge than the taskbar is wide: still its own offset, not the fallback.
  spec.rect = RECT{90, 70, 490, 370};
  HWND near = create(spec);
  MoveWindowToCursorMonitor(near);
  EXPECT_RECT(dt::windowState(near).normal, 1950, 20, 2350, 320);
}

TEST_F(Placement, AWindowOnTheCursorsMonitorIsNotTouched) {
  dt::WindowSpec spec = movable();
  spec.rect = RECT{2000, 100, 2600, 600};
  HWND w = create(spec);
  emu::clearCallJournal();
  MoveWindowToCursorMonitor(w);
  EXPECT_EQ(calls("GetWindowPlacement"), 0);
  EXPECT_EQ(calls("SetWindowPlacement"), 0);

  // One monitor: nothing ever moves.
  dt::clearMonitors();
  dt::addMonitor({{0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true});
  HWND only = create(movable());
  emu::clearCallJournal();
  MoveWindowToCursorMonitor(only);
  EXPECT_EQ(calls("SetWindowPlacement"), 0);
}

TEST_F(Placement, AMaximizedWindowIsRestoredInTheTargetThenMaximizedThere) {
  dt::WindowSpec spec = movable();
  spec.show = dt::Show::Maximized;
  HWND w = create(spec);
  MoveWindowToCursorMonitor(w);
  const auto calls = dt::placementsOf(w);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].showCmd, static_cast<UINT>(SW_RESTORE));
  EXPECT_FALSE(calls[0].flags & WPF_RESTORETOMAXIMIZED);
  EXPECT_EQ(calls[0].showAfter, dt::Show::Normal);
  EXPECT_RECT(calls[0].normalAfter, 2020, 100, 2820, 700);
  EXPECT_EQ(calls[1].showCmd, static_cast<UINT>(SW_SHOWMAXIMIZED));
  const dt::WindowState state = dt::windowState(w);
  EXPECT_EQ(state.show, dt::Show::Maximized);
  EXPECT_EQ(state.monitor, right);
  EXPECT_RECT(state.windowRect, 1920, 0, 3840, 1040);

  // keepRestored leaves it restored in the target.
  HWND other = create(spec);
  SizeWindowToRect(other, RECT{2020, 100, 2820, 700}, TRUE);
  EXPECT_EQ(dt::windowState(other).show, dt::Show::Normal);
}

TEST_F(Placement, AWindowMinimizedDuringTheWaitIsPlacedWhenItComesBack) {
  dt::WindowSpec spec = movable();
  HWND w = create(spec);
  // Minimized after classification, restored while the program waits (its fourth read of the placement).
  dt::onCall("GetWindowPlacement", 1, [&] { dt::minimize(w); });
  dt::onCall("GetWindowPlacement", 4, [&] { dt::restore(w); });
  MoveWindowToCursorMonitor(w);
  EXPECT_EQ(calls("GetWindowPlacement"), 4);
  const auto calls = dt::placementsOf(w);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].showCmd, static_cast<UINT>(SW_RESTORE));
  EXPECT_EQ(dt::windowState(w).show, dt::Show::Normal);
  EXPECT_RECT(dt::windowState(w).normal, 2020, 100, 2820, 700);
}

TEST_F(Placement, AWindowThatStaysMinimizedGetsItsRectangleAndStaysMinimized) {
  HWND w = create(movable());
  dt::onCall("GetWindowPlacement", 1, [&] { dt::minimize(w); });
  MoveWindowToCursorMonitor(w);
  EXPECT_EQ(calls("GetWindowPlacement"), 1 + 1 + 5) << "one read to move, one to size, five more while minimized";
  const auto calls = dt::placementsOf(w);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].showCmd, static_cast<UINT>(SW_SHOWMINIMIZED));
  EXPECT_EQ(calls[1].showCmd, static_cast<UINT>(SW_SHOWMINIMIZED));
  const dt::WindowState state = dt::windowState(w);
  EXPECT_EQ(state.show, dt::Show::Minimized);
  EXPECT_RECT(state.normal, 2020, 100, 2820, 700);
}

TEST_F(Placement, AHiddenWindowIsPlacedHidden) {
  HWND w = create(movable());
  dt::onCall("GetWindowPlacement", 2, [&] { dt::hide(w); });
  MoveWindowToCursorMonitor(w);
  const auto calls = dt::placementsOf(w);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].showCmd, static_cast<UINT>(SW_HIDE));
  EXPECT_FALSE(dt::windowState(w).visible);
}

TEST_F(Placement, WindowsThatAreNotPerMonitorAwareStayInsideAMonitorOfAnotherDpi) {
  dt::clearMonitors();
  dt::addMonitor({{0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true});
  dt::addMonitor({{1920, 0, 3840, 1080}, {1920, 0, 3840, 1040}, 144, false});
  dt::WindowSpec spec = movable();
  spec.rect = RECT{100, 100, 900, 700};
  spec.dpiAwareness = DPI_AWARENESS_CONTEXT_UNAWARE;
  HWND unaware = create(spec);
  MoveWindowToCursorMonitor(unaware);
  EXPECT_EQ(calls("EnumDisplayMonitors"), 1);
  EXPECT_EQ(calls("GetDpiForMonitor"), 2);
  EXPECT_RECT(dt::windowState(unaware).normal, 2020, 100, 2820, 700) << "inside the monitor: unchanged by the clamp";

  spec.dpiAwareness = DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2;
  HWND aware = create(spec);
  emu::clearCallJournal();
  MoveWindowToCursorMonitor(aware);
  EXPECT_EQ(calls("EnumDisplayMonitors"), 0);
  EXPECT_EQ(dt::placementsOf(aware).size(), 2u);
}

TEST_F(Placement, TheDpiClampKeepsTheRectangleOnTheTargetMonitor) {
  // The clamp bites only where the rectangle would leave the monitor: call the sizing step directly with one.
  dt::clearMonitors();
  dt::addMonitor({{0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true});
  dt::addMonitor({{1920, 0, 3840, 1080}, {1920, 40, 3840, 1080}, 144, false});
  dt::WindowSpec spec = movable();
  spec.dpiAwareness = DPI_AWARENESS_CONTEXT_SYSTEM_AWARE;
  HWND w = create(spec);
  SizeWindowToRect(w, RECT{2000, 100, 4000, 1200}, FALSE);
  auto calls = dt::placementsOf(w);
  ASSERT_EQ(calls.size(), 2u);
  // Workspace coordinates of B (inset 40 at the top), clamped to the monitor less that inset.
  EXPECT_RECT(calls[0].rcNormalPosition, 2000, 60, 3840, 1040);

  // Same DPI everywhere: no clamp.
  dt::clearMonitors();
  dt::addMonitor({{0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 144, true});
  dt::addMonitor({{1920, 0, 3840, 1080}, {1920, 40, 3840, 1080}, 144, false});
  HWND uniform = create(spec);
  SizeWindowToRect(uniform, RECT{2000, 100, 4000, 1200}, FALSE);
  EXPECT_RECT(dt::placementsOf(uniform)[0].rcNormalPosition, 2000, 60, 4000, 1160);

  // A monitor whose DPI cannot be read counts as different.
  emu::injectFailure("GetDpiForMonitor", ERROR_ACCESS_DENIED, 2);
  HWND unknown = create(spec);
  SizeWindowToRect(unknown, RECT{2000, 100, 4000, 1200}, FALSE);
  EXPECT_RECT(dt::placementsOf(unknown)[0].rcNormalPosition, 2000, 60, 3840, 1040);
}

TEST_F(Placement, WithoutTheCursorThePrimaryMonitorIsTheTarget) {
  dt::WindowSpec spec = movable();
  spec.rect = RECT{2020, 100, 2820, 700};
  HWND w = create(spec);
  emu::injectFailure("GetCursorPos", ERROR_ACCESS_DENIED);
  MoveWindowToCursorMonitor(w);
  EXPECT_RECT(dt::windowState(w).normal, 100, 100, 900, 700);
}

QStringList g_debug;
void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &msg) {
  if (type == QtDebugMsg) g_debug << QString::fromUtf8(context.function ? context.function : "") + " | " + msg;
}

TEST_F(Placement, ARefusedPlacementIsReportedAsADebugMessage) {
  dt::addProcess({dt::madeUpPid(4100), u"C:\\Windows\\System32\\Taskmgr.exe", true});
  dt::WindowSpec spec = movable();
  spec.pid = dt::madeUpPid(4100); // elevated: placements are refused
  HWND w = create(spec);
  g_debug.clear();
  QtMessageHandler previous = qInstallMessageHandler(captureDebug);
  MoveWindowToCursorMonitor(w);
  qInstallMessageHandler(previous);
  EXPECT_TRUE(dt::placementsOf(w).empty());
  ASSERT_EQ(g_debug.size(), 2);
  EXPECT_EQ(g_debug[0].toStdString(), "void SizeWindowToRect(HWND, RECT, BOOL) | SetWindowPlacement failed,  5");
  EXPECT_RECT(dt::windowState(w).normal, 100, 100, 900, 700);
}

} // namespace

namespace {

// A window whose program hangs (its thread runs no message loop) must not hold the program's one thread: both
// placements are posted and the window moves once its thread runs again.
TEST_F(Placement, AHungWindowDoesNotHoldTheProgram) {
  dt::WindowSpec spec = movable();
  spec.tid = 9101;
  spec.show = dt::Show::Maximized;
  HWND w = create(spec);
  dt::stopThreadLoop(spec.tid);
  MoveWindowToCursorMonitor(w);
  EXPECT_TRUE(dt::placementsOf(w).empty());
  dt::runThreadLoop(spec.tid);
  EXPECT_EQ(dt::placementsOf(w).size(), 2u);
  EXPECT_EQ(dt::windowState(w).monitor, right);
  EXPECT_EQ(dt::windowState(w).show, dt::Show::Maximized);
}

} // namespace
