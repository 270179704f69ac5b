#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Util/miscutil.h"
#include "emu/account.h"
#include "emu/emu.h"
#include "emu/shell.h"
#include "logcapture.h"
#include "testenv.h"

namespace {

using Lines = std::vector<std::string>;

// A program under C:\Tools that writes its arguments and elevation to <name>.ran beside it.
std::string installProgram(const std::string &name) {
  const std::string host = emu::hostPath("C:\\Tools\\" + name);
  mkdir(emu::hostPath("C:\\Tools").c_str(), 0777);
  testenv::writeFile(host, "#!/bin/sh\necho \"$* elevated=$WIN32_ELEVATED\" > '" + host + ".ran.tmp'\nmv '" + host +
                               ".ran.tmp' '" + host + ".ran'\n");
  chmod(host.c_str(), 0755);
  return host + ".ran";
}

// What the program wrote once it has run; empty when it never ran.
std::string awaitRun(const std::string &ranFile) {
  for (int i = 0; i < 1000 && access(ranFile.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string text = testenv::readFile(ranFile);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class ProgramStart : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    emu::clearFailures();
    emu::clearShellRequests();
    emu::setElevationConsent(true);
    ASSERT_TRUE(emu::setAccount(GetCurrentProcessId(), emu::Account()));
    logcapture::mark();
  }
};

TEST_F(ProgramStart, StartsTheNativePathWithParametersUnchangedAndFailsWithTheShellsCode) {
  const std::string ran = installProgram("app.exe");
  EXPECT_EQ(MiscUtil::startAProgram("C:/Tools/app.exe", "-x \"a b\"", false), 0);
  EXPECT_EQ(awaitRun(ran), "-x a b elevated=0");
  EXPECT_EQ(MiscUtil::startAProgram("C:/Tools/none.exe", "", true), -1);
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (Lines{"program path: C:\\Tools\\app.exe", "program start successfully.", "program path: C:\\Tools\\none.exe",
                   "program start failed 0x2"}));
  const auto requests = emu::shellRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].verb, "open");
  EXPECT_EQ(requests[0].file, "C:\\Tools\\app.exe");
  EXPECT_EQ(requests[0].parameters, "-x \"a b\"");
  EXPECT_EQ(requests[0].show, SW_HIDE);
  EXPECT_EQ(requests[1].show, SW_SHOW);
}

TEST_F(ProgramStart, DelayedStartGoesThroughCmdAndRefusesPathsCmdWouldRewrite) {
  const std::string ran = installProgram("my app.exe");
  emu::setTimeScale(0.01); // cmd.exe inherits the scale: its 5 seconds pass at once
  EXPECT_EQ(MiscUtil::delayStartAProgram(5, "C:/Tools/my app.exe"), 0);
  const auto requests = emu::shellRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].file, "cmd.exe");
  EXPECT_EQ(requests[0].parameters, "/c timeout /t 5 /nobreak & \"C:\\Tools\\my app.exe\"");
  EXPECT_EQ(requests[0].show, SW_HIDE);
  EXPECT_EQ(awaitRun(ran), " elevated=0");
  for (const auto &line : logcapture::sinceMark()) EXPECT_EQ(line.function, "delayStartAProgram") << line.message;

  logcapture::mark();
  EXPECT_EQ(MiscUtil::delayStartAProgram(1, "C:/Tools/%PATH%/my app.exe"), -1);
  EXPECT_EQ(MiscUtil::delayStartAProgram(1, "C:/Tools/a\"b.exe"), -1);
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (Lines{"program path: C:\\Tools\\%PATH%\\my app.exe", "program start failed 0x57",
                   "program path: C:\\Tools\\a\"b.exe", "program start failed 0x57"}));
  EXPECT_EQ(emu::shellRequests().size(), 1u) << "a refused path never reaches the shell";
  emu::setTimeScale(1);
}

TEST_F(ProgramStart, RunAsAdminStartsElevatedOnlyWithConsent) {
  const std::string ran = installProgram("admin.exe");
  emu::setElevationConsent(false);
  EXPECT_EQ(MiscUtil::runAsAdmin("C:/Tools/admin.exe"), -1);
  EXPECT_EQ(MiscUtil::runAsAdmin("C:/Tools/missing.exe"), -2);
  emu::setElevationConsent(true);
  EXPECT_EQ(MiscUtil::runAsAdmin("C:/Tools/admin.exe"), 0);
  EXPECT_EQ(awaitRun(ran), " elevated=1");
  const auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, "I");
  EXPECT_EQ(lines[0].message, "user cannel start as admin");
  EXPECT_EQ(lines[1].level, "E");
  EXPECT_EQ(lines[1].message, "Error: ShellExecuteEx() failed: 0x2");
  const auto requests = emu::shellRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].verb, "runas");
  EXPECT_EQ(requests[2].mask, 0x8140u);
  EXPECT_EQ(requests[2].show, SW_SHOWNORMAL);
}

TEST_F(ProgramStart, RightsFollowTheProcessAccount) {
  EXPECT_FALSE(MiscUtil::isRunAsAdmin()) << "an administrator's unelevated token";
  EXPECT_FALSE(MiscUtil::isRunningAsSystem());
  emu::Account elevated;
  elevated.elevated = true;
  ASSERT_TRUE(emu::setAccount(GetCurrentProcessId(), elevated));
  EXPECT_TRUE(MiscUtil::isRunAsAdmin());
  ASSERT_TRUE(emu::setAccount(GetCurrentProcessId(), emu::localSystemAccount()));
  EXPECT_TRUE(MiscUtil::isRunningAsSystem());
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (Lines{std::string("current user is: ") + emu::kDefaultUserSid, "current user is: S-1-5-18"}));
}

TEST_F(ProgramStart, EachTokenStepFailureHasItsLine) {
  const struct {
    const char *call;
    int nth;
    const char *line;
  } steps[] = {{"OpenProcessToken", 0, "Failed to open process token."},
               {"GetTokenInformation", 1, "Failed to get token information size."},
               {"GetTokenInformation", 2, "Failed to get token information."},
               {"ConvertSidToStringSidW", 0, "Failed to convert SID to string."}};
  for (const auto &s : steps) {
    emu::clearFailures();
    emu::injectFailure(s.call, ERROR_ACCESS_DENIED, s.nth);
    logcapture::mark();
    EXPECT_FALSE(MiscUtil::isRunningAsSystem()) << s.line;
    EXPECT_EQ(logcapture::messagesSinceMark(), Lines{s.line});
  }
  emu::clearFailures();
  emu::injectFailure("AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY);
  emu::setAccount(GetCurrentProcessId(), emu::localSystemAccount());
  EXPECT_FALSE(MiscUtil::isRunAsAdmin());
  emu::clearFailures();
}

} // namespace
