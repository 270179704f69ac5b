// The service's start-up and end: the status sequence, controls, start-up failures, a run outside the control
// manager (with a stale core) and the terminate mode's own command line.
#include "servicefixture.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

#include <gmock/gmock.h>

#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/registry.h"
#include "testenv.h"

namespace servicetest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

QString program(const char *name) { return QString::fromStdString(testenv::binDir() + "/" + name); }

// Runs BrimvaultService outside the control manager; returns its exit code.
int runDirectly(const QStringList &args) {
  QProcess p;
  p.start(program("BrimvaultService"), args);
  EXPECT_TRUE(p.waitForFinished(30000));
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

TEST_F(ServiceTest, StopWithinTheFirstWaitLaunchesNothing) {
  holdAt("WaitForSingleObject:3000@1"); // the wait before the first launch goes on only once the stop is handled
  startService();
  ASSERT_TRUE(emu::waitUntilHeld("WaitForSingleObject:3000", 30000));
  ASSERT_TRUE(waitUntil([&] { return state().status.dwCurrentState == SERVICE_RUNNING; }));
  EXPECT_EQ(control(SERVICE_CONTROL_STOP).handlerResult, 0u);
  emu::releaseHold("WaitForSingleObject:3000");
  ASSERT_TRUE(waitServiceEnded());

  std::vector<SERVICE_STATUS> s = statuses();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(s[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(s[0].dwControlsAccepted + s[0].dwWin32ExitCode + s[0].dwWaitHint + s[0].dwCheckPoint, 0u);
  EXPECT_EQ(s[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(s[1].dwControlsAccepted, 0x181u);
  EXPECT_EQ(s[2].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(s[2].dwControlsAccepted, 0u);
  EXPECT_EQ(s[2].dwWaitHint, 30000u);
  EXPECT_EQ(s[3].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(s[3].dwWin32ExitCode, 0u);
  EXPECT_EQ(s[3].dwWaitHint, 30000u);
  for (const auto &status : s) EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));

  EXPECT_EQ(coreLaunches(), 0);
  EXPECT_EQ(countPrefix("console_session_id"), 0);
  EXPECT_EQ(count("service pre stop"), 1);
  EXPECT_EQ(state().processExitCode, 0u);
  EXPECT_EQ(serviceLog().back(), "logger end");
}

TEST_F(ServiceTest, ControlsBesidesStopAreAnsweredWithoutAStatus) {
  startService();
  ASSERT_TRUE(waitForCore(1));
  size_t recorded = statuses().size();

  emu::scm::ControlReply interrogate = control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(interrogate.error, 0u);
  EXPECT_EQ(interrogate.handlerResult, 0u);
  EXPECT_EQ(count("SERVICE_CONTROL_INTERROGATE"), 1);

  emu::scm::ControlReply unknown = control(200);
  EXPECT_EQ(unknown.error, 0u);
  EXPECT_EQ(unknown.handlerResult, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  emu::scm::ControlReply lock = control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, 1);
  EXPECT_EQ(lock.handlerResult, 0u);
  ASSERT_TRUE(waitForLog("session change event, type: 7"));
  EXPECT_EQ(count("send session change event"), 0);

  EXPECT_EQ(statuses().size(), recorded);
  EXPECT_EQ(coreLaunches(), 1);

  // Pre-shutdown ends the service as stop does.
  emu::scm::ControlReply preshutdown = control(SERVICE_CONTROL_PRESHUTDOWN);
  EXPECT_EQ(preshutdown.handlerResult, 0u);
  EXPECT_EQ(preshutdown.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(preshutdown.status.dwWaitHint, 30000u);
  ASSERT_TRUE(waitServiceEnded());
  EXPECT_EQ(count("service pre stop"), 1);
  EXPECT_EQ(count("Brimvault Core stoppped"), 1);
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceTest, OutsideTheControlManagerEndsStaleCoreAndExitsWithOne) {
  ASSERT_TRUE(emu::regSetDword(kServerKey, "exitCode", kLogoffMarker));
  // A core left from an earlier run, and a program whose name differs from the core's only in letter case.
  std::string other = root + "/brimvaultserver.exe";
  ASSERT_TRUE(QFile::copy(program("BrimvaultServer.exe"), QString::fromStdString(other)));
  QProcess stale, lookalike;
  stale.start(program("BrimvaultServer.exe"), {});
  lookalike.start(QString::fromStdString(other), {});
  ASSERT_TRUE(stale.waitForStarted() && lookalike.waitForStarted());
  ASSERT_TRUE(waitUntil([&] { return coreLaunches() == 2; }));
  DWORD stalePid = static_cast<DWORD>(stale.processId());

  EXPECT_EQ(runDirectly({}), 1);

  std::vector<std::string> log = serviceLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "logger end");
  EXPECT_EQ(count("Found process is running, ID is: " + std::to_string(stalePid)), 1);
  EXPECT_EQ(count("Process terminated successfully."), 1);
  EXPECT_EQ(count("StartServiceCtrlDispatcher failed, error: 0x427"), 1);
  EXPECT_THAT(log.front(), HasSubstr("Version: 1.0.5.0, Compile time: "));
  EXPECT_EQ(emu::regGetDword(kServerKey, "exitCode").value_or(1), 0u);

  ASSERT_TRUE(stale.waitForFinished(10000));
  EXPECT_EQ(exitCodeOf(stalePid), 0u);
  EXPECT_EQ(lookalike.state(), QProcess::Running);
  lookalike.kill();
  lookalike.waitForFinished();
}

TEST_F(ServiceTest, TerminateModeTakesOutOfRangePidsAsZero) {
  // Service mode for any other command line: without the control manager it ends at the dispatcher.
  EXPECT_EQ(runDirectly({"--TERMINATE", "5"}), 1);
  EXPECT_EQ(runDirectly({"--terminate"}), 1);
  EXPECT_EQ(count("StartServiceCtrlDispatcher failed, error: 0x427"), 2);

  for (const char *pid : {"abc", "4294967297", "-5", "99999999999999999999999"}) {
    SCOPED_TRACE(pid);
    ASSERT_TRUE(emu::regSetDword(kServerKey, "exitCode", 7));
    int code = runDirectly({"--terminate", pid});
    EXPECT_NE(code, 0);
    char expected[96];
    std::snprintf(expected, sizeof expected, "attach to console failed, pid: 0, err: 0x%x", code);
    std::vector<std::string> log = terminateLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], expected);
    EXPECT_EQ(log.back(), "logger end");
    EXPECT_EQ(emu::regGetDword(kServerKey, "exitCode").value_or(1), 0u);
  }
}

TEST_F(ServiceTest, HandlerRegistrationFailureEndsTheProcessWithItsCode) {
  startService("RegisterServiceCtrlHandlerExW=123");
  ASSERT_TRUE(waitServiceEnded());
  EXPECT_EQ(state().processExitCode, 123u);
  EXPECT_EQ(count("RegisterServiceCtrlHandlerEx failed: 0x7b"), 1);
  EXPECT_EQ(coreLaunches(), 0);
}

struct StartFailure {
  const char *failure;
  DWORD code;
};

class ServiceStartFailure : public ServiceTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(ServiceStartFailure, ReportsStoppedWithTheError) {
  startService(GetParam().failure);
  ASSERT_TRUE(waitServiceEnded());
  std::vector<SERVICE_STATUS> s = statuses();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(s[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(s[1].dwWin32ExitCode, GetParam().code);
  EXPECT_EQ(state().processExitCode, 0u);
  EXPECT_EQ(serviceLog().back(), "logger end");
  EXPECT_EQ(coreLaunches(), 0);
}

INSTANTIATE_TEST_SUITE_P(Service, ServiceStartFailure,
                         ::testing::Values(StartFailure{"CreateEventW=8@1", 8}, StartFailure{"CreateEventW=8@2", 8},
                                           StartFailure{"CreateEventW=14@3", 14},
                                           StartFailure{"InitializeProcThreadAttributeList=87@2", 87}),
                         [](const auto &info) { return failureName(info.param.failure); });

} // namespace
} // namespace servicetest
