// Out-of-context window event hooks: queued when raised, delivered from the installing thread's event loop in raise
// order, filtered by event range and own process, dropped on unhook.
#include <gtest/gtest.h>

#include <windows.h>

#include <QCoreApplication>

#include <vector>

#include "emu/desktop.h"
#include "emu/emu.h"
#include "testenv.h"

namespace dt = emu::desktop;

namespace {

struct Seen {
  HWINEVENTHOOK hook;
  DWORD event;
  HWND hwnd;
  LONG idObject;
  bool insideCall;
};
std::vector<Seen> g_seen;
bool g_inCall = false;

void CALLBACK record(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG idObject, LONG, DWORD, DWORD) {
  g_seen.push_back(Seen{hook, event, hwnd, idObject, g_inCall});
}

class Hooks : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "hooks_test";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  }
  void SetUp() override {
    dt::reset();
    g_seen.clear();
  }
  void TearDown() override {
    for (HWINEVENTHOOK h : hooks) UnhookWinEvent(h);
  }
  HWINEVENTHOOK hook(DWORD min, DWORD max, DWORD flags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS) {
    HWINEVENTHOOK h = SetWinEventHook(min, max, nullptr, record, 0, 0, flags);
    if (h) hooks.push_back(h);
    return h;
  }
  HWND window(DWORD pid = 4000, DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE) {
    dt::WindowSpec w;
    w.pid = pid;
    w.style = style;
    return dt::createWindow(w);
  }
  std::vector<HWINEVENTHOOK> hooks;
};

TEST_F(Hooks, EventsArriveFromTheEventLoopInRaiseOrderNeverInsideACall) {
  ASSERT_NE(hook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW), nullptr);
  g_inCall = true;
  HWND a = window();
  HWND b = window(4000, WS_OVERLAPPEDWINDOW); // hidden
  dt::show(b);
  dt::uncloak(a); // not cloaked: nothing raised
  g_inCall = false;
  EXPECT_TRUE(g_seen.empty()) << "nothing is delivered before the event loop runs";
  ASSERT_TRUE(dt::deliverPending());
  ASSERT_EQ(g_seen.size(), 4u);
  const DWORD order[] = {EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW, EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW};
  const HWND windows[] = {a, a, b, b};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(g_seen[i].event, order[i]) << i;
    EXPECT_EQ(g_seen[i].hwnd, windows[i]) << i;
    EXPECT_FALSE(g_seen[i].insideCall);
    EXPECT_EQ(g_seen[i].idObject, OBJID_WINDOW);
  }
}

TEST_F(Hooks, EachHookSeesOnlyItsRangeAndOtherProcesses) {
  HWINEVENTHOOK uncloaked = hook(EVENT_OBJECT_UNCLOAKED, EVENT_OBJECT_UNCLOAKED);
  HWINEVENTHOOK all = hook(EVENT_MIN, EVENT_MAX, WINEVENT_OUTOFCONTEXT);
  dt::WindowSpec spec;
  spec.pid = 4000;
  spec.cloaked = true;
  HWND w = dt::createWindow(spec);
  dt::uncloak(w);
  window(GetCurrentProcessId()); // this process's own window
  dt::injectEvent(EVENT_OBJECT_UNCLOAKED, w, OBJID_CARET, 0);
  ASSERT_TRUE(dt::deliverPending());
  std::vector<DWORD> forUncloaked, forAll;
  for (const Seen &s : g_seen) (s.hook == uncloaked ? forUncloaked : forAll).push_back(s.event);
  EXPECT_EQ(forUncloaked, (std::vector<DWORD>{EVENT_OBJECT_UNCLOAKED, EVENT_OBJECT_UNCLOAKED}));
  EXPECT_EQ(forAll.size(), 6u) << "without WINEVENT_SKIPOWNPROCESS the own window's events come too";
  ASSERT_FALSE(g_seen.empty());
  EXPECT_EQ(g_seen.back().idObject, OBJID_CARET) << "the object id is passed on as raised";
  (void)all;
}

TEST_F(Hooks, UnhookingDropsWhatWasQueuedAndLateHooksMissEarlierEvents) {
  HWINEVENTHOOK first = hook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE);
  window();
  ASSERT_TRUE(UnhookWinEvent(first));
  hooks.clear();
  EXPECT_FALSE(UnhookWinEvent(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HOOK_HANDLE));
  HWINEVENTHOOK second = hook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE);
  HWND late = window();
  ASSERT_TRUE(dt::deliverPending());
  ASSERT_EQ(g_seen.size(), 1u) << "the first window's event was queued for the removed hook only";
  EXPECT_EQ(g_seen[0].hook, second);
  EXPECT_EQ(g_seen[0].hwnd, late);
}

TEST_F(Hooks, ABadHookIsRefusedAndAnInjectedFailureReturnsNull) {
  EXPECT_EQ(SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_CREATE, nullptr, record, 0, 0, 0), nullptr);
  EXPECT_EQ(SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW, nullptr, nullptr, 0, 0, 0), nullptr);
  emu::injectFailure("SetWinEventHook", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(hook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_NE(hook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW), nullptr);
  emu::clearFailures();
}

TEST_F(Hooks, EventsRaisedByAnotherProcessReachTheHook) {
  hook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW);
  const std::string cmd = testenv::binDir() + "/win32ctl window-create 6000 10 10 300 300 > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_TRUE(dt::deliverPending());
  ASSERT_EQ(g_seen.size(), 2u);
  DWORD pid = 0;
  GetWindowThreadProcessId(g_seen[0].hwnd, &pid);
  EXPECT_EQ(pid, 6000u);
  EXPECT_EQ(g_seen[1].event, static_cast<DWORD>(EVENT_OBJECT_SHOW));
}

} // namespace
