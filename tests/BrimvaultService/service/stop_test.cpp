// Stopping the service while the core runs: the terminate copy's Ctrl+C, the 20000 ms grace, a copy that cannot
// start or hangs, and module or folder paths too long for their buffers.
#include "servicefixture.h"

#include <QDir>
#include <QFile>

#include <ctime>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include "emu/account.h"
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/process.h"
#include "testenv.h"

namespace servicetest {
namespace {

// Both waits of ending the core are held until what they wait for has happened: their outcome does not depend on
// how fast the copy and the core run.
std::string bothEndingWaits() { return std::string(kEndingWait) + "@1," + kEndingWait + "@2"; }

TEST_F(ServiceTest, StopSendsTheCoreCtrlC) {
  holdAt(bothEndingWaits());
  startService();
  ASSERT_TRUE(waitForCore(1));
  const DWORD core = corePid(1);
  EXPECT_EQ(control(SERVICE_CONTROL_STOP).handlerResult, 0u);
  ASSERT_TRUE(letCopyEnd());
  ASSERT_TRUE(letGoWhen(kEndingWait, [&] { return !processAlive(core); }));
  ASSERT_TRUE(waitServiceEnded());
  EXPECT_TRUE(coreHas(core, "ctrl-c"));
  EXPECT_EQ(exitCodeOf(core), 0u);
  EXPECT_EQ(count("we need force stop Brimvault Core"), 0);
  EXPECT_EQ(count("Brimvault Core stoppped"), 1);
  EXPECT_EQ(coreLaunches(), 1);
  std::vector<std::string> copy = terminateLog();
  ASSERT_FALSE(copy.empty());
  EXPECT_EQ(copy.back(), "logger end");
  EXPECT_EQ(copy.size(), 1u) << copy.front();
  EXPECT_EQ(serviceLog().back(), "logger end");
}

TEST_F(ServiceTest, StopKillsACoreThatIgnoresCtrlC) {
  setCoreControl("ignoreCtrlC=1\n");
  holdAt(bothEndingWaits());
  startService();
  ASSERT_TRUE(waitForCore(1));
  const DWORD core = corePid(1);
  EXPECT_EQ(control(SERVICE_CONTROL_STOP).handlerResult, 0u);
  ASSERT_TRUE(letCopyEnd());
  ASSERT_TRUE(letGoWhen(kEndingWait, [&] { return coreHas(core, "ctrl-c ignored"); }));
  ASSERT_TRUE(waitServiceEnded());
  EXPECT_EQ(exitCodeOf(core), 1067u);
  EXPECT_EQ(count("we need force stop Brimvault Core"), 1);
  EXPECT_EQ(count("Brimvault Core stoppped"), 1);
}

TEST_F(ServiceTest, StopKillsTheCoreWhenTheCopyCannotStart) {
  startService("CreateProcessAsUserW=5@2"); // the first call launches the core, the second the copy
  ASSERT_TRUE(waitForCore(1));
  stopService();
  DWORD core = corePid(1);
  EXPECT_FALSE(coreHas(core, "ctrl-c"));
  EXPECT_EQ(exitCodeOf(core), 1067u);
  EXPECT_EQ(count("we need force stop Brimvault Core"), 1);
  EXPECT_EQ(count("Brimvault Core stoppped"), 1);
  EXPECT_TRUE(terminateLog().empty());
}

TEST_F(ServiceTest, StopEndsACopyThatHangs) {
  // The copy opens its log first; a FIFO in place of today's log file holds it there.
  std::string folder = emu::hostPath("C:/Brimvault/log/bvs/tmp");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
  std::vector<std::string> fifos;
  for (time_t t : {time(nullptr), time(nullptr) + 86400}) {
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&t));
    fifos.push_back(folder + "/bvs_" + day + ".xlog");
    ASSERT_EQ(::mkfifo(fifos.back().c_str(), 0666), 0);
  }
  holdAt(std::string(kEndingWait) + "@1"); // the wait for the copy: it has started by then
  startService();
  ASSERT_TRUE(waitForCore(1));
  emu::scm::ControlReply reply = control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(reply.handlerResult, 0u);
  std::vector<DWORD> copies;
  ASSERT_TRUE(letGoWhen(kEndingWait, [&] { return !(copies = terminateCopies()).empty(); }));
  ASSERT_TRUE(waitServiceEnded());

  EXPECT_EQ(exitCodeOf(copies.front()), 1067u);
  EXPECT_FALSE(processAlive(copies.front()));
  DWORD core = corePid(1);
  EXPECT_FALSE(coreHas(core, "ctrl-c"));
  EXPECT_EQ(exitCodeOf(core), 1067u);
  EXPECT_EQ(count("we need force stop Brimvault Core"), 1);
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  for (const auto &f : fifos) ::unlink(f.c_str());
}

// Copies the service and the core into a folder whose path has exactly `length` characters.
std::string installInFolderOfLength(const std::string &base, size_t length) {
  std::string folder = base + "/";
  folder += std::string(length - folder.size(), 'd');
  EXPECT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
  for (const char *name : {"BrimvaultService", "BrimvaultServer.exe"}) {
    QString to = QString::fromStdString(folder + "/" + name);
    EXPECT_TRUE(QFile::copy(QString::fromStdString(testenv::binDir() + "/" + name), to));
    QFile::setPermissions(to, QFile::permissions(to) | QFile::ExeOwner);
  }
  return folder;
}

TEST_F(ServiceTest, ModulePathTooLongForItsBufferFailsTheCopy) {
  // The folder fits the current-folder buffer (261), the program's path does not fit 260.
  ASSERT_LT(root.size(), 200u);
  std::string folder = installInFolderOfLength(root, 250);
  startService(std::string(), folder + "/BrimvaultService");
  ASSERT_TRUE(waitForCore(1));
  stopService();
  EXPECT_EQ(count("GetModuleFileNameW failed: 0x7a"), 1);
  EXPECT_EQ(count("we need force stop Brimvault Core"), 1);
  EXPECT_EQ(exitCodeOf(corePid(1)), 1067u);
  EXPECT_TRUE(terminateLog().empty());
}

TEST_F(ServiceTest, FolderTooLongForItsBufferLaunchesNothing) {
  std::string folder = installInFolderOfLength(root, 270);
  startService(std::string(), folder + "/BrimvaultService");
  ASSERT_TRUE(waitForLog("GetCurrentDirectoryW failed: 0x7a", 3));
  stopService();
  // Counted in one reading of the finished log: the service no longer adds cycles to it.
  int sessions = 0, failures = 0;
  for (const auto &line : serviceLog()) {
    sessions += line.rfind("console_session_id: ", 0) == 0;
    failures += line == "GetCurrentDirectoryW failed: 0x7a";
  }
  EXPECT_EQ(sessions, failures);
  EXPECT_EQ(coreLaunches(), 0);
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

// A stop control on its way to the handler while the core's exit with 1115 ends the service: the handler runs after
// SERVICE_STOPPED was reported and must not take it back.
TEST_F(ServiceTest, StopRacingTheServicesOwnEndKeepsStoppedLast) {
  holdAt("HandlerEx:1"); // the stop control
  startService();
  ASSERT_TRUE(waitForCore(1));
  std::thread stop([&] { control(SERVICE_CONTROL_STOP); });
  ASSERT_TRUE(emu::waitUntilHeld("HandlerEx:1", 30000));
  ASSERT_TRUE(emu::setAccount(static_cast<DWORD>(::getpid()), emu::localSystemAccount())); // the core runs as LocalSystem
  HANDLE core = OpenProcess(PROCESS_TERMINATE, FALSE, corePid(1));
  ASSERT_NE(core, nullptr);
  EXPECT_TRUE(TerminateProcess(core, 1115));
  CloseHandle(core);
  EXPECT_TRUE(waitUntil([&] { return statuses().back().dwCurrentState == SERVICE_STOPPED; }));
  emu::releaseHold("HandlerEx:1");
  stop.join();

  ASSERT_TRUE(waitServiceEnded());
  EXPECT_EQ(count("service pre stop"), 1);
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(state().diedUnexpectedly);
  EXPECT_EQ(state().processExitCode, 0u);
}

} // namespace
} // namespace servicetest
