// The stand-in service control manager against a real service process (bv_testservice): the dispatcher, recorded
// statuses, controls and their answers, refusals, a dying service, the client calls and win32ctl.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include "emu/account.h"
#include "emu/emu.h"
#include "emu/scm.h"
#include "emu/session.h"
#include "testenv.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <csignal>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

using ::testing::HasSubstr;

constexpr DWORD kWaitMs = 30000; // generous: only a failure ever waits this long

std::string program() { return testenv::binDir() + "/bv_testservice"; }

std::vector<std::string> events(const std::string &service) {
  std::istringstream in(testenv::readFile(emu::machineRoot() + "/testservice/" + service + ".events"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Index of the first event containing `text`, or -1.
int eventIndex(const std::string &service, const std::string &text) {
  auto lines = events(service);
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

bool waitUntil(const std::function<bool()> &done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The value of "key=" in an event line.
std::string field(const std::string &line, const std::string &key) {
  size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return {};
  at += key.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

std::string eventLine(const std::string &service, const std::string &text) {
  int i = eventIndex(service, text);
  return i < 0 ? std::string() : events(service)[static_cast<size_t>(i)];
}

void create(const std::string &name, const std::string &tail = std::string()) {
  emu::scm::ServiceConfig c;
  c.name = name;
  c.binaryPath = "\"" + program() + "\"" + tail;
  ASSERT_EQ(emu::scm::createService(c), 0u);
}

void startRunning(const std::string &name, const std::vector<std::string> &args = {}) {
  ASSERT_EQ(emu::scm::startService(name, args), 0u);
  ASSERT_TRUE(emu::scm::waitForState(name, SERVICE_RUNNING, kWaitMs));
}

void stopAndWait(const std::string &name) {
  EXPECT_EQ(emu::scm::sendControl(name, SERVICE_CONTROL_STOP).error, 0u);
  EXPECT_TRUE(waitUntil([&] { return emu::scm::queryService(name).processEnded; }));
}

emu::scm::ControlReply sessionChange(const std::string &name, DWORD type, DWORD session) {
  WTSSESSION_NOTIFICATION note{sizeof(note), session};
  return emu::scm::sendControl(name, SERVICE_CONTROL_SESSIONCHANGE, type, &note, sizeof(note));
}

// Runs win32ctl (after the shell variable assignments in `env`) and returns its output; *rc gets its exit status.
std::string win32ctl(const std::string &args, int *rc, const std::string &env = std::string()) {
  std::string cmd = env + " '" + testenv::binDir() + "/win32ctl' " + args + " 2>&1";
  std::string out;
  FILE *p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (size_t n = std::fread(buf, 1, sizeof(buf), p)) out.append(buf, n);
  int status = ::pclose(p);
  *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// Whether a controller process ("win32ctl scm-host <service> ...") of this machine is alive.
bool controllerRunning(const std::string &service) {
  const std::string wanted = std::string("scm-host") + '\0' + service + '\0';
  bool found = false;
  if (DIR *d = ::opendir("/proc")) {
    while (dirent *e = ::readdir(d)) {
      std::string cmdline = testenv::readFile(std::string("/proc/") + e->d_name + "/cmdline");
      if (cmdline.find(wanted) != std::string::npos) found = true;
    }
    ::closedir(d);
  }
  return found;
}

void WINAPI unusedMain(DWORD, LPWSTR *) {}

TEST(ServiceDispatcher, RefusesAProcessTheControlManagerDidNotStart) {
  WCHAR name[] = u"Outside";
  SERVICE_TABLE_ENTRYW table[] = {{name, unusedMain}, {nullptr, nullptr}};
  SetLastError(0);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(name, [](DWORD, DWORD, LPVOID, LPVOID) -> DWORD { return 0; }, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(&status), &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // The program itself, run from a console.
  int status2 = std::system(("'" + program() + "'").c_str());
  ASSERT_TRUE(WIFEXITED(status2));
  EXPECT_THAT(eventLine("none", "dispatcher"), HasSubstr("ok=0 error=1063"));

  // A process that only inherited a service's channel (a child of the service) is refused too.
  create("Inherit");
  startRunning("Inherit");
  std::string channel;
  {
    std::ifstream env("/proc/" + std::to_string(emu::scm::queryService("Inherit").processId) + "/environ");
    for (std::string var; std::getline(env, var, '\0');)
      if (var.rfind("WIN32_SCM_CHANNEL=", 0) == 0) channel = var.substr(18);
  }
  ASSERT_FALSE(channel.empty());
  setenv("WIN32_SCM_SERVICE", "Inherit", 1);
  setenv("WIN32_SCM_CHANNEL", channel.c_str(), 1);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  unsetenv("WIN32_SCM_SERVICE");
  unsetenv("WIN32_SCM_CHANNEL");
  // The real service was not disturbed by the impostor.
  EXPECT_EQ(emu::scm::sendControl("Inherit", SERVICE_CONTROL_INTERROGATE).error, 0u);
  stopAndWait("Inherit");
}

TEST(ServiceRun, StatusesRecordedInOrderAndStoppedEndsTheDispatcherWhileTheMainFunctionRuns) {
  create("Run");
  startRunning("Run", {"accept=0x181", "exit=0", "linger=1000"});
  emu::scm::ServiceState st = emu::scm::queryService("Run");
  EXPECT_TRUE(st.active);
  EXPECT_NE(st.processId, 0u);
  EXPECT_EQ(st.status.dwControlsAccepted, 0x181u);

  std::string start = eventLine("Run", "start pid=");
  EXPECT_EQ(field(start, "session"), "0");
  EXPECT_THAT(field(start, "cwd"), HasSubstr("drive_c/Windows/System32"));
  std::string mainFn = eventLine("Run", "main-function tid=");
  EXPECT_THAT(mainFn, HasSubstr("argc=4 [Run] [accept=0x181] [exit=0] [linger=1000]"));
  EXPECT_NE(field(mainFn, "tid"), field(start, "tid")) << "the main function runs on a thread of its own";

  emu::scm::ControlReply r = emu::scm::sendControl("Run", SERVICE_CONTROL_STOP);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.handlerResult, 0u);
  // Reported inside the handler, and perhaps already followed by the main function's SERVICE_STOPPED.
  EXPECT_THAT(r.status.dwCurrentState, ::testing::AnyOf(static_cast<DWORD>(SERVICE_STOP_PENDING),
                                                        static_cast<DWORD>(SERVICE_STOPPED)));
  ASSERT_TRUE(emu::scm::waitForState("Run", SERVICE_STOPPED, kWaitMs));
  ASSERT_TRUE(waitUntil([] { return emu::scm::queryService("Run").processEnded; }));

  auto history = emu::scm::statusHistory("Run");
  ASSERT_EQ(history.size(), 4u);
  const DWORD states[] = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(history[i].status.dwCurrentState, states[i]) << i;
    EXPECT_EQ(history[i].status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS)) << i;
    EXPECT_FALSE(history[i].bySystem) << i;
  }
  EXPECT_EQ(history[0].status.dwCheckPoint, 1u);
  EXPECT_EQ(history[0].status.dwWaitHint, 3000u);
  EXPECT_EQ(history[1].status.dwControlsAccepted, 0x181u);
  EXPECT_EQ(history[2].status.dwControlsAccepted, 0u);

  int stopped = eventIndex("Run", "status state=1 ok=1");
  int returned = eventIndex("Run", "main-function-returns");
  int dispatcher = eventIndex("Run", "dispatcher ok=1");
  ASSERT_GE(stopped, 0);
  EXPECT_LT(dispatcher, returned) << "SERVICE_STOPPED ends the dispatcher, not the main function's return";
  st = emu::scm::queryService("Run");
  EXPECT_FALSE(st.diedUnexpectedly);
  EXPECT_EQ(st.processExitCode, 0u);
  EXPECT_FALSE(st.active);
}

TEST(ServiceControls, DeliveredWithEventTypeAndDataOnTheDispatcherThreadAndAnswered) {
  create("Ctl");
  startRunning("Ctl");
  const std::string dispatcherTid = field(eventLine("Ctl", "start pid="), "tid");

  emu::scm::ControlReply r = emu::scm::sendControl("Ctl", SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.handlerResult, 0u);
  EXPECT_EQ(r.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  r = emu::scm::sendControl("Ctl", 200);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.handlerResult, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  r = sessionChange("Ctl", WTS_CONSOLE_CONNECT, 3);
  EXPECT_EQ(r.error, 0u);
  std::string line = eventLine("Ctl", "control code=14");
  EXPECT_EQ(field(line, "type"), "1");
  EXPECT_EQ(field(line, "size"), "8");
  EXPECT_EQ(field(line, "session"), "3");
  EXPECT_EQ(field(line, "context"), "1");
  EXPECT_EQ(field(line, "tid"), dispatcherTid);

  auto told = emu::scm::broadcastSessionChange(WTS_SESSION_LOCK, 5);
  EXPECT_THAT(told, ::testing::Contains("Ctl"));
  EXPECT_GE(eventIndex("Ctl", "control code=14 type=7"), 0);

  // Not accepted by a running service: refused before the handler.
  EXPECT_EQ(emu::scm::sendControl("Ctl", SERVICE_CONTROL_PAUSE).error,
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(emu::scm::sendControl("Ctl", SERVICE_CONTROL_SHUTDOWN).error,
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(eventIndex("Ctl", "control code=2 "), -1);
  EXPECT_EQ(eventIndex("Ctl", "control code=5 "), -1);

  std::string big(100000, 'x');
  EXPECT_EQ(emu::scm::sendControl("Ctl", 201, 0, big.data(), big.size()).error,
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(emu::scm::sendControl("Ctl", SERVICE_CONTROL_PRESHUTDOWN).error, 0u);
  ASSERT_TRUE(waitUntil([] { return emu::scm::queryService("Ctl").processEnded; }));
  EXPECT_GE(eventIndex("Ctl", "control code=15 type=0"), 0);
}

TEST(ServiceControls, OnlyWhatTheLastStatusAcceptsReachesTheHandler) {
  create("StopOnly");
  startRunning("StopOnly", {"accept=1", "linger=2000"});
  EXPECT_EQ(sessionChange("StopOnly", WTS_CONSOLE_CONNECT, 1).error,
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_THAT(emu::scm::broadcastSessionChange(WTS_CONSOLE_CONNECT, 1), ::testing::Not(::testing::Contains("StopOnly")));
  EXPECT_EQ(emu::scm::sendControl("StopOnly", SERVICE_CONTROL_PRESHUTDOWN).error,
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  // Interrogate and user-defined codes need no flag.
  EXPECT_EQ(emu::scm::sendControl("StopOnly", SERVICE_CONTROL_INTERROGATE).error, 0u);
  EXPECT_EQ(emu::scm::sendControl("StopOnly", 130).handlerResult, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  EXPECT_EQ(emu::scm::sendControl("StopOnly", SERVICE_CONTROL_STOP).error, 0u);
  ASSERT_TRUE(emu::scm::waitForState("StopOnly", SERVICE_STOPPED, kWaitMs));
  // Stopped but its process still lingers: the service is no longer active.
  EXPECT_EQ(emu::scm::sendControl("StopOnly", SERVICE_CONTROL_STOP).error,
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(eventIndex("StopOnly", "control code=14"), -1);
  EXPECT_EQ(eventIndex("StopOnly", "control code=15"), -1);
  ASSERT_TRUE(waitUntil([] { return emu::scm::queryService("StopOnly").processEnded; }));
  auto all = events("StopOnly");
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string &l) { return l.find("code=1 ") != std::string::npos; }),
            1);
  EXPECT_EQ(emu::scm::sendControl("StopOnly", SERVICE_CONTROL_INTERROGATE).error,
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

// ControlService's state table: stop pending takes no control; start pending takes only a stop, and that only when
// its last status accepts it, as every other state does.
TEST(ServiceControls, PendingStatesFollowTheStateTable) {
  create("Pending");
  const auto release = [] { testenv::writeFile(emu::machineRoot() + "/testservice/Pending.go", ""); };
  ASSERT_EQ(emu::scm::startService("Pending", {"accept=1", "hold=1"}), 0u);
  ASSERT_TRUE(waitUntil([] { return eventIndex("Pending", "status state=2 ok=1") >= 0; }));
  emu::scm::ControlReply r = emu::scm::sendControl("Pending", SERVICE_CONTROL_PAUSE);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(r.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  r = emu::scm::sendControl("Pending", SERVICE_CONTROL_STOP); // start pending accepts nothing yet
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(r.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  release();
  ASSERT_TRUE(emu::scm::waitForState("Pending", SERVICE_RUNNING, kWaitMs));
  r = emu::scm::sendControl("Pending", SERVICE_CONTROL_PAUSE);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(r.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(emu::scm::sendControl("Pending", SERVICE_CONTROL_STOP).error, 0u);
  r = emu::scm::sendControl("Pending", SERVICE_CONTROL_INTERROGATE); // needs no accept flag, yet stop pending
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(r.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  release();
  ASSERT_TRUE(waitUntil([] { return emu::scm::queryService("Pending").processEnded; }));
  EXPECT_EQ(eventIndex("Pending", "control code=2 "), -1);
  EXPECT_EQ(eventIndex("Pending", "control code=4 "), -1);

  // A start pending status that accepts a stop is sent one.
  create("EarlyStop");
  const auto releaseEarly = [] { testenv::writeFile(emu::machineRoot() + "/testservice/EarlyStop.go", ""); };
  ASSERT_EQ(emu::scm::startService("EarlyStop", {"pending-accept=1", "hold=1"}), 0u);
  ASSERT_TRUE(waitUntil([] { return eventIndex("EarlyStop", "status state=2 ok=1") >= 0; }));
  ASSERT_EQ(emu::scm::sendControl("EarlyStop", SERVICE_CONTROL_STOP).error, 0u);
  EXPECT_GE(eventIndex("EarlyStop", "control code=1 "), 0);
  releaseEarly();
  ASSERT_TRUE(waitUntil([] { return emu::scm::queryService("EarlyStop").processEnded; }));
}

TEST(ServiceDeath, AProcessEndingWithoutStoppedIsNoticedAndTheServiceCanStartAgain) {
  create("Crash");
  startRunning("Crash");
  // The handler ends the process instead of answering.
  emu::scm::ControlReply r = emu::scm::sendControl("Crash", 222);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  ASSERT_TRUE(emu::scm::waitForState("Crash", SERVICE_STOPPED, kWaitMs));
  emu::scm::ServiceState st = emu::scm::queryService("Crash");
  EXPECT_TRUE(st.processEnded);
  EXPECT_TRUE(st.diedUnexpectedly);
  EXPECT_EQ(st.processExitCode, 3u);
  EXPECT_EQ(st.status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  auto history = emu::scm::statusHistory("Crash");
  ASSERT_EQ(history.size(), 3u);
  EXPECT_TRUE(history.back().bySystem);
  EXPECT_EQ(history.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(emu::scm::sendControl("Crash", SERVICE_CONTROL_INTERROGATE).error,
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

  startRunning("Crash");
  EXPECT_EQ(emu::scm::statusHistory("Crash").size(), 2u) << "a new run starts a new history";
  EXPECT_FALSE(emu::scm::queryService("Crash").processEnded);
  stopAndWait("Crash");
}

TEST(ServiceDeath, ThrowingTheMachineAwayEndsItsServicesAndLeavesNothingBehind) {
  // Another machine, driven through win32ctl alone.
  const std::string other = testenv::tempDir() + "/thrown-away";
  const std::string env = "WIN32_ROOT='" + other + "'";
  int rc = -1;
  std::string out = win32ctl("svc-create Orphan '\"" + program() + "\"'", &rc, env);
  ASSERT_EQ(rc, 0) << out;
  out = win32ctl("svc-start Orphan", &rc, env);
  ASSERT_EQ(rc, 0) << out;
  const DWORD pid = static_cast<DWORD>(std::stoul(out.substr(out.find("pid: ") + 5)));
  ASSERT_NE(pid, 0u);
  // Gone at once, as one step: the machine's processes may be writing into it right then.
  ASSERT_EQ(::rename(other.c_str(), (other + ".gone").c_str()), 0);
  ASSERT_EQ(std::system(("rm -rf '" + other + ".gone'").c_str()), 0);
  EXPECT_TRUE(waitUntil([pid] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
  EXPECT_TRUE(waitUntil([] { return !controllerRunning("Orphan"); }));
  EXPECT_NE(::access(other.c_str(), F_OK), 0) << "nothing recreated the removed root";
}

TEST(ServiceStart, FailuresAreReported) {
  EXPECT_EQ(emu::scm::startService("NoSuchService"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

  create("EarlyExit", " --exit-at-once");
  EXPECT_EQ(emu::scm::startService("EarlyExit"), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  emu::scm::ServiceState st = emu::scm::queryService("EarlyExit");
  EXPECT_EQ(st.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(st.diedUnexpectedly);
  EXPECT_EQ(st.processExitCode, 7u);

  emu::scm::ServiceConfig missing;
  missing.name = "Missing";
  missing.binaryPath = "C:\\Program Files\\Nowhere\\missing.exe";
  ASSERT_EQ(emu::scm::createService(missing), 0u);
  EXPECT_EQ(emu::scm::startService("Missing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(emu::scm::queryService("Missing").active);

  emu::scm::ServiceConfig disabled;
  disabled.name = "Disabled";
  disabled.binaryPath = program();
  disabled.startType = SERVICE_DISABLED;
  ASSERT_EQ(emu::scm::createService(disabled), 0u);
  EXPECT_EQ(emu::scm::startService("Disabled"), static_cast<DWORD>(ERROR_SERVICE_DISABLED));

  create("Twice");
  startRunning("Twice");
  EXPECT_EQ(emu::scm::startService("twice"), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING)) << "names ignore case";
  EXPECT_EQ(emu::scm::queryService("Twice").processId, emu::scm::queryService("TWICE").processId);
  stopAndWait("Twice");
}

TEST(ServiceClientCalls, CreateConfigureStartControlDelete) {
  emu::Account admin;
  admin.elevated = true; // creating and starting services takes an elevated administrator
  ASSERT_TRUE(emu::setAccount(static_cast<DWORD>(::getpid()), admin));
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  EXPECT_EQ(OpenSCManagerW(u"OTHERPC", nullptr, SC_MANAGER_CONNECT), nullptr);

  std::u16string path = emu::toUtf16("\"" + program() + "\"");
  SC_HANDLE svc = CreateServiceW(scm, u"Api", u"Api Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
  ASSERT_NE(svc, nullptr);
  EXPECT_EQ(CreateServiceW(scm, u"API", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                           SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(CreateServiceW(scm, u"Api2", u"api display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));

  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigW(svc, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));
  ASSERT_TRUE(ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr));
  std::vector<uint64_t> buffer(needed / 8 + 1);
  auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(svc, config, needed, &needed));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(std::u16string(config->lpBinaryPathName), path);
  EXPECT_EQ(std::u16string(config->lpDisplayName), u"Api Display");
  EXPECT_EQ(std::u16string(config->lpServiceStartName), u"LocalSystem");
  WCHAR text[] = u"What it does";
  SERVICE_DESCRIPTIONW description{text};
  EXPECT_TRUE(ChangeServiceConfig2W(svc, SERVICE_CONFIG_DESCRIPTION, &description));
  emu::scm::ServiceConfig stored;
  ASSERT_EQ(emu::scm::readConfig("api", &stored), 0u);
  EXPECT_EQ(stored.description, "What it does");
  EXPECT_TRUE(ChangeServiceConfig2W(svc, SERVICE_CONFIG_DESCRIPTION, nullptr)) << "NULL: the information stays";
  ASSERT_EQ(emu::scm::readConfig("api", &stored), 0u);
  EXPECT_EQ(stored.description, "What it does");

  // A handle carries only the rights it was opened with.
  SC_HANDLE queryOnly = OpenServiceW(scm, u"api", SERVICE_QUERY_STATUS);
  ASSERT_NE(queryOnly, nullptr);
  SERVICE_STATUS status{};
  EXPECT_FALSE(StartServiceW(queryOnly, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ControlService(queryOnly, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_SESSIONCHANGE, &status)) << "sent by the system alone";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  LPCWSTR args[] = {u"accept=0x181"};
  ASSERT_TRUE(StartServiceW(svc, 1, args));
  ASSERT_TRUE(emu::scm::waitForState("Api", SERVICE_RUNNING, kWaitMs));
  EXPECT_FALSE(StartServiceW(svc, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  SERVICE_STATUS_PROCESS process{};
  EXPECT_FALSE(QueryServiceStatusEx(queryOnly, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&process), 20, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
  ASSERT_TRUE(QueryServiceStatusEx(queryOnly, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&process),
                                   sizeof(process), &needed));
  EXPECT_EQ(process.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(process.dwProcessId, emu::scm::queryService("Api").processId);
  EXPECT_NE(process.dwProcessId, 0u);

  EXPECT_FALSE(ControlService(svc, 150, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << "the handler's answer";
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  status = SERVICE_STATUS{};
  EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << "filled in on this refusal too";
  ASSERT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &status));
  EXPECT_THAT(status.dwCurrentState, ::testing::AnyOf(static_cast<DWORD>(SERVICE_STOP_PENDING),
                                                      static_cast<DWORD>(SERVICE_STOPPED)));
  ASSERT_TRUE(emu::scm::waitForState("Api", SERVICE_STOPPED, kWaitMs));
  ASSERT_TRUE(QueryServiceStatus(queryOnly, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  // Deletion: marked while handles are open, gone after the last one closes. The run is over only once its
  // controller has finished too; until then the controller, not the last close, removes the entry.
  ASSERT_TRUE(waitUntil([] { return !emu::scm::queryService("Api").active; }));
  EXPECT_TRUE(DeleteService(svc));
  EXPECT_FALSE(DeleteService(svc));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_FALSE(StartServiceW(svc, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_TRUE(CloseServiceHandle(svc));
  EXPECT_TRUE(emu::scm::queryService("Api").exists);
  EXPECT_TRUE(CloseServiceHandle(queryOnly));
  EXPECT_FALSE(emu::scm::queryService("Api").exists);
  EXPECT_EQ(OpenServiceW(scm, u"Api", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(CloseServiceHandle(svc));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseServiceHandle(scm));
}

TEST(ServiceClientCalls, TheAccountMustBeOneTheMachineKnows) {
  emu::Account admin;
  admin.elevated = true;
  ASSERT_TRUE(emu::setAccount(static_cast<DWORD>(::getpid()), admin));
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  const std::u16string path = emu::toUtf16(program());
  auto create = [&](const char16_t *name, const char16_t *account) {
    return CreateServiceW(scm, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, account, nullptr);
  };
  for (const char16_t *unknown : {u".\\Administrator", u"CORP\\someone"}) {
    EXPECT_EQ(create(u"Acct", unknown), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_ACCOUNT));
  }
  EXPECT_FALSE(emu::scm::queryService("Acct").exists);
  SC_HANDLE svc = create(u"Acct", u".\\localsystem");
  ASSERT_NE(svc, nullptr);
  for (const char16_t *known : {u"NT AUTHORITY\\LocalService", u"NT AUTHORITY\\NetworkService", u"LocalSystem"})
    EXPECT_TRUE(ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                     nullptr, nullptr, known, nullptr, nullptr));
  EXPECT_FALSE(ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                                    nullptr, nullptr, u"Guest", nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_ACCOUNT));
  emu::scm::ServiceConfig stored;
  ASSERT_EQ(emu::scm::readConfig("Acct", &stored), 0u);
  EXPECT_EQ(stored.account, "LocalSystem");
  EXPECT_EQ(stored.startType, static_cast<DWORD>(SERVICE_DEMAND_START)) << "a refused change changes nothing";
  EXPECT_TRUE(DeleteService(svc));
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}

TEST(Win32ctlService, CommandsDriveAServiceAndTheConsoleSession) {
  int rc = -1;
  std::string out = win32ctl("svc-create Cli '\"" + program() + "\"' --display 'Cli service'", &rc);
  ASSERT_EQ(rc, 0) << out;
  out = win32ctl("svc-start Cli accept=0x181", &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(win32ctl("svc-wait Cli running 30000", &rc), "");
  EXPECT_EQ(rc, 0);
  out = win32ctl("svc-query Cli", &rc);
  EXPECT_THAT(out, HasSubstr("state: RUNNING (4)"));
  EXPECT_THAT(out, HasSubstr("accepted: 0x181"));

  out = win32ctl("svc-control Cli 200", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(out, HasSubstr("result: 120"));
  out = win32ctl("svc-control Cli pause", &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_THAT(out, HasSubstr("error 1052"));
  out = win32ctl("svc-control Cli sessionchange 8 6", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(field(eventLine("Cli", "control code=14 type=8"), "session"), "6");

  out = win32ctl("session-connect 4 --gap-ms 20", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(out, HasSubstr("told: Cli"));
  EXPECT_EQ(field(eventLine("Cli", "control code=14 type=1"), "session"), "4");
  // The console was taken from its session first, and that was announced first.
  EXPECT_EQ(field(eventLine("Cli", "control code=14 type=2"), "session"), "1");
  EXPECT_LT(eventIndex("Cli", "control code=14 type=2"), eventIndex("Cli", "control code=14 type=1"));
  EXPECT_EQ(win32ctl("session-get", &rc), "4\n");
  EXPECT_EQ(emu::activeConsoleSession(), 4u);
  win32ctl("session-set none", &rc);
  EXPECT_EQ(win32ctl("session-get", &rc), "none\n");

  out = win32ctl("svc-stop Cli --wait 30000", &rc);
  EXPECT_EQ(rc, 0) << out;
  ASSERT_TRUE(waitUntil([] { return !emu::scm::queryService("Cli").active; })); // its controller has finished too
  out = win32ctl("svc-query Cli --history", &rc);
  EXPECT_THAT(out, HasSubstr("state: STOPPED (1)"));
  size_t histories = 0;
  for (size_t at = out.find("history: "); at != std::string::npos; at = out.find("history: ", at + 1)) ++histories;
  EXPECT_EQ(histories, 4u);
  EXPECT_THAT(win32ctl("svc-wait Nope stopped 10", &rc), HasSubstr("1060"));
  EXPECT_EQ(rc, 1);
  win32ctl("svc-delete Cli", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(emu::scm::queryService("Cli").exists);
}

} // namespace
