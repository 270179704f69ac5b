// Service entries through the stand-in control manager: what the entry holds, a real start of its program, the
// caller's rights, failures and their log lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "Util/miscutil.h"
#include "emu/account.h"
#include "emu/emu.h"
#include "emu/scm.h"
#include "logcapture.h"
#include "testenv.h"

namespace {

using ::testing::ElementsAre;

constexpr DWORD kWaitMs = 30000; // only a failure waits this long

void runAs(bool elevated) {
  emu::Account account;
  account.elevated = elevated;
  ASSERT_TRUE(emu::setAccount(static_cast<DWORD>(::getpid()), account));
}

// The test service program, copied to a Windows path with a blank in it.
void installProgram() {
  const std::string dir = testenv::root() + "/drive_c/Program Files/App";
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "' && cp -n '" + testenv::binDir() + "/bv_testservice' '" + dir +
                         "/app.exe' && mkdir -p '" + testenv::root() + "/drive_c/App' && cp -n '" + dir +
                         "/app.exe' '" + testenv::root() + "/drive_c/App/app.exe' && touch '" + testenv::root() +
                         "/drive_c/App/app.exe  '")
                            .c_str()),
            0);
}

std::string win32ctl(const std::string &args) {
  std::string out;
  if (FILE *p = ::popen(("'" + testenv::binDir() + "/win32ctl' " + args + " 2>&1").c_str(), "r")) {
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof(buf), p)) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

std::vector<std::string> levelsAndMessages() {
  std::vector<std::string> out;
  for (const auto &line : logcapture::sinceMark()) out.push_back(line.level + " " + line.message);
  return out;
}

class Services : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    installProgram();
    runAs(true);
    logcapture::mark();
  }
  void TearDown() override { emu::clearFailures(); }
};

TEST_F(Services, CreatedEntriesCarryTheQuotedNativePathAndShowInTheMachinesList) {
  ASSERT_TRUE(MiscUtil::createServiceEntry("BvOne", "Bv One", "C:/Program Files/App/app.exe", {"-a", "b"},
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, "What it does", "", ""));
  emu::scm::ServiceConfig one;
  ASSERT_EQ(emu::scm::readConfig("bvone", &one), 0u);
  EXPECT_EQ(one.binaryPath, "\"C:\\Program Files\\App\\app.exe\" -a b");
  EXPECT_EQ(one.description, "What it does");
  EXPECT_EQ(one.account, "LocalSystem");
  EXPECT_EQ(one.displayName, "Bv One");
  EXPECT_THAT(win32ctl("svc-list"), ::testing::HasSubstr("BvOne STOPPED"));

  // Blanks at the end are trimmed before the blank test (the host keeps a file of that name, so the path is
  // found); no description, no second call.
  emu::clearCallJournal();
  ASSERT_TRUE(MiscUtil::createServiceEntry("BvTwo", "Bv Two", "C:/App/app.exe  ", {}, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_AUTO_START, "", "", ""));
  const auto journal = emu::callJournal();
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "ChangeServiceConfig2W"), 0);
  emu::scm::ServiceConfig two;
  ASSERT_EQ(emu::scm::readConfig("BvTwo", &two), 0u);
  EXPECT_EQ(two.binaryPath, "C:\\App\\app.exe");
  EXPECT_EQ(two.startType, static_cast<DWORD>(SERVICE_AUTO_START));

  EXPECT_FALSE(MiscUtil::createServiceEntry("BvThree", "", "C:/Nowhere/none.exe", {}, 0x10, 3, "", "", ""));
  EXPECT_FALSE(MiscUtil::createServiceEntry("BVONE", "Other", "C:/App/app.exe", {}, 0x10, 3, "", "", ""));
  EXPECT_THAT(levelsAndMessages(), ElementsAre("E Service BvOne create succ", "E Service BvTwo create succ",
                                               "E exe path C:/Nowhere/none.exe not exist!",
                                               "E CreateService BVONE failed with 1073"));
}

TEST_F(Services, StartReallyRunsTheProgramAndDeletionWaitsForTheLastHandle) {
  ASSERT_TRUE(MiscUtil::createServiceEntry("BvRun", "Bv Run", "C:/App/app.exe", {}, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, "", "", ""));
  EXPECT_FALSE(MiscUtil::IsServiceRunning("BvRun"));
  ASSERT_TRUE(MiscUtil::StartWindowsService("bvrun")); // names ignore case
  ASSERT_TRUE(emu::scm::waitForState("BvRun", SERVICE_RUNNING, kWaitMs));
  EXPECT_NE(emu::scm::queryService("BvRun").processId, 0u);
  EXPECT_TRUE(MiscUtil::StartWindowsService("BvRun"));
  EXPECT_TRUE(MiscUtil::IsServiceRunning("BvRun"));
  EXPECT_TRUE(MiscUtil::ChangeServiceStartType("BvRun", SERVICE_DISABLED));
  int start = -1;
  EXPECT_TRUE(MiscUtil::QueryServiceStartType("BvRun", &start));
  EXPECT_EQ(start, SERVICE_DISABLED);
  ASSERT_EQ(emu::scm::sendControl("BvRun", SERVICE_CONTROL_STOP).error, 0u);
  ASSERT_TRUE(emu::scm::waitForState("BvRun", SERVICE_STOPPED, kWaitMs));
  // Over once its controller has finished too: only then does the last close remove a marked entry.
  for (int i = 0; i < 3000 && emu::scm::queryService("BvRun").active; ++i) ::usleep(10000);

  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE held = OpenServiceW(scm, u"BvRun", SERVICE_QUERY_STATUS);
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(MiscUtil::deleteServiceEntry("BvRun"));
  EXPECT_FALSE(MiscUtil::deleteServiceEntry("BvRun")); // marked, still there while a handle is open
  EXPECT_TRUE(MiscUtil::IsServiceExist("BvRun"));
  CloseServiceHandle(held);
  CloseServiceHandle(scm);
  EXPECT_FALSE(MiscUtil::IsServiceExist("BvRun"));
  EXPECT_THAT(levelsAndMessages(),
              ElementsAre("E Service BvRun create succ", "I service BvRun is running (0)",
                          "E service bvrun start success", "I service BvRun already running",
                          "I service BvRun is running (1)", "I service BvRun start type has changed",
                          "E Service BvRun delete succ", "E DeleteService BvRun failed with: 1072",
                          "E Failed to open service: BvRun. Error: 0x424"));
}

TEST_F(Services, AUserWithoutElevationIsRefusedWhereWindowsRefusesIt) {
  ASSERT_TRUE(MiscUtil::createServiceEntry("BvUser", "Bv User", "C:/App/app.exe", {}, 0x10, 3, "", "", ""));
  runAs(false);
  logcapture::mark();
  EXPECT_FALSE(MiscUtil::createServiceEntry("BvUser2", "", "C:/App/app.exe", {}, 0x10, 3, "", "", ""));
  EXPECT_FALSE(MiscUtil::deleteServiceEntry("BvUser"));
  EXPECT_FALSE(MiscUtil::ChangeServiceStartType("BvUser", SERVICE_AUTO_START));
  EXPECT_FALSE(MiscUtil::StartWindowsService("BvUser"));
  int start = -1;
  EXPECT_TRUE(MiscUtil::QueryServiceStartType("BvUser", &start)); // reading is every user's right
  EXPECT_EQ(start, SERVICE_DEMAND_START);
  EXPECT_TRUE(MiscUtil::IsServiceExist("BvUser"));
  EXPECT_FALSE(MiscUtil::IsServiceRunning("BvUser"));
  EXPECT_THAT(levelsAndMessages(),
              ElementsAre("E OpenSCManager failed with 5", "E OpenService BvUser failed with 5",
                          "E cannot open sc manager: 0x5", "E cannot open sc manager: 0x5",
                          "I service BvUser is running (0)"));
  EXPECT_TRUE(emu::scm::queryService("BvUser").exists);
}

TEST_F(Services, FailureTextsTakeTheNameAsTextAndLeaveTheStartTypeAlone) {
  // A name with place-holders and conversions is printed as it is.
  EXPECT_FALSE(MiscUtil::deleteServiceEntry("Odd%2%sName"));
  EXPECT_FALSE(MiscUtil::IsServiceExist("Odd%2%sName"));
  ASSERT_TRUE(MiscUtil::createServiceEntry("BvCfg", "Bv Cfg", "C:/App/app.exe", {}, 0x10, 3, "", "", ""));
  int start = -7;
  emu::injectFailure("QueryServiceConfigW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(MiscUtil::QueryServiceStartType("BvCfg", &start));
  emu::injectFailure("QueryServiceConfigW", ERROR_INVALID_HANDLE, 2);
  EXPECT_FALSE(MiscUtil::QueryServiceStartType("BvCfg", &start));
  emu::injectFailure("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1); // under LocalAlloc
  EXPECT_FALSE(MiscUtil::QueryServiceStartType("BvCfg", &start));
  emu::injectFailure("OpenServiceW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(MiscUtil::QueryServiceStartType("BvCfg", &start));
  EXPECT_EQ(start, -7);
  emu::injectFailure("OpenServiceW", ERROR_ACCESS_DENIED, 1);
  EXPECT_TRUE(MiscUtil::IsServiceExist("BvCfg")); // refused is not absent
  emu::injectFailure("OpenSCManagerW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(MiscUtil::IsServiceExist("BvCfg"));
  emu::injectFailure("QueryServiceStatusEx", ERROR_INVALID_HANDLE, 1);
  EXPECT_FALSE(MiscUtil::IsServiceRunning("BvCfg"));
  EXPECT_EQ(emu::openHandleCount(), 0u) << "every path closes what it opened";
  EXPECT_THAT(levelsAndMessages(),
              ElementsAre("E OpenService Odd%2%sName failed with 1060",
                          "E Failed to open service: Odd%2%sName. Error: 0x424", "E Service BvCfg create succ",
                          "E query service config failed, err: 0x5", "E query service config failed, err: 0x6",
                          "E memory alloc failed", "E cannot open service BvCfg, err: 0x5",
                          "E Failed to open service: BvCfg. Error: 0x5",
                          "E Failed to open Service Control Manager. Error: 0x5",
                          "E Failed to query service status. Error: 0x6", "I service BvCfg is running (0)"));
}

TEST_F(Services, EveryComposedFailureTextTakesTheNameAsText) {
  const QString odd = "Odd%1%2%sName";
  const auto create = [&] { return MiscUtil::createServiceEntry(odd, "", "C:/App/app.exe", {}, 0x10, 3, "", "", ""); };
  const auto remove = [&] { return MiscUtil::deleteServiceEntry(odd); };
  ASSERT_TRUE(create());
  const struct {
    const char *call;
    std::function<bool()> operation;
    const char *line; // level, function, message
  } cases[] = {
      {"OpenSCManagerW", remove, "E deleteServiceEntry OpenSCManager failed with 5"},
      {"CreateServiceW", create, "E createServiceEntry CreateService Odd%1%2%sName failed with 5"},
      {"OpenServiceW", remove, "E deleteServiceEntry OpenService Odd%1%2%sName failed with 5"},
      {"DeleteService", remove, "E deleteServiceEntry DeleteService Odd%1%2%sName failed with: 5"},
  };
  for (const auto &c : cases) {
    emu::clearFailures();
    emu::injectFailure(c.call, ERROR_ACCESS_DENIED, 1);
    logcapture::mark();
    EXPECT_FALSE(c.operation()) << c.call;
    std::vector<std::string> lines;
    for (const auto &l : logcapture::sinceMark()) lines.push_back(l.level + " " + l.function + " " + l.message);
    EXPECT_THAT(lines, ElementsAre(c.line));
  }
  emu::clearFailures();
  EXPECT_TRUE(remove());
}

} // namespace
