// The command socket in-process: commands become hub signals in their order, nothing goes back, other messages do
// nothing, finished connections are freed, and a listen that fails is logged.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QThread>

#include <memory>
#include <string>
#include <vector>

#include "Log/logconfig.h"
#include "signalcenter.h"
#include "testenv.h"
#include "uicommuncation.h"

namespace {

const char kCommandSocket[] = "Brimvault-WindowShepherd-Socket";

QByteArray frame(const QByteArray &type, const QByteArray &rest) {
  // header {type, version 1} then the message's own fields
  QByteArray header = QByteArray(1, 0x0a) + char(type.size()) + type + QByteArray::fromHex("1001");
  QByteArray body = QByteArray(1, 0x0a) + char(header.size()) + header + rest;
  const int n = body.size();
  return QByteArray(2, '\0') + char(n >> 8) + char(n) + body;
}
QByteArray command(int value) { return frame("CommandRequest", QByteArray(1, 0x10) + char(value)); }

class CommandSocket : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "wshp_uicommuncation_tests";
    static char *argv[] = {name, nullptr};
    app = new QCoreApplication(argc, argv);
    SignalCenter::createInstance(app);
  }
  static void TearDownTestSuite() {
    delete app;
    app = nullptr;
  }

  // Handles what has arrived on the sockets.
  void pump(int rounds = 20) {
    for (int i = 0; i < rounds; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(2);
    }
  }

  static QCoreApplication *app;
};
QCoreApplication *CommandSocket::app = nullptr;

std::unique_ptr<QLocalSocket> connectClient() {
  auto socket = std::make_unique<QLocalSocket>();
  socket->connectToServer(kCommandSocket);
  EXPECT_TRUE(socket->waitForConnected(5000));
  return socket;
}

} // namespace

TEST_F(CommandSocket, CommandsBecomeHubSignalsInOrderAndNothingIsAnswered) {
  UiCommuncation ui(app);
  ui.initConnections();
  ui.startListen();

  SignalCenter *hub = SignalCenter::instance();
  QStringList order;
  auto c1 = QObject::connect(hub, &SignalCenter::startSig, [&] { order << "start"; });
  auto c2 = QObject::connect(hub, &SignalCenter::pauseSig, [&] { order << "pause"; });
  auto c3 = QObject::connect(hub, &SignalCenter::quitSig, [&] { order << "quit"; });

  auto client = connectClient();
  QByteArray burst = command(5) + command(7) + command(1);
  burst += command(3) + command(0) + command(6);                                  // RESTART, UNKNOWN, START_RESPONSE
  burst += frame("commandrequest", QByteArray::fromHex("1005"));                  // not our type in that case
  burst += frame("ComponentTypeRequest", QByteArray::fromHex("1001"));            // a message this socket ignores
  burst += QByteArray::fromHex("00000003") + QByteArray::fromHex("ffffff");       // no protobuf at all
  burst += command(5);
  client->write(burst);
  client->waitForBytesWritten(5000);
  pump();
  EXPECT_EQ(order, (QStringList{"start", "pause", "quit", "start"}));

  // A frame that arrives in pieces is handled once it is whole.
  const QByteArray pause = command(7);
  client->write(pause.left(3));
  client->waitForBytesWritten(5000);
  pump();
  client->write(pause.mid(3, 6));
  client->waitForBytesWritten(5000);
  pump();
  EXPECT_EQ(order.size(), 4);
  client->write(pause.mid(9));
  client->waitForBytesWritten(5000);
  pump();
  EXPECT_EQ(order.last(), "pause");

  client->waitForReadyRead(200);
  EXPECT_EQ(client->bytesAvailable(), 0);
  QObject::disconnect(c1);
  QObject::disconnect(c2);
  QObject::disconnect(c3);
}

TEST_F(CommandSocket, FinishedConnectionsAreFreed) {
  UiCommuncation ui(app);
  ui.startListen();
  for (int i = 0; i < 20; ++i) {
    auto client = connectClient();
    client->write(command(0));
    client->waitForBytesWritten(5000);
    pump(2);
    client->disconnectFromServer();
  }
  auto kept = connectClient();
  for (int i = 0; i < 200 && ui.findChildren<QLocalSocket *>().size() != 1; ++i) pump(1);
  EXPECT_EQ(ui.findChildren<QLocalSocket *>().size(), 1); // only the connection still open
}

TEST_F(CommandSocket, AFailedListenIsLoggedAsAnError) {
  const std::string folder = testenv::tempDir() + "/log";
  xlogger_SetLevel(kLevelInfo);
  appender_set_console_log_export(0);
  openLogAppender(folder.c_str(), "wshp");
  // Something that is not a socket sits on the name.
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(testenv::tempDir()) + "/" + kCommandSocket + "/occupied"));
  {
    UiCommuncation ui(app);
    ui.startListen();
  }
  QDir(QString::fromStdString(testenv::tempDir()) + "/" + kCommandSocket).removeRecursively();
  {
    // Another instance answers on the name: the reason says so instead of being empty.
    QLocalServer other;
    ASSERT_TRUE(other.listen(kCommandSocket));
    UiCommuncation ui(app);
    ui.startListen();
  }
  appender_close_export();

  std::vector<std::string> reasons;
  const std::string prefix = "listen on Brimvault-WindowShepherd-Socket failed: ";
  for (const std::string &line : testenv::readLogLines(folder)) {
    const size_t at = line.find(prefix);
    if (at == std::string::npos) continue;
    EXPECT_EQ(line[0], 'E') << line;
    reasons.push_back(line.substr(at + prefix.size()));
  }
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_FALSE(reasons[0].empty());
  EXPECT_EQ(reasons[1], "another instance serves Brimvault-WindowShepherd-Socket");
}

// A START command whose body is padded with an unknown field to exactly `size` bytes.
QByteArray paddedStart(int size) {
  const QByteArray plain = command(5).mid(4);
  for (int data = size - plain.size() - 2; data > 0; --data) {
    QByteArray pad(1, char(0x7a)); // field 15, length-delimited: skipped by the decoder
    for (quint32 v = quint32(data); v >= 0x80; v >>= 7) pad += char(0x80 | (v & 0x7f));
    pad += char(data >> (7 * (pad.size() - 1)));
    pad += QByteArray(data, 'p');
    if (plain.size() + pad.size() != size) continue;
    const QByteArray body = plain + pad;
    return QByteArray(1, char(size >> 24)) + char(size >> 16) + char(size >> 8) + char(size) + body;
  }
  return {};
}

TEST_F(CommandSocket, AFrameAtTheLimitIsTakenOneByteOverIsRefused) {
  UiCommuncation ui(app);
  ui.startListen();
  int starts = 0;
  auto counted = QObject::connect(SignalCenter::instance(), &SignalCenter::startSig, [&] { ++starts; });

  const QByteArray over = paddedStart(65536 + 1);
  ASSERT_EQ(over.size(), 4 + 65536 + 1);
  auto refused = connectClient();
  refused->write(over);
  refused->waitForBytesWritten(5000);
  pump(50);
  EXPECT_EQ(starts, 0);

  const QByteArray at = paddedStart(65536);
  ASSERT_EQ(at.size(), 4 + 65536);
  auto taken = connectClient();
  taken->write(at);
  taken->waitForBytesWritten(5000);
  QDeadlineTimer guard(30000); // only a failure reaches it
  while (starts == 0 && !guard.hasExpired()) pump(1);
  pump();
  EXPECT_EQ(starts, 1);
  QObject::disconnect(counted);
}
