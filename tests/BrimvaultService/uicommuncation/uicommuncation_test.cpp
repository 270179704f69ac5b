// The service's UI channel over real local sockets: actions, notifications and their queue, the reader's log lines,
// socket clean-up and listening.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logcapture.h"
#include "signalcenter.h"
#include "sockettest.h"
#include "testenv.h"
#include "uicommuncation.h"

using namespace sockettest;

namespace {

const QString kName = QStringLiteral("Brimvault-Service-Socket");

using LogLine = logcapture::Line;

class UiCommuncationTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SignalCenter::createInstance(app());
    logcapture::open();
  }

  void SetUp() override {
    hub = SignalCenter::instance();
    logcapture::mark();
  }
  void TearDown() override {
    clients.clear();
    ui.reset();
  }

  void startUi() {
    ui = std::make_unique<UiCommuncation>(nullptr);
    ui->initConnections();
    ui->startListen();
  }

  QLocalSocket *client() {
    auto c = connectClient(kName);
    EXPECT_TRUE(c);
    clients.push_back(std::move(c));
    return clients.back().get();
  }
  int serverSockets() const { return int(ui->findChildren<QLocalSocket *>().size()); }

  // Log lines written since the test began.
  static std::vector<LogLine> logLines() { return logcapture::sinceMark(); }
  static std::vector<std::string> logMessages() { return logcapture::messagesSinceMark(); }
  bool waitLog(const std::string &message, int times = 1) {
    return waitFor([&] {
      int n = 0;
      for (const auto &m : logMessages()) n += m == message;
      return n >= times;
    });
  }

  // Frames the client has received so far, decoded as the message their header names.
  std::vector<std::string> received(QLocalSocket *c, FrameCollector &collector) {
    collector.take(c);
    std::vector<std::string> out;
    for (const QByteArray &body : collector.bodies) {
      BaseMessage envelope;
      EXPECT_TRUE(QProtobufSerializer().deserialize(&envelope, body));
      const std::string &type = envelope.header().type();
      EXPECT_EQ(envelope.header().version(), 1);
      std::string text = type;
      if (type == "ServerExitCodeRequest") {
        ServerExitCodeRequest m;
        EXPECT_TRUE(QProtobufSerializer().deserialize(&m, body));
        text += " " + std::to_string(m.exitcode());
      } else if (type == "ErrMsgOccurRequest") {
        ErrMsgOccurRequest m;
        EXPECT_TRUE(QProtobufSerializer().deserialize(&m, body));
        text += " " + std::to_string(m.code()) + " " + m.errmsg() + " '" + m.what() + "' " + std::to_string(m.index());
      } else if (type == "ErrMsgDisappearRequest") {
        ErrMsgDisappearRequest m;
        EXPECT_TRUE(QProtobufSerializer().deserialize(&m, body));
        text += " " + std::to_string(m.code()) + " '" + m.what() + "' " + std::to_string(m.index());
      }
      out.push_back(text);
    }
    return out;
  }

  SignalCenter *hub = nullptr;
  std::unique_ptr<UiCommuncation> ui;
  std::vector<std::unique_ptr<QLocalSocket>> clients;
};

TEST_F(UiCommuncationTest, ListensForEveryoneAndLogsWhatItReads) {
  startUi();
  const QFileInfo socketFile(QDir::tempPath() + "/" + kName);
  ASSERT_TRUE(socketFile.exists());
  EXPECT_TRUE(socketFile.permissions() & QFile::WriteOther);

  QLocalSocket *c = client();
  ASSERT_TRUE(waitLog("onNewConnected"));
  Resolution resolution;
  resolution.set_width(5);
  const QByteArray gpu = bodyOf(GpuInfoRequest(), "GpuInfoRequest");
  const QByteArray start = commandFrame(START);
  send(c, framed(QByteArray::fromHex("FFFFFF")) + framed(QByteArray::fromStdString(resolution.SerializeAsString())) +
              framed(gpu) + commandFrame(SHUT_DOWN, "commandrequest") + start);
  ASSERT_TRUE(waitLog("type: CommandRequest"));
  // A zero length ends its round; the length above the limit waits for a fifth byte.
  send(c, be32(0) + be32(UiCommuncation::kMaxBodyLength + 1));
  ASSERT_TRUE(waitLog("data len not correct"));
  send(c, "x");
  ASSERT_TRUE(waitLog("data len not correct", 2));
  settle();

  const std::vector<std::string> expected = {"onNewConnected",
                                             "onSocketReadyRead",
                                             "data length: 3",
                                             "deserialize: 0, bm has header: 0",
                                             "data length: 2",
                                             "deserialize: 1, bm has header: 0",
                                             "data length: " + std::to_string(gpu.size()),
                                             "type: GpuInfoRequest",
                                             "unknown message type: GpuInfoRequest",
                                             "data length: 22",
                                             "type: commandrequest",
                                             "unknown message type: commandrequest",
                                             "data length: " + std::to_string(start.size() - 4),
                                             "type: CommandRequest",
                                             "onSocketReadyRead",
                                             "data len not correct",
                                             "onSocketReadyRead",
                                             "data len not correct"};
  const auto lines = logLines();
  ASSERT_EQ(logMessages(), expected);
  EXPECT_EQ(lines[0].function, "onNewConnected");
  for (size_t i = 1; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i].message);
    EXPECT_EQ(lines[i].function, "onSocketReadyRead");
    const bool error = lines[i].message.find("deserialize") == 0 || lines[i].message.find("unknown") == 0;
    EXPECT_EQ(lines[i].level, error ? "E" : "I");
  }
  EXPECT_EQ(serverSockets(), 1); // bad frames never cost the client its connection
}

TEST_F(UiCommuncationTest, ShutDownFromAnyClientEmitsQuitSigAndNothingElseActs) {
  startUi();
  int quits = 0;
  QObject::connect(hub, &SignalCenter::quitSig, ui.get(), [&] { ++quits; });
  QLocalSocket *stranger = client();
  send(stranger, commandFrame(START) + commandFrame(PAUSE) + commandFrame(RESTART) + commandFrame(UNKNOWN_COMMAND) +
                     componentFrame(COMPONENT_TYPE_USB) + commandFrame(SHUT_DOWN));
  ASSERT_TRUE(waitFor([&] { return quits == 1; }));
  for (const std::string &m : logMessages())
    EXPECT_TRUE(m == "onNewConnected" || m == "onSocketReadyRead" || m.rfind("data length: ", 0) == 0 ||
                m == "type: CommandRequest" || m == "type: ComponentTypeRequest")
        << m;

  // The USB declaration took no role: a notification still waits in the queue.
  emit hub->serverExitCode(191);
  QLocalSocket *declared = client();
  send(declared, componentFrame(COMPONENT_TYPE_UI) + commandFrame(SHUT_DOWN));
  ASSERT_TRUE(waitFor([&] { return quits == 2; }));
  FrameCollector toDeclared, toStranger;
  ASSERT_TRUE(waitFor([&] { return received(declared, toDeclared).size() == 1; }));
  EXPECT_EQ(received(declared, toDeclared)[0], "ServerExitCodeRequest 191");
  EXPECT_TRUE(received(stranger, toStranger).empty());
}

TEST_F(UiCommuncationTest, NotificationsQueueUntilAUserInterfaceDeclaresItself) {
  startUi();
  emit hub->serverExitCode(1115);
  emit hub->errOccurSignal(3, QStringLiteral("boom"));
  emit hub->errDisappearSignal(3, QStringLiteral("disk"), 2);

  QLocalSocket *listener = client();
  QLocalSocket *first = client();
  send(first, componentFrame(COMPONENT_TYPE_UI));
  FrameCollector toFirst, toSecond, toThird, toListener;
  ASSERT_TRUE(waitFor([&] { return received(first, toFirst).size() == 3; }));
  emit hub->serverExitCode(191);
  ASSERT_TRUE(waitFor([&] { return received(first, toFirst).size() == 4; }));
  const std::vector<std::string> inOrder = {"ServerExitCodeRequest 1115", "ErrMsgOccurRequest 3 boom '' -1",
                                            "ErrMsgDisappearRequest 3 'disk' 2", "ServerExitCodeRequest 191"};
  EXPECT_EQ(received(first, toFirst), inOrder);

  // A later declaration takes the role over.
  QLocalSocket *second = client();
  send(second, componentFrame(COMPONENT_TYPE_UI));
  ASSERT_TRUE(waitLog("type: ComponentTypeRequest", 2));
  emit hub->serverExitCode(1);
  ASSERT_TRUE(waitFor([&] { return received(second, toSecond).size() == 1; }));

  // When the user interface goes, notifications queue again for the next one.
  clients[2]->abort();
  ASSERT_TRUE(waitFor([&] { return serverSockets() == 2; }));
  emit hub->serverExitCode(2);
  QLocalSocket *third = client();
  send(third, componentFrame(COMPONENT_TYPE_UI));
  ASSERT_TRUE(waitFor([&] { return received(third, toThird).size() == 1; }));
  EXPECT_EQ(received(third, toThird)[0], "ServerExitCodeRequest 2");
  settle();
  EXPECT_EQ(received(first, toFirst).size(), 4u);
  EXPECT_TRUE(received(listener, toListener).empty());
}

TEST_F(UiCommuncationTest, ExitCodeFromAnotherThreadIsDeliveredBeforeTheServerGoes) {
  startUi();
  QLocalSocket *c = client();
  send(c, componentFrame(COMPONENT_TYPE_UI));
  ASSERT_TRUE(waitLog("type: ComponentTypeRequest"));

  // Emitted on the watch thread right before the service stops: the event loop never runs again.
  std::thread([this] { emit hub->serverExitCode(1115); }).join();
  EXPECT_TRUE(ui->flushBeforeExit(3000));
  ui.reset();
  FrameCollector collector;
  ASSERT_TRUE(waitFor([&] { return received(c, collector).size() == 1; }));
  EXPECT_EQ(received(c, collector)[0], "ServerExitCodeRequest 1115");

  // With nobody to take it, the notification is reported as undelivered.
  startUi();
  emit hub->serverExitCode(191);
  EXPECT_FALSE(ui->flushBeforeExit(100));
}

TEST_F(UiCommuncationTest, ConnectionsLeaveNoSocketsBehind) {
  startUi();
  QLocalServer *server = ui->findChild<QLocalServer *>();
  ASSERT_NE(server, nullptr);
  emit server->newConnection(); // nothing pending: nothing taken
  EXPECT_EQ(serverSockets(), 0);

  const int kBatch = 20;
  for (int round = 0; round < 10000 / kBatch; ++round) {
    std::vector<std::unique_ptr<QLocalSocket>> batch;
    for (int i = 0; i < kBatch; ++i) {
      batch.push_back(std::make_unique<QLocalSocket>());
      batch.back()->connectToServer(kName);
    }
    ASSERT_TRUE(waitFor([&] { return serverSockets() == kBatch; })) << "round " << round;
    for (auto &c : batch) c->abort();
    ASSERT_TRUE(waitFor([&] { return serverSockets() == 0; })) << "round " << round;
  }
  // The role cannot stick to a socket that is gone.
  emit hub->serverExitCode(5);
  QLocalSocket *c = client();
  send(c, componentFrame(COMPONENT_TYPE_UI));
  FrameCollector collector;
  ASSERT_TRUE(waitFor([&] { return received(c, collector).size() == 1; }));
}

TEST_F(UiCommuncationTest, StaleSocketFileIsReplacedButALiveServerIsNot) {
  const QByteArray path = QFile::encodeName(QDir::tempPath() + "/" + kName);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.constData(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
  ::close(fd); // as if the service had crashed: the file stays, nobody answers

  startUi();
  QLocalSocket *c = client();
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(waitLog("onNewConnected"));
  for (const LogLine &l : logLines()) EXPECT_EQ(l.message.find("listen"), std::string::npos) << l.message;
  clients.clear();
  ui.reset();

  QLocalServer live;
  ASSERT_TRUE(live.listen(kName));
  startUi();
  const auto lines = logLines();
  bool logged = false;
  for (const LogLine &l : lines) {
    if (l.message.rfind("listen on Brimvault-Service-Socket failed: ", 0) != 0) continue;
    logged = true;
    EXPECT_EQ(l.level, "E");
    EXPECT_GT(l.message.size(), std::strlen("listen on Brimvault-Service-Socket failed: "));
  }
  EXPECT_TRUE(logged);
  client();
  EXPECT_TRUE(waitFor([&] { return live.hasPendingConnections() || live.findChildren<QLocalSocket *>().size() > 0; }));
}

} // namespace
