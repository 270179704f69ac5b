#include <gtest/gtest.h>

#include "Log/scopeguard.h"

TEST(ScopeGuard, RunsOnceAtScopeEndUnlessDismissedOrEmpty) {
  int calls = 0;
  { ScopeGuard guard([&] { ++calls; }); }
  EXPECT_EQ(calls, 1);

  {
    ScopeGuard guard([&] { ++calls; });
    guard.dismiss();
  }
  EXPECT_EQ(calls, 1);

  {
    ScopeGuard empty(std::function<void()>{});
    empty.run();
  } // must neither call nor throw from the destructor
  EXPECT_EQ(calls, 1);
}

TEST(ScopeGuard, RunDoesNotDismissAndTheGuardOwnsItsCopy) {
  int calls = 0;
  {
    std::function<void()> f = [&] { ++calls; };
    ScopeGuard guard(f);
    f = nullptr; // the guard holds its own copy
    guard.run();
    EXPECT_EQ(calls, 1);
  }
  EXPECT_EQ(calls, 2);

  {
    ScopeGuard guard([&] { ++calls; });
    guard.dismiss();
    guard.run();
  }
  EXPECT_EQ(calls, 3);
}
