// The launch and watch loop: exits of the core, the logoff state, session changes, shut-down over the socket,
// failed launch steps and the job around each launch.
#include "servicefixture.h"

#include <QFile>

#include <atomic>
#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "Protocol/frame.h"
#include "emu/account.h"
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/process.h"
#include "emu/registry.h"
#include "emu/scm.h"
#include "emu/session.h"

namespace servicetest {
namespace {

// Another client keeps the main thread busy with frames while the core's end is served: the exit code must still
// reach the user interface before the service goes.
class CoreExitCode : public ServiceTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(CoreExitCode, StopsTheServiceAndReachesTheUserInterface) {
  const DWORD code = GetParam();
  setCoreControl("exitAfterMs=0\nexitCode=" + std::to_string(code) + "\n");
  const std::string served = "GetExitCodeProcess:BrimvaultServer.exe:#1";
  holdAt(served); // the core's end is served once the user interface has declared itself
  startService();
  UiClient ui;
  ASSERT_TRUE(ui.connect());
  ui.send(uiDeclaration());
  ASSERT_TRUE(emu::waitUntilHeld(served, 30000));
  ASSERT_TRUE(waitForLog("onSocketReadyRead")); // the declaration is read in the slot that logs this

  std::atomic<bool> done{false};
  std::thread flood([&] {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = std::string(std::getenv("TMPDIR")) + "/Brimvault-Service-Socket";
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    emu::releaseHold(served);
    if (connected) {
      CommandRequest start;
      start.set_command(START);
      QByteArray batch = writeFrame(start).repeated(512);
      while (!done && ::send(fd, batch.constData(), static_cast<size_t>(batch.size()), MSG_NOSIGNAL) > 0) {
      }
    }
    ::close(fd);
  });
  QByteArray received = ui.readUntilClosed();
  done = true;
  flood.join();
  ASSERT_TRUE(waitServiceEnded());

  ASSERT_EQ(received.size(), 34);
  EXPECT_EQ(parseLengthFromArray(received), 30);
  ServerExitCodeRequest message;
  ASSERT_TRUE(QProtobufSerializer().deserialize(&message, received.mid(4)));
  EXPECT_EQ(message.header().type(), "ServerExitCodeRequest");
  EXPECT_EQ(message.header().version(), 1);
  EXPECT_EQ(message.exitcode(), static_cast<int>(code));

  EXPECT_EQ(coreLaunches(), 1);
  EXPECT_EQ(count("Brimvault Core exit with " + std::to_string(code) + ", 0"), 1);
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(state().processExitCode, 0u);
  EXPECT_EQ(serviceLog().back(), "logger end");
}

INSTANTIATE_TEST_SUITE_P(Service, CoreExitCode, ::testing::Values(1115u, 191u));

TEST_F(ServiceTest, JobEndsWhatTheCoreLeftAtTheEndOfEachCycle) {
  setCoreControl("1.exitAfterMs=300\n1.exitCode=7\n1.spawnChild=1\n2.exitAfterMs=300\n2.spawnChild=1\n");
  startService();
  ASSERT_TRUE(waitForCore(3));
  stopService();

  for (int launch = 1; launch <= 2; ++launch) {
    DWORD pid = corePid(launch);
    DWORD child = 0;
    for (const auto &line : coreEvents())
      if (line.rfind(std::to_string(pid) + " child pid=", 0) == 0) child = static_cast<DWORD>(std::stoul(line.substr(line.find('=') + 1)));
    ASSERT_NE(child, 0u) << "launch " << launch;
    EXPECT_TRUE(waitUntil([&] { return !processAlive(child); })) << "child of launch " << launch;
  }
  EXPECT_EQ(count("Brimvault Core exit with 7, 0"), 1);
  EXPECT_EQ(count("Brimvault Core exit with 0, 0"), 1);
}

TEST_F(ServiceTest, LogoffWaitsForAConsoleConnect) {
  setCoreControl("1.exitAfterMs=200\n1.writeExitCode=0x40010004\n2.exitAfterMs=200\n");
  startService();
  ASSERT_TRUE(waitForLog("Brimvault Core exit with 0, user is logoff"));
  ASSERT_TRUE(waitForLog("user is logoff, and session not connect yet.", 5));
  EXPECT_EQ(coreLaunches(), 1);

  EXPECT_EQ(control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, 1).handlerResult, 0u);
  ASSERT_TRUE(waitForCore(2));
  EXPECT_EQ(count("send session change event"), 1);
  EXPECT_EQ(countPrefix("console_session_id: 1"), 2);

  // "exitCode" is left as read: the second core did not rewrite it, so its exit counts as a logoff too.
  ASSERT_TRUE(waitForLog("Brimvault Core exit with 0, user is logoff", 2));
  ASSERT_TRUE(waitForLog("user is logoff, and session not connect yet.", 7));
  EXPECT_EQ(coreLaunches(), 2);
  stopService();
}

// The connect is handled after the watch saw the core's end and before that exit is served: the logged-off flag it
// cleared is set again behind it, and only the session event it left can bring the core back.
TEST_F(ServiceTest, ConsoleConnectAroundTheLogoffExitIsNotLost) {
  setCoreControl("1.exitAfterMs=300\n1.writeExitCode=0x40010004\n");
  const std::string served = "GetExitCodeProcess:BrimvaultServer.exe:#1";
  holdAt(served);
  startService();
  ASSERT_TRUE(emu::waitUntilHeld(served, 30000));
  EXPECT_EQ(count("Brimvault Core exit with 0, user is logoff"), 0);
  EXPECT_EQ(control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, 1).handlerResult, 0u);
  emu::releaseHold(served);

  ASSERT_TRUE(waitForLog("Brimvault Core exit with 0, user is logoff"));
  EXPECT_TRUE(waitForCore(2)) << "the console connect was lost";
  stopService();
}

// The console moves from session 1 to 2 with a gap between: the disconnect changes nothing, a launch in the gap
// goes into the service's own session, and the connect that ends the gap moves that core.
TEST_F(ServiceTest, ConsoleSwitchGapLaunchesIntoTheServiceSessionAndTheConnectMovesTheCore) {
  holdAt(std::string(kEndingWait) + "@1," + kEndingWait + "@2"); // the move of the second core
  startService();
  ASSERT_TRUE(waitForCore(1));
  emu::scm::switchConsoleSession(2, [&] {
    ASSERT_TRUE(waitForLog("session change event, type: 2"));
    EXPECT_TRUE(processAlive(corePid(1)));
    ASSERT_TRUE(emu::setAccount(static_cast<DWORD>(::getpid()), emu::localSystemAccount())); // the core runs as LocalSystem
    HANDLE core = OpenProcess(PROCESS_TERMINATE, FALSE, corePid(1));
    ASSERT_NE(core, nullptr);
    TerminateProcess(core, 7);
    CloseHandle(core);
    ASSERT_TRUE(waitForCore(2));
    EXPECT_GE(count("No console session yet"), 1);
    EXPECT_TRUE(coreHas(corePid(2), "start launch=2 session=0"));
  });
  ASSERT_TRUE(letCopyEnd());
  ASSERT_TRUE(letGoWhen(kEndingWait, [&] { return !processAlive(corePid(2)); }));
  ASSERT_TRUE(waitForCore(3));
  EXPECT_EQ(count("Brimvault Core exit with 7, 0"), 1);
  EXPECT_EQ(count("session id, cur: 2, last: 0"), 1);
  EXPECT_TRUE(coreHas(corePid(2), "ctrl-c"));
  EXPECT_TRUE(coreHas(corePid(3), "start launch=3 session=2"));
  EXPECT_EQ(count("send session change event"), 1);
  stopService();
}

// Killed with SIGKILL, the service closes nothing itself, yet its job's core and what the core started end as they
// do on Windows; the next start listens again and launches a new core.
TEST_F(ServiceTest, KilledServiceTakesItsCoreAlongAndANewStartServesAgain) {
  setCoreControl("1.spawnChild=1\n");
  startService();
  ASSERT_TRUE(waitForCore(1));
  const DWORD core = corePid(1);
  DWORD child = 0;
  ASSERT_TRUE(waitUntil([&] {
    for (const auto &line : coreEvents())
      if (line.rfind(std::to_string(core) + " child pid=", 0) == 0) child = static_cast<DWORD>(std::stoul(line.substr(line.find('=') + 1)));
    return child != 0;
  }));
  ASSERT_EQ(::kill(static_cast<pid_t>(state().processId), SIGKILL), 0);
  EXPECT_TRUE(waitUntil([&] { return !processAlive(core) && !processAlive(child); }));
  ASSERT_TRUE(waitUntil([&] { return !state().active; }));
  EXPECT_TRUE(state().diedUnexpectedly);

  ASSERT_EQ(emu::scm::startService(kServiceName), 0u);
  UiClient ui;
  EXPECT_TRUE(ui.connect());
  ASSERT_TRUE(waitForCore(2));
  EXPECT_TRUE(processAlive(corePid(2)));
  stopService();
}

TEST_F(ServiceTest, ConnectOfTheSameSessionKeepsTheCore) {
  startService();
  ASSERT_TRUE(waitForCore(1));
  EXPECT_EQ(control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, 1).handlerResult, 0u);
  ASSERT_TRUE(waitForLog("session id, cur: 1, last: 1"));
  EXPECT_EQ(count("session change event, type: 1"), 1);
  EXPECT_EQ(count("send session change event"), 1);
  EXPECT_FALSE(coreHas(corePid(1), "ctrl-c"));
  EXPECT_EQ(count("Brimvault Core stoppped"), 0);
  EXPECT_TRUE(processAlive(corePid(1)));
  stopService();
  EXPECT_EQ(coreLaunches(), 1);
}

TEST_F(ServiceTest, ConnectOfAnotherSessionMovesTheCore) {
  holdAt(std::string(kEndingWait) + "@1," + kEndingWait + "@2");
  startService();
  ASSERT_TRUE(waitForCore(1));
  emu::setActiveConsoleSession(2);
  EXPECT_EQ(control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, 2).handlerResult, 0u);
  ASSERT_TRUE(letCopyEnd());
  ASSERT_TRUE(letGoWhen(kEndingWait, [&] { return !processAlive(corePid(1)); }));
  ASSERT_TRUE(waitForCore(2));
  EXPECT_EQ(count("session id, cur: 2, last: 1"), 1);
  EXPECT_TRUE(coreHas(corePid(1), "ctrl-c"));
  EXPECT_EQ(exitCodeOf(corePid(1)), 0u);
  EXPECT_EQ(count("Brimvault Core stoppped"), 1);
  EXPECT_EQ(count("console_session_id: 2"), 1);
  EXPECT_TRUE(coreHas(corePid(2), "start launch=2 session=2"));
  stopService();
}

TEST_F(ServiceTest, WithoutConsoleSessionTheCoreRunsInTheServiceSession) {
  emu::setActiveConsoleSession(emu::kNoSession);
  startService();
  ASSERT_TRUE(waitForCore(1));
  EXPECT_GE(count("No console session yet"), 1);
  EXPECT_EQ(count("console_session_id: 0"), 1);
  EXPECT_TRUE(coreHas(corePid(1), "start launch=1 session=0"));
  stopService();
}

TEST_F(ServiceTest, ShutDownDuringTheFirstWaitEndsTheNextLaunch) {
  // The first cycle's wait, after its quit check; then the grace after the quit, which must not end the core
  // before it has even started.
  holdAt("WaitForSingleObject:3000@1," + std::string(kEndingWait) + "@1");
  startService();
  UiClient client;
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(emu::waitUntilHeld("WaitForSingleObject:3000", 30000));
  client.send(shutDownCommand());
  emu::releaseHold("WaitForSingleObject:3000");
  ASSERT_TRUE(letGoWhen(kEndingWait, [&] { return coreLaunches() == 1; }));

  ASSERT_TRUE(waitServiceEnded());
  EXPECT_EQ(coreLaunches(), 1);
  EXPECT_EQ(count("we need force stop Brimvault Core"), 1);
  EXPECT_EQ(count("Brimvault Core stoppped"), 1);
  EXPECT_FALSE(coreHas(corePid(1), "ctrl-c"));
  EXPECT_EQ(exitCodeOf(corePid(1)), 1067u);
  EXPECT_EQ(statuses().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(count("service pre stop"), 0);
  EXPECT_EQ(serviceLog().back(), "logger end");
}

struct LaunchFailure {
  const char *failure;
  const char *line;
  bool noConsole;
};

class FailedLaunchStep : public ServiceTest, public ::testing::WithParamInterface<LaunchFailure> {};

TEST_P(FailedLaunchStep, IsLoggedAndRetried) {
  if (GetParam().noConsole) emu::setActiveConsoleSession(emu::kNoSession);
  startService(GetParam().failure);
  ASSERT_TRUE(waitForCore(1));
  EXPECT_EQ(count(GetParam().line), 1);
  EXPECT_EQ(countPrefix("console_session_id: "), GetParam().noConsole ? 1 : 2);
  EXPECT_TRUE(processAlive(corePid(1)));
  stopService();
}

INSTANTIATE_TEST_SUITE_P(
    Service, FailedLaunchStep,
    ::testing::Values(LaunchFailure{"OpenProcessToken=5@1", "console_token is null", false},
                      LaunchFailure{"DuplicateTokenEx=5@1", "console_token is null", false},
                      LaunchFailure{"SetTokenInformation=1314@1", "console_token is null", false},
                      LaunchFailure{"CreateJobObjectW=8@1", "job_handle is null", false},
                      LaunchFailure{"SetInformationJobObject=87@1", "job_handle is null", false},
                      LaunchFailure{"CreateProcessAsUserW=5@1", "CreateProcessAsUserW failed, err: 0x5", false},
                      LaunchFailure{"GetCurrentDirectoryW=3@1", "GetCurrentDirectoryW failed: 0x3", false},
                      LaunchFailure{"ProcessIdToSessionId=87@1", "ProcessIdToSessionId failed: 0x57", true}),
    [](const auto &info) { return failureName(info.param.failure); });

TEST_F(ServiceTest, FailedWatchEndsTheCoreAndTheNextCycleLaunchesAgain) {
  startService("WaitForMultipleObjects=6@2"); // the wait after serving a session change fails
  ASSERT_TRUE(waitForCore(1));
  EXPECT_EQ(control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, 1).handlerResult, 0u);
  ASSERT_TRUE(waitForCore(2));
  EXPECT_EQ(countPrefix("WaitForMultipleObjects failed"), 1);
  EXPECT_EQ(exitCodeOf(corePid(1)), 1067u);
  EXPECT_EQ(countPrefix("Brimvault Core exit with"), 0);
  EXPECT_TRUE(processAlive(corePid(2)));
  stopService();
}

} // namespace
} // namespace servicetest
