// The window monitor on the hub: START and PAUSE in every state, events across a pause, events that must be
// ignored, windows gone before their event arrives, and hooks that cannot be installed.
#include "fixture.h"

#include <QSignalSpy>

#include "logcapture.h"
#include "signalcenter.h"
#include "windowmonitor.h"

namespace {

class Monitor : public DesktopFixture {
protected:
  static void SetUpTestSuite() {
    DesktopFixture::SetUpTestSuite();
    SignalCenter::createInstance(QCoreApplication::instance());
  }
  void SetUp() override {
    DesktopFixture::SetUp();
    monitor = std::make_unique<WindowMonitor>();
    monitor->initConnections();
  }
  void TearDown() override {
    monitor.reset();
    DesktopFixture::TearDown();
  }
  static SignalCenter *hub() { return SignalCenter::instance(); }
  bool moved(HWND w) { return !dt::placementsOf(w).empty(); }
  std::unique_ptr<WindowMonitor> monitor;
};

TEST_F(Monitor, StartTwiceInstallsOneSetOfHooksAndAnnouncesTwice) {
  QSignalSpy started(hub(), &SignalCenter::started);
  emit hub()->startSig();
  emit hub()->startSig();
  EXPECT_EQ(started.count(), 2);
  EXPECT_EQ(calls("SetWinEventHook"), 3);
  HWND w = create(movable());
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_TRUE(moved(w));
  EXPECT_EQ(dt::placementsOf(w).size(), 2u) << "one window, one placement, however many hooks saw it";
}

TEST_F(Monitor, PauseWhileOffRemovesNothingAndAnnounces) {
  QSignalSpy paused(hub(), &SignalCenter::paused);
  emit hub()->pauseSig();
  EXPECT_EQ(paused.count(), 1);
  EXPECT_EQ(calls("UnhookWinEvent"), 0);
  HWND w = create(movable());
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_FALSE(moved(w));
}

TEST_F(Monitor, AnEventQueuedAcrossAPauseIsDroppedAndLaterOnesAreHandled) {
  emit hub()->startSig();
  HWND before = create(movable()); // raised while on, not yet delivered
  emit hub()->pauseSig();
  emit hub()->startSig();
  EXPECT_EQ(calls("SetWinEventHook"), 6);
  EXPECT_EQ(calls("UnhookWinEvent"), 3);
  HWND after = create(movable());
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_FALSE(moved(before));
  EXPECT_TRUE(moved(after));
  EXPECT_RECT(dt::windowState(after).normal, 2020, 100, 2820, 700);
}

TEST_F(Monitor, CreatedShownAndUncloakedWindowsAreMovedWhileStarted) {
  emit hub()->startSig();
  dt::WindowSpec hidden = movable();
  hidden.style &= ~WS_VISIBLE;
  HWND shownLater = create(hidden);
  dt::WindowSpec cloaked = movable();
  cloaked.cloaked = true;
  cloaked.style &= ~WS_VISIBLE;
  HWND uncloaked = create(cloaked);
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_FALSE(moved(shownLater)) << "hidden windows are left alone";
  dt::show(shownLater);
  dt::setStyle(uncloaked, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0);
  ASSERT_TRUE(dt::deliverPending());
  const size_t afterShow = dt::placementsOf(uncloaked).size();
  dt::uncloak(uncloaked);
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_TRUE(moved(shownLater));
  EXPECT_EQ(dt::windowState(uncloaked).monitor, right);
  EXPECT_EQ(afterShow, 2u) << "moved on its show event";
  EXPECT_EQ(dt::placementsOf(uncloaked).size(), 2u) << "already on the cursor's monitor when uncloaked";
}

TEST_F(Monitor, PartsOfWindowsAndOwnWindowsAreIgnored) {
  emit hub()->startSig();
  dt::WindowSpec hidden = movable();
  hidden.style &= ~WS_VISIBLE;
  HWND w = create(hidden);
  ASSERT_TRUE(dt::deliverPending());
  dt::setStyle(w, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0); // raises a show event of its own
  dt::hide(w);
  dt::setStyle(w, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0);
  emu::clearCallJournal();
  ASSERT_TRUE(dt::deliverPending());
  ASSERT_TRUE(moved(w)) << "the window itself is handled";

  HWND other = create(hidden);
  ASSERT_TRUE(dt::deliverPending());
  dt::setStyle(other, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0);
  // Its own show event, then events of its parts and one with a child id.
  dt::injectEvent(EVENT_OBJECT_SHOW, other, OBJID_CARET, 0);
  dt::injectEvent(EVENT_OBJECT_CREATE, other, OBJID_VSCROLL, 0);
  dt::injectEvent(EVENT_OBJECT_SHOW, other, OBJID_WINDOW, 3);
  emu::clearCallJournal();
  // Only the two OBJID_WINDOW events reach the placement.
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_EQ(calls("IsIconic"), 2);

  dt::WindowSpec mine = movable();
  mine.pid = GetCurrentProcessId();
  emu::clearCallJournal();
  HWND own = create(mine);
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_FALSE(moved(own));
  EXPECT_EQ(calls("IsIconic"), 0) << "the program's own windows never reach the callback";
}

TEST_F(Monitor, AWindowDestroyedBeforeItsEventArrivesIsLeftAlone) {
  emit hub()->startSig();
  HWND w = create(movable());
  dt::destroy(w);
  emu::clearCallJournal();
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_GE(calls("IsIconic"), 1) << "the events were delivered";
  EXPECT_EQ(calls("SetWindowPlacement"), 0);
  EXPECT_TRUE(dt::placements().empty());
}

TEST_F(Monitor, DestroyingTheMonitorRemovesTheHooksSilently) {
  emit hub()->startSig();
  QSignalSpy paused(hub(), &SignalCenter::paused);
  monitor.reset();
  EXPECT_EQ(calls("UnhookWinEvent"), 3);
  EXPECT_EQ(paused.count(), 0);
  HWND w = create(movable());
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_FALSE(moved(w));
}

TEST_F(Monitor, AHookThatCannotBeInstalledIsLoggedAndStartedAnyway) {
  logcapture::open();
  logcapture::mark();
  QSignalSpy started(hub(), &SignalCenter::started);
  emu::injectFailure("SetWinEventHook", ERROR_ACCESS_DENIED, 3); // the third: the show hook
  emit hub()->startSig();
  EXPECT_EQ(started.count(), 1);
  const auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level + " " + lines[0].message, "E SetWinEventHook failed, event: 0x8002, error: 0x5");

  // Shown windows are not reported; created ones are.
  dt::WindowSpec hidden = movable();
  hidden.style &= ~WS_VISIBLE;
  HWND later = create(hidden);
  ASSERT_TRUE(dt::deliverPending());
  dt::show(later);
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_FALSE(moved(later));

  emit hub()->startSig();
  EXPECT_EQ(calls("SetWinEventHook"), 3) << "a further START does not try again";
  EXPECT_EQ(started.count(), 2);
  emit hub()->pauseSig();
  EXPECT_EQ(calls("UnhookWinEvent"), 2) << "only the installed hooks are removed";
  emit hub()->startSig();
  EXPECT_EQ(calls("SetWinEventHook"), 6);
  dt::hide(later);
  dt::show(later);
  ASSERT_TRUE(dt::deliverPending());
  EXPECT_TRUE(moved(later));
}

class SignalHub : public DesktopFixture {};

TEST_F(SignalHub, TheFirstHubStaysTheOnlyOne) {
  QObject otherParent;
  SignalCenter::createInstance(QCoreApplication::instance());
  SignalCenter *first = SignalCenter::instance();
  ASSERT_NE(first, nullptr);
  SignalCenter::createInstance(&otherParent);
  EXPECT_EQ(SignalCenter::instance(), first);
  EXPECT_EQ(first->parent(), QCoreApplication::instance());
}

} // namespace
