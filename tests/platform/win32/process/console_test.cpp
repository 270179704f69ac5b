// Consoles and Ctrl+C: a process started with a console of its own is a process group that Ctrl+C reaches as
// SIGINT; handlers run, and without one the process ends with STATUS_CONTROL_C_EXIT.
#include <gtest/gtest.h>

#include <windows.h>

#include "child.h"

namespace {

using kt::Child;
using kt::wide;

// This test process detaches from its own console first, as the service's terminate copy starts without one.
struct Detached {
  Detached() { FreeConsole(); }
  ~Detached() {
    FreeConsole();
    SetConsoleCtrlHandler(nullptr, FALSE);
  }
};

TEST(CtrlC, ReachesAHandlerInAnotherProcessGroup) {
  Detached detached;
  const std::string flag = testenv::tempDir() + "/ctrl";
  Child child(u"ctrlc " + wide(flag), CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT);
  ASSERT_TRUE(child.started);
  kt::awaitFile(flag + ".ready");

  EXPECT_FALSE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)); // no console yet
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(AttachConsole(child.pi.dwProcessId));
  EXPECT_FALSE(AttachConsole(child.pi.dwProcessId)); // one console at a time
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE)); // this process is attached too
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  EXPECT_EQ(child.waitExit(), 7u);
  EXPECT_EQ(testenv::readFile(flag), "ctrl 0\n");
}

TEST(CtrlC, WithoutAHandlerTheProcessEndsWithTheCtrlCStatus) {
  Detached detached;
  Child child(u"sleep 600000", CREATE_NO_WINDOW);
  ASSERT_TRUE(child.started);
  ASSERT_TRUE(AttachConsole(child.pi.dwProcessId));
  ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  EXPECT_EQ(child.waitExit(), STATUS_CONTROL_C_EXIT);
}

TEST(CtrlC, ASecondDetachedCopySendsItAsTheServiceDoes) {
  const std::string flag = testenv::tempDir() + "/ctrl-copy";
  Child core(u"ctrlc " + wide(flag), CREATE_NO_WINDOW);
  ASSERT_TRUE(core.started);
  kt::awaitFile(flag + ".ready");
  Child copy(u"terminate-by-ctrlc " + wide(std::to_string(core.pi.dwProcessId)), DETACHED_PROCESS |
             CREATE_UNICODE_ENVIRONMENT);
  ASSERT_TRUE(copy.started);
  EXPECT_EQ(copy.waitExit(), 0u);
  EXPECT_EQ(core.waitExit(), 7u);

  // The copy's failures become its exit code: no such process, and a target without a console.
  Child noProcess(u"terminate-by-ctrlc 0", DETACHED_PROCESS);
  EXPECT_EQ(noProcess.waitExit(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  Child consoleless(u"sleep 600000", DETACHED_PROCESS);
  Child attachFails(u"terminate-by-ctrlc " + wide(std::to_string(consoleless.pi.dwProcessId)), DETACHED_PROCESS);
  EXPECT_EQ(attachFails.waitExit(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // Started with a console, the copy already has one.
  Child attached(u"terminate-by-ctrlc " + wide(std::to_string(consoleless.pi.dwProcessId)), CREATE_NO_WINDOW);
  EXPECT_EQ(attached.waitExit(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Ctrl+C to a process group is accepted and reaches nobody, and a new process group starts with Ctrl+C disabled;
// Ctrl+Break still reaches both. The child's handler logs every event in order, so a Ctrl+C would show first.
TEST(CtrlC, ANewProcessGroupAndAGroupTargetDoNotGetIt) {
  Detached detached;
  const std::string flag = testenv::tempDir() + "/ctrl-group";
  Child child(u"ctrlc " + wide(flag), CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP);
  ASSERT_TRUE(child.started);
  kt::awaitFile(flag + ".ready");
  ASSERT_TRUE(AttachConsole(child.pi.dwProcessId));
  ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
  EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, child.pi.dwProcessId));
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.pi.dwProcessId));
  EXPECT_EQ(child.waitExit(), 7u);
  EXPECT_EQ(testenv::readFile(flag), "ctrl 1\n");
}

TEST(Consoles, FreeConsoleDetachesAndSucceedsWithoutAConsole) {
  Detached detached;
  EXPECT_TRUE(FreeConsole());
  const std::string flag = testenv::tempDir() + "/ctrl-freed";
  Child child(u"ctrlc " + wide(flag), CREATE_NO_WINDOW);
  ASSERT_TRUE(child.started);
  kt::awaitFile(flag + ".ready");
  ASSERT_TRUE(AttachConsole(child.pi.dwProcessId));
  ASSERT_TRUE(FreeConsole());
  EXPECT_FALSE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)); // detached: no console to send to
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(AttachConsole(child.pi.dwProcessId));
}

} // namespace
