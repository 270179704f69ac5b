// WindowShepherd as a whole, on an emulated desktop of two monitors: one instance per session, the command socket
// and its START, PAUSE and SHUT_DOWN, and the log.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <memory>
#include <string>
#include <vector>

#include "SoleInstance/soleinstancepeer.h"
#include "emu/desktop.h"
#include "emu/emu.h"
#include "testenv.h"

namespace desk = emu::desktop;

namespace {

const char kCommandSocket[] = "Brimvault-WindowShepherd-Socket";
const QString kAppId = "{35978AEE-2B2C-BA1C-60CF-247925932DB5}";
constexpr DWORD kEditorPid = desk::madeUpPid(4242);

class QtAppEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "wshp_program_tests";
    static char *argv[] = {name, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { app.reset(); }
  std::unique_ptr<QCoreApplication> app;
};
[[maybe_unused]] ::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

// One CommandRequest frame as it travels: length 22, then header {type, version 1} and the command.
QByteArray commandFrame(int command) {
  QByteArray body = QByteArray::fromHex("0a120a0e") + "CommandRequest" + QByteArray::fromHex("1001");
  body.append(char(0x10)).append(char(command));
  return QByteArray::fromHex("00000016") + body;
}
const int kShutDown = 1, kStart = 5, kPause = 7;

// The text of each log line (after " | ").
std::vector<std::string> logTexts() {
  std::vector<std::string> texts;
  for (const std::string &line : testenv::readLogLines(emu::hostPath("C:/Brimvault/log/bvu/wshp"))) {
    const auto bar = line.find(" | ");
    texts.push_back(bar == std::string::npos ? line : line.substr(bar + 3));
  }
  return texts;
}

class Shepherd {
public:
  explicit Shepherd(const QStringList &args) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(environment);
    proc.setProcessChannelMode(QProcess::ForwardedChannels);
    proc.start(QString::fromStdString(testenv::binDir()) + "/WindowShepherd", args);
    proc.waitForStarted(10000);
  }
  ~Shepherd() {
    if (proc.state() != QProcess::NotRunning) {
      proc.kill();
      proc.waitForFinished(10000);
    }
  }
  // Until the command socket takes connections; false when the program ended first.
  bool waitListening() {
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && proc.state() == QProcess::Running) {
      QLocalSocket probe;
      probe.connectToServer(kCommandSocket);
      if (probe.waitForConnected(1000)) return true;
      QThread::msleep(20);
    }
    return false;
  }
  // Exit code, -1 when it did not end in time, -2 when it crashed.
  int waitExit(int ms = 30000) {
    if (!proc.waitForFinished(ms)) return -1;
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -2;
  }
  void killHard() {
    proc.kill();
    proc.waitForFinished(10000);
  }
  QProcess proc;
};

// A client of the command socket.
class Client {
public:
  Client() {
    socket.connectToServer(kCommandSocket);
    connected = socket.waitForConnected(5000);
  }
  void send(const QByteArray &bytes) {
    socket.write(bytes);
    socket.waitForBytesWritten(5000);
  }
  void leave() { socket.disconnectFromServer(); }
  QLocalSocket socket;
  bool connected = false;
};

void sendCommands(const QByteArray &bytes) {
  Client client;
  ASSERT_TRUE(client.connected);
  client.send(bytes);
}

// Round trips through the program's event loop on its single-instance socket, each one turn of the loop after the
// last: a new command connection is accepted in the first turn after it was made and read in the next, so after
// three trips every byte written to the command socket before has been handled.
bool drain() {
  for (int i = 0; i < 3; ++i) {
    SoleInstancePeer peer(nullptr, kAppId);
    if (!peer.sendMessage("RAISE_WINDOW", 10000)) return false;
  }
  return true;
}

class ShepherdProgram : public ::testing::Test {
protected:
  void SetUp() override {
    desk::reset();
    desk::clearMonitors();
    desk::MonitorSpec a;
    a.monitor = {0, 0, 1920, 1080};
    a.work = {0, 0, 1920, 1040};
    a.primary = true;
    monitorA = desk::addMonitor(a);
    desk::MonitorSpec b;
    b.monitor = {1920, 0, 3840, 1080};
    b.work = {1920, 0, 3840, 1040};
    monitorB = desk::addMonitor(b);
    desk::ProcessSpec editor;
    editor.pid = kEditorPid;
    editor.imagePath = u"C:\\Program Files\\Editor\\editor.exe";
    desk::addProcess(editor);
    desk::setCursor({2500, 500});
  }

  // A top-level window of another program, opened on monitor A while the cursor is on monitor B.
  HWND openWindow() {
    desk::WindowSpec spec;
    spec.pid = kEditorPid;
    spec.className = "EditorFrame";
    spec.title = u"Untitled - Editor";
    spec.rect = {100, 100, 900, 700};
    return desk::createWindow(spec);
  }
  bool onB(HWND hwnd) { return desk::windowState(hwnd).monitor == monitorB; }
  bool onA(HWND hwnd) { return desk::windowState(hwnd).monitor == monitorA; }

  // Opens windows until one is carried to the cursor's monitor: the hooks are on.
  bool windowsAreMoved() {
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
      HWND probe = openWindow();
      QDeadlineTimer settle(1000);
      while (!settle.hasExpired()) {
        if (onB(probe)) return true;
        QThread::msleep(10);
      }
      desk::destroy(probe);
    }
    return false;
  }

  void shutDownCleanly(Shepherd &shepherd) {
    sendCommands(commandFrame(kShutDown));
    EXPECT_EQ(shepherd.waitExit(), 0);
    const auto texts = logTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "logger end");
  }

  HMONITOR monitorA = nullptr, monitorB = nullptr;
};

} // namespace

TEST_F(ShepherdProgram, WithoutTheOptionWindowsStayUntilStartAndAgainAfterPause) {
  Shepherd shepherd({});
  ASSERT_TRUE(shepherd.waitListening());
  ASSERT_TRUE(drain());
  HWND early = openWindow();

  sendCommands(commandFrame(kStart));
  ASSERT_TRUE(windowsAreMoved());
  EXPECT_TRUE(onA(early)); // opened while the hooks were off

  sendCommands(commandFrame(kPause));
  ASSERT_TRUE(drain());
  HWND paused = openWindow();
  sendCommands(commandFrame(kStart));
  ASSERT_TRUE(windowsAreMoved());
  EXPECT_TRUE(onA(paused));

  const auto texts = logTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front().rfind("Version: 1.0.4.0, Compile time: ", 0), 0u) << texts.front();
  shutDownCleanly(shepherd);
}

TEST_F(ShepherdProgram, OptionValuesThatAreNotANonZeroNumberLeaveTheHooksOff) {
  for (const QStringList &args : {QStringList{"-i", "0"}, QStringList{"-i", "abc"}, QStringList{"-i", "0x1"}}) {
    SCOPED_TRACE(args.join(' ').toStdString());
    Shepherd shepherd(args);
    ASSERT_TRUE(shepherd.waitListening());
    ASSERT_TRUE(drain());
    HWND early = openWindow();
    sendCommands(commandFrame(kStart));
    ASSERT_TRUE(windowsAreMoved());
    EXPECT_TRUE(onA(early));
    shutDownCleanly(shepherd);
  }
}

TEST_F(ShepherdProgram, CommandsInOneWriteAreHandledInTheirOrder) {
  Shepherd shepherd({});
  ASSERT_TRUE(shepherd.waitListening());

  // PAUSE then START: the hooks end up on.
  sendCommands(commandFrame(kPause) + commandFrame(kStart));
  ASSERT_TRUE(drain());
  EXPECT_TRUE(windowsAreMoved());

  // START then PAUSE: the hooks end up off.
  sendCommands(commandFrame(kStart) + commandFrame(kPause));
  ASSERT_TRUE(drain());
  HWND second = openWindow();
  sendCommands(commandFrame(kStart));
  ASSERT_TRUE(windowsAreMoved());
  EXPECT_TRUE(onA(second));

  shutDownCleanly(shepherd);
}

TEST_F(ShepherdProgram, ClientsThatStallLeaveOrOverstateALengthDoNotStopOthers) {
  Shepherd shepherd({});
  ASSERT_TRUE(shepherd.waitListening());
  const QByteArray start = commandFrame(kStart);

  Client leaving; // leaves in the middle of a frame
  ASSERT_TRUE(leaving.connected);
  leaving.send(start.left(9));
  leaving.leave();
  Client stalled; // stays, with half a frame sent
  ASSERT_TRUE(stalled.connected);
  stalled.send(start.left(9));
  Client huge; // announces far more than any command
  ASSERT_TRUE(huge.connected);
  huge.send(QByteArray::fromHex("7fffffff") + QByteArray(1000, 'x'));

  Client second;
  ASSERT_TRUE(second.connected);
  second.send(start);
  EXPECT_TRUE(windowsAreMoved());

  second.send(commandFrame(kShutDown));
  EXPECT_EQ(shepherd.waitExit(), 0);
  EXPECT_EQ(logTexts().back(), "logger end");
}

TEST_F(ShepherdProgram, ALaterStartIsAcknowledgedAndEndsAndAKilledFirstIsReplaced) {
  Shepherd first({"-i", "1"});
  ASSERT_TRUE(first.waitListening());
  ASSERT_TRUE(windowsAreMoved()); // on from the start, no START sent
  const size_t linesBefore = logTexts().size();

  Shepherd second({});
  EXPECT_EQ(second.waitExit(), 1); // the first instance acknowledged RAISE_WINDOW
  EXPECT_EQ(logTexts().size(), linesBefore); // neither of them logged anything for it
  EXPECT_EQ(first.proc.state(), QProcess::Running);

  // Killed with its lock held: the next start becomes the first instance.
  first.killHard();
  Shepherd third({});
  ASSERT_TRUE(third.waitListening());
  EXPECT_EQ(third.proc.state(), QProcess::Running);
  ASSERT_TRUE(drain()); // and answers on the single-instance socket
  shutDownCleanly(third);
}
