#include "servicefixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "Protocol/frame.h"
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/process.h"
#include "testenv.h"

namespace servicetest {

namespace {

std::vector<std::string> messagesOf(const std::string &folder) {
  std::vector<std::string> out;
  for (const auto &line : testenv::readLogLines(folder)) {
    size_t at = line.find(" | ");
    if (at != std::string::npos) out.push_back(line.substr(at + 3));
  }
  return out;
}

bool startsWith(const std::string &text, const std::string &prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

void ensureApplication() {
  static int argc = 1;
  static char name[] = "service_test";
  static char *argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

} // namespace

bool waitUntil(const std::function<bool()> &done, int limitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void ServiceTest::SetUp() {
  ensureApplication();
  // A machine and a socket folder of its own per test, also when several tests share this process. Short names
  // keep the socket path within the Unix limit.
  static int serial = 0;
  std::string tag = "t" + std::to_string(++serial);
  root = testenv::root() + "/" + tag;
  std::string temp = testenv::tempDir() + "/" + tag;
  ::mkdir(root.c_str(), 0777);
  ::mkdir(temp.c_str(), 0777);
  ::setenv("WIN32_ROOT", root.c_str(), 1);
  ::setenv("TMPDIR", temp.c_str(), 1);
  ::unsetenv("WIN32_FAIL");
  emu::resetMachineRoot();
  emu::clearFailures();
  setTimeScale(0.02);
  logFolder = emu::hostPath("C:/Brimvault/log/bvs");
}

void ServiceTest::TearDown() {
  if (state().active) {
    control(SERVICE_CONTROL_STOP);
    emu::scm::waitForState(kServiceName, SERVICE_STOPPED, 30000);
  }
  // Nothing of this machine may outlive the test, whatever it left behind; nor write into its root once removed.
  std::vector<pid_t> left;
  for (const auto &p : emu::listProcesses())
    if (p.pid != static_cast<DWORD>(::getpid())) left.push_back(static_cast<pid_t>(p.pid));
  for (pid_t pid : left) ::kill(pid, SIGKILL);
  waitUntil([&] {
    for (pid_t pid : left)
      if (processAlive(static_cast<DWORD>(pid))) return false;
    return true;
  }, 5000);
  // This process is no longer one of the machine's: its own exit is not recorded into a root removed by then.
  ::unsetenv("WIN32_ROOT");
}

void ServiceTest::setTimeScale(double scale) { ::setenv("WIN32_TIME_SCALE", std::to_string(scale).c_str(), 1); }

void ServiceTest::setCoreControl(const std::string &lines) {
  std::string dir = root + "/BrimvaultServer";
  ::mkdir(dir.c_str(), 0777);
  testenv::writeFile(dir + "/control", lines);
}

void ServiceTest::startService(const std::string &failures, const std::string &program) {
  emu::scm::ServiceConfig config;
  config.name = kServiceName;
  config.binaryPath = "\"" + (program.empty() ? testenv::binDir() + "/BrimvaultService" : program) + "\"";
  ASSERT_EQ(emu::scm::createService(config), 0u);
  if (!failures.empty()) ::setenv("WIN32_FAIL", failures.c_str(), 1);
  if (!holds.empty()) ::setenv("WIN32_HOLD", holds.c_str(), 1);
  DWORD rc = emu::scm::startService(kServiceName);
  ::unsetenv("WIN32_FAIL");
  ::unsetenv("WIN32_HOLD");
  holds.clear();
  emu::clearFailures();
  ASSERT_EQ(rc, 0u);
}

bool ServiceTest::letGoWhen(const std::string &point, const std::function<bool()> &done) {
  if (!emu::waitUntilHeld(point, 30000)) return false;
  bool reached = waitUntil(done);
  emu::releaseHold(point);
  return reached;
}

bool ServiceTest::letCopyEnd() {
  // Found by its log, which outlives it: a copy may come and go between two looks at the live processes.
  return letGoWhen(kEndingWait, [&] {
    const std::vector<std::string> lines = testenv::readLogLines(emu::hostPath("C:/Brimvault/log/bvs/tmp"));
    unsigned long pid = 0;
    return !lines.empty() && std::sscanf(lines.front().c_str(), "%*c %*s %*s %lu", &pid) == 1 &&
           !processAlive(static_cast<DWORD>(pid));
  });
}

std::vector<DWORD> ServiceTest::terminateCopies() const {
  const DWORD service = state().processId;
  std::vector<DWORD> out;
  for (const auto &p : emu::listProcesses())
    if (p.exeName == "BrimvaultService" && p.pid != service) out.push_back(p.pid);
  return out;
}

std::vector<std::string> ServiceTest::serviceLog() const { return messagesOf(logFolder); }
std::vector<std::string> ServiceTest::terminateLog() const {
  return messagesOf(emu::hostPath("C:/Brimvault/log/bvs/tmp"));
}

int ServiceTest::count(const std::string &message) const {
  int n = 0;
  for (const auto &m : serviceLog()) n += m == message;
  return n;
}

int ServiceTest::countPrefix(const std::string &prefix) const {
  int n = 0;
  for (const auto &m : serviceLog()) n += startsWith(m, prefix);
  return n;
}

bool ServiceTest::waitForLog(const std::string &message, int times) const {
  return waitUntil([&] { return count(message) >= times; });
}

std::vector<std::string> ServiceTest::coreEvents() const {
  std::istringstream in(testenv::readFile(root + "/BrimvaultServer/log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int ServiceTest::coreLaunches() const {
  int n = 0;
  for (const auto &line : coreEvents()) n += line.find(" start launch=") != std::string::npos;
  return n;
}

DWORD ServiceTest::corePid(int launch) const {
  std::string key = " start launch=" + std::to_string(launch) + " ";
  for (const auto &line : coreEvents())
    if (line.find(key) != std::string::npos) return static_cast<DWORD>(std::stoul(line));
  return 0;
}

bool ServiceTest::coreHas(DWORD pid, const std::string &event) const {
  std::string prefix = std::to_string(pid) + " " + event;
  for (const auto &line : coreEvents())
    if (startsWith(line, prefix)) return true;
  return false;
}

bool ServiceTest::waitForCore(int launches) const {
  return waitUntil([&] { return coreLaunches() >= launches; });
}

bool ServiceTest::waitForCoreEvent(DWORD pid, const std::string &event) const {
  return waitUntil([&] { return coreHas(pid, event); });
}

DWORD ServiceTest::exitCodeOf(DWORD pid) const {
  DWORD code = 0;
  return emu::recordedExitCode(pid, &code) ? code : 0xFFFFFFFF;
}

bool ServiceTest::processAlive(DWORD pid) const {
  for (const auto &p : emu::listProcesses())
    if (p.pid == pid) return true;
  return false;
}

emu::scm::ServiceState ServiceTest::state() const { return emu::scm::queryService(kServiceName); }

std::vector<SERVICE_STATUS> ServiceTest::statuses() const {
  std::vector<SERVICE_STATUS> out;
  for (const auto &r : emu::scm::statusHistory(kServiceName)) out.push_back(r.status);
  return out;
}

emu::scm::ControlReply ServiceTest::control(DWORD code, DWORD eventType, DWORD session) {
  if (code != SERVICE_CONTROL_SESSIONCHANGE) return emu::scm::sendControl(kServiceName, code, eventType);
  WTSSESSION_NOTIFICATION note{sizeof(WTSSESSION_NOTIFICATION), session};
  return emu::scm::sendControl(kServiceName, code, eventType, &note, sizeof(note));
}

void ServiceTest::stopService() {
  emu::scm::ControlReply reply = control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(reply.error, 0u);
  EXPECT_EQ(reply.handlerResult, 0u);
  EXPECT_TRUE(waitServiceEnded());
  EXPECT_EQ(state().processExitCode, 0u);
}

bool ServiceTest::waitServiceEnded() const {
  return waitUntil([&] { return state().processEnded; });
}

bool UiClient::connect() {
  return waitUntil([&] {
    socket.connectToServer(QStringLiteral("Brimvault-Service-Socket"));
    if (socket.waitForConnected(200)) return true;
    socket.abort();
    return false;
  });
}

void UiClient::send(const QByteArray &frame) {
  socket.write(frame);
  socket.waitForBytesWritten(5000);
}

QByteArray UiClient::readUntilClosed() {
  QByteArray data;
  QElapsedTimer timer;
  timer.start();
  while (socket.state() == QLocalSocket::ConnectedState && timer.elapsed() < 30000) {
    socket.waitForReadyRead(100);
    data += socket.readAll();
  }
  data += socket.readAll();
  return data;
}

std::string failureName(const std::string &failure) {
  std::string name = failure.substr(0, failure.find('='));
  size_t at = failure.find('@');
  return at == std::string::npos ? name : name + "_" + failure.substr(at + 1);
}

QByteArray uiDeclaration() {
  ComponentTypeRequest request;
  request.set_type(COMPONENT_TYPE_UI);
  return writeFrame(request);
}

QByteArray shutDownCommand() {
  CommandRequest request;
  request.set_command(SHUT_DOWN);
  return writeFrame(request);
}

} // namespace servicetest
