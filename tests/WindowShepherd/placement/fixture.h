// A desktop of two monitors side by side with the cursor on the right one, other programs' windows on it, and the
// effects read back from the desktop and the stand-in's call journal.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "emu/desktop.h"
#include "emu/emu.h"

namespace dt = emu::desktop;

bool sameRect(const RECT &a, const RECT &b);
std::string rectText(const RECT &r);
#define EXPECT_RECT(r, l, t, rr, b) EXPECT_TRUE(sameRect((r), RECT{l, t, rr, b})) << rectText(r)

class DesktopFixture : public ::testing::Test {
protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A normal, visible, movable window of another program on the left monitor.
  static dt::WindowSpec movable();
  HWND create(const dt::WindowSpec &spec) { return dt::createWindow(spec); }
  // How often a stand-in call was made since SetUp.
  static int calls(const char *name);
  // A real process of the machine whose program lies at this Windows path (a copy of a small system program).
  DWORD startProcessAt(const std::string &windowsPath);

  HMONITOR left = nullptr, right = nullptr;

private:
  std::vector<HANDLE> processes_;
};
