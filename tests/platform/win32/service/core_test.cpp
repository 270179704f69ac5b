// Logging a session off ends that session's programs (the stand-in core here), a status query answers as of one
// moment, and an ended process holds no service handles. The core's own settings are exercised by the service's
// process tests, which fail when the core does not follow them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/registry.h"
#include "emu/scm.h"
#include "emu/session.h"
#include "testenv.h"

#include <chrono>
#include <csignal>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

constexpr char kServerKey[] = "HKLM\\SOFTWARE\\Orlenta\\Brimvault\\server";

struct Core {
  HANDLE process = nullptr;
  DWORD pid = 0;
};

Core launch(DWORD flags = CREATE_NO_WINDOW) {
  std::u16string cmd = emu::toUtf16("\"" + testenv::binDir() + "/BrimvaultServer.exe\"");
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  Core core;
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi)) return core;
  CloseHandle(pi.hThread);
  core.process = pi.hProcess;
  core.pid = pi.dwProcessId;
  return core;
}

DWORD waitExit(const Core &core) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(core.process, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(core.process, &code);
  CloseHandle(core.process);
  return code;
}

std::vector<std::string> coreLog() {
  std::istringstream in(testenv::readFile(emu::machineRoot() + "/BrimvaultServer/log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The core's event of process `pid` that starts with `event`, waiting for it to appear; empty when it does not.
std::string coreEvent(DWORD pid, const std::string &event) {
  const std::string prefix = std::to_string(pid) + " " + event;
  for (int i = 0; i < 3000; ++i) {
    for (const auto &line : coreLog())
      if (line.rfind(prefix, 0) == 0) return line;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

void setControl(const std::string &lines) {
  std::string dir = emu::machineRoot() + "/BrimvaultServer";
  ::mkdir(dir.c_str(), 0777);
  testenv::writeFile(dir + "/control", lines);
}

TEST(Logoff, EndsTheSessionsProgramsWithTheMarkerAndLeavesTheConsoleWithoutSession) {
  setControl("");
  emu::setActiveConsoleSession(2);
  emu::setCurrentSessionId(2);
  Core user = launch();
  emu::setCurrentSessionId(3);
  Core other = launch();
  emu::setCurrentSessionId(1);
  ASSERT_THAT(coreEvent(user.pid, "start"), HasSubstr("session=2"));
  ASSERT_THAT(coreEvent(other.pid, "start"), HasSubstr("session=3"));

  std::vector<DWORD> told = emu::scm::logoffSession(2);
  EXPECT_THAT(told, Contains(user.pid));
  EXPECT_THAT(told, ::testing::Not(Contains(other.pid)));
  EXPECT_EQ(waitExit(user), 0u);
  EXPECT_FALSE(coreEvent(user.pid, "logoff").empty());
  EXPECT_EQ(emu::regGetDword(kServerKey, "exitCode").value_or(0), 0x40010004u);
  EXPECT_EQ(emu::activeConsoleSession(), emu::kNoSession);

  EXPECT_EQ(WaitForSingleObject(other.process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "another session's program";
  TerminateProcess(other.process, 1);
  waitExit(other);
}

// A service that dies while its status is queried: the records of the run read before its controller is asked
// whether it still serves the run may be the run's last but one. The query reads it as died, as its records say.
TEST(ServiceQuery, AServiceThatDiesDuringAQueryReadsAsItsRecordsSay) {
  emu::scm::ServiceConfig c;
  c.name = "Dying";
  c.binaryPath = "\"" + testenv::binDir() + "/bv_testservice\"";
  ASSERT_EQ(emu::scm::createService(c), 0u);
  ASSERT_EQ(emu::scm::startService("Dying"), 0u);
  ASSERT_TRUE(emu::scm::waitForState("Dying", SERVICE_RUNNING, 30000));
  const std::string point = "ServiceQuery:Dying";
  emu::setHoldPoints(point);
  emu::scm::ServiceState seen;
  std::thread query([&] { seen = emu::scm::queryService("Dying"); });
  const bool held = emu::waitUntilHeld(point, 30000); // about to ask whether the run is still served
  emu::scm::sendControl("Dying", 222);                // the service ends at once, without SERVICE_STOPPED
  const bool stopped = emu::scm::waitForState("Dying", SERVICE_STOPPED, 30000);
  emu::releaseHold(point);
  query.join();
  emu::setHoldPoints("");
  ASSERT_TRUE(held && stopped);
  EXPECT_EQ(seen.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(seen.status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_TRUE(seen.processEnded);
  EXPECT_TRUE(seen.diedUnexpectedly);
}

// Handles of a process that ended without closing them keep no entry: one marked for deletion goes when the last
// live holder closes, even while the ended holder is not yet reaped (its pid still names it).
TEST(ServiceHandles, AnEndedHolderKeepsNoDeletedEntry) {
  emu::scm::ServiceConfig c;
  c.name = "Held";
  c.binaryPath = "\"" + testenv::binDir() + "/bv_testservice\"";
  ASSERT_EQ(emu::scm::createService(c), 0u);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ::_exit(m && OpenServiceW(m, TEXT("Held"), SERVICE_QUERY_STATUS) ? 0 : 1); // ends holding both
  }
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(holder), &info, WEXITED | WNOWAIT), 0); // ended, not reaped
  ASSERT_EQ(info.si_status, 0);

  SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE s = OpenServiceW(m, TEXT("Held"), DELETE);
  ASSERT_TRUE(s);
  EXPECT_TRUE(DeleteService(s));
  CloseServiceHandle(s);
  SetLastError(0);
  EXPECT_FALSE(OpenServiceW(m, TEXT("Held"), SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  CloseServiceHandle(m);
  ::waitpid(holder, nullptr, 0);
}

} // namespace
