// Out-of-context window event hooks: queued when raised, delivered from the installing thread's event loop in raise
// order, filtered by event range and own process, dropped on unhook.
#include <gtest/gtest.h>

#include <windows.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <sched.h>
#include <thread>
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
std::atomic<size_t> g_seenCount{0};

void CALLBACK record(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG idObject, LONG, DWORD, DWORD) {
  g_seen.push_back(Seen{hook, event, hwnd, idObject, g_inCall});
  g_seenCount = g_seen.size();
}

// Keeps this thread, and the threads that call pin(), on the CPU this thread runs on: a reader woken by a writer on
// its own CPU tends to preempt the writer in the middle of its change.
class OneCpu {
public:
  OneCpu() : cpu_(sched_getcpu()) {
    sched_getaffinity(0, sizeof(saved_), &saved_);
    pin();
  }
  ~OneCpu() { sched_setaffinity(0, sizeof(saved_), &saved_); }
  bool pin() const { // processes started by the calling thread inherit it
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu_, &set);
    return cpu_ >= 0 && sched_setaffinity(0, sizeof(set), &set) == 0;
  }

private:
  int cpu_;
  cpu_set_t saved_;
};

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
    g_seenCount = 0;
  }
  void TearDown() override {
    for (HWINEVENTHOOK h : hooks) UnhookWinEvent(h);
  }
  HWINEVENTHOOK hook(DWORD min, DWORD max, DWORD flags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS) {
    HWINEVENTHOOK h = SetWinEventHook(min, max, nullptr, record, 0, 0, flags);
    if (h) hooks.push_back(h);
    return h;
  }
  HWND window(DWORD pid = dt::madeUpPid(4000), DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE) {
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
  spec.pid = dt::madeUpPid(4000);
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

TEST_F(Hooks, EveryWindowAnotherProcessOpensArrivesWithoutALaterChangeToFlushIt) {
  // Another process opens the windows one at a time while this thread waits in its event loop, and each must arrive
  // before the next one is opened: an event whose wake-up came before it was published would wait for a later change
  // forever. One win32ctl reads the commands as they come, so a busy machine starts one process, not one a window.
  OneCpu oneCpu;
  ASSERT_TRUE(oneCpu.pin());
  ASSERT_NE(hook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW), nullptr);
  constexpr size_t kWindows = 60;
  std::atomic<int> stalledAt{-1};
  bool ctlEnded = false;
  QEventLoop loop;
  std::thread writer([&] {
    oneCpu.pin();
    FILE *ctl = popen((testenv::binDir() + "/win32ctl desktop-run /dev/stdin > /dev/null").c_str(), "w");
    for (size_t i = 0; ctl && i < kWindows && stalledAt < 0; ++i) {
      std::fprintf(ctl, "window-create %u 10 10 300 300\n", static_cast<unsigned>(dt::madeUpPid(7000 + i)));
      std::fflush(ctl);
      // A hang guard only: a delivered event arrives at once.
      QDeadlineTimer guard(20000);
      while (g_seenCount < (i + 1) * 2 && !guard.hasExpired()) QThread::usleep(200);
      if (g_seenCount < (i + 1) * 2) stalledAt = static_cast<int>(i);
    }
    ctlEnded = ctl && pclose(ctl) == 0;
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  loop.exec();
  writer.join();
  EXPECT_TRUE(ctlEnded);
  EXPECT_EQ(stalledAt, -1) << "the events of window " << stalledAt << " stayed undelivered";
  const std::vector<HWND> opened = dt::windows();
  ASSERT_EQ(opened.size(), kWindows);
  ASSERT_EQ(g_seen.size(), opened.size() * 2);
  for (size_t i = 0; i < opened.size(); ++i) {
    EXPECT_EQ(g_seen[2 * i].event, static_cast<DWORD>(EVENT_OBJECT_CREATE)) << i;
    EXPECT_EQ(g_seen[2 * i + 1].event, static_cast<DWORD>(EVENT_OBJECT_SHOW)) << i;
    EXPECT_EQ(g_seen[2 * i].hwnd, opened[i]) << i;
    EXPECT_EQ(g_seen[2 * i + 1].hwnd, opened[i]) << i;
  }
}

TEST_F(Hooks, WindowsOpenedByProcessesAtOnceArriveAllAndInRaiseOrder) {
  OneCpu oneCpu;
  ASSERT_TRUE(oneCpu.pin());
  ASSERT_NE(hook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW), nullptr);
  constexpr int kWriters = 4, kEach = 40;
  std::vector<std::string> scenarios;
  for (int w = 0; w < kWriters; ++w) {
    std::string text;
    const std::string line = "window-create " + std::to_string(dt::madeUpPid(8000 + w)) + " 10 10 300 300\n";
    for (int i = 0; i < kEach; ++i) text += line;
    scenarios.push_back(testenv::tempDir() + "/burst" + std::to_string(w));
    testenv::writeFile(scenarios.back(), text);
  }
  const size_t expected = kWriters * kEach * 2;
  std::atomic<int> failedWriters{0};
  QEventLoop loop;
  std::thread driver([&] {
    oneCpu.pin();
    std::vector<std::thread> writers;
    for (const std::string &file : scenarios)
      writers.emplace_back([&, file] {
        const std::string cmd = testenv::binDir() + "/win32ctl desktop-run " + file + " > /dev/null";
        if (std::system(cmd.c_str()) != 0) ++failedWriters;
      });
    for (std::thread &t : writers) t.join();
    QDeadlineTimer guard(20000); // a hang guard only
    while (g_seenCount < expected && !guard.hasExpired()) QThread::usleep(500);
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  loop.exec();
  driver.join();
  ASSERT_EQ(failedWriters, 0);
  ASSERT_EQ(g_seen.size(), expected) << "events appended last stayed undelivered";
  // Handles are given out in the order the windows were made, each window's two events raised together.
  for (size_t i = 0; i < expected; i += 2) {
    EXPECT_EQ(g_seen[i].event, static_cast<DWORD>(EVENT_OBJECT_CREATE)) << i;
    EXPECT_EQ(g_seen[i + 1].event, static_cast<DWORD>(EVENT_OBJECT_SHOW)) << i;
    EXPECT_EQ(g_seen[i + 1].hwnd, g_seen[i].hwnd) << i;
    if (i > 0) {
      EXPECT_GT(g_seen[i].hwnd, g_seen[i - 1].hwnd) << i;
    }
  }
  EXPECT_EQ(dt::windows().size(), static_cast<size_t>(kWriters * kEach));
}

} // namespace
