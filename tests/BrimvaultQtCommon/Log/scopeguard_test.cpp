#include <gtest/gtest.h>

#include "Log/scopeguard.h"

TEST(ScopeGuard, RunsItsOwnCopyOnceAtScopeEndUnlessDismissedOrEmpty) {
  int calls = 0;
  { ScopeGuard guard([&] { ++calls; }); }
  EXPECT_EQ(calls, 1);

  {
    std::function<void()> f = [&] { ++calls; };
    ScopeGuard guard(f);
    f = nullptr; // the guard holds its own copy
    guard.run(); // running does not dismiss
  }
  EXPECT_EQ(calls, 3);

  {
    ScopeGuard guard([&] { ++calls; });
    guard.dismiss();
    guard.run();
  }
  EXPECT_EQ(calls, 4);

  {
    ScopeGuard empty(std::function<void()>{});
    empty.run();
  } // must neither call nor throw from the destructor
  EXPECT_EQ(calls, 4);
}
