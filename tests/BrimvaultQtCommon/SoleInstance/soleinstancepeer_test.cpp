// The single-instance peer: names, the wire between instances, and a first instance that stays reachable whatever
// a client sends.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <atomic>
#include <future>
#include <thread>

#include "SoleInstance/lockedfile.h"
#include "SoleInstance/soleinstancepeer.h"
#include "soletest.h"

using soletest::Helper;
using soletest::MessageCatcher;
using soletest::spinUntil;

namespace {

const QString kProgramId = "{35978AEE-2B2C-BA1C-60CF-247925932DB5}";
// Session 1 is where tests run.
const QString kProgramSocket = "soleinstance-AEEBCB-1a9e-1";

QString temp(const QString &name) { return QString::fromStdString(testenv::tempDir()) + "/" + name; }

// CRC-16/X.25, bit by bit.
quint16 crcX25(const QByteArray &bytes) {
  quint16 crc = 0xFFFF;
  for (char ch : bytes) {
    crc ^= static_cast<uchar>(ch);
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
  }
  return quint16(~crc);
}

QByteArray wire(const QByteArray &payload) {
  const quint32 n = quint32(payload.size());
  QByteArray out;
  out.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
  return out + payload;
}

struct RawResult {
  QByteArray reply;
  bool closedByServer = false;
};

// A client that writes raw bytes on its own thread and collects the reply until the server closes the
// connection or holdMs passes; with closeAfterWrite it leaves at once.
std::future<RawResult> rawClient(const QByteArray &bytes, int holdMs = 10000, bool closeAfterWrite = false) {
  return std::async(std::launch::async, [bytes, holdMs, closeAfterWrite] {
    RawResult result;
    QLocalSocket socket;
    socket.connectToServer(kProgramSocket);
    if (!socket.waitForConnected(5000)) return result;
    socket.write(bytes);
    socket.waitForBytesWritten(5000);
    if (closeAfterWrite) {
      socket.disconnectFromServer();
      return result;
    }
    QDeadlineTimer deadline(holdMs);
    while (!deadline.hasExpired()) {
      if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
        result.closedByServer = socket.state() == QLocalSocket::UnconnectedState;
        if (result.closedByServer || deadline.hasExpired()) break;
      }
      result.reply += socket.readAll();
      // a well-behaved sender leaves once it has the acknowledgement
      if (result.reply.size() >= 3) break;
    }
    result.reply += socket.readAll();
    return result;
  });
}

std::future<bool> laterInstance(const QString &id, const QString &message, int timeout = 5000) {
  return std::async(std::launch::async, [id, message, timeout] {
    SoleInstancePeer peer(nullptr, id);
    return peer.sendMessage(message, timeout);
  });
}

template <class T> T await(std::future<T> &f, int ms = 90000) {
  EXPECT_TRUE(spinUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, ms));
  return f.get();
}

class FirstInstance : public ::testing::Test {
protected:
  void SetUp() override {
    peer = std::make_unique<SoleInstancePeer>(nullptr, kProgramId);
    ASSERT_FALSE(peer->isClient());
    QObject::connect(peer.get(), &SoleInstancePeer::messageReceived, [this](const QString &m) { received << m; });
  }
  std::unique_ptr<SoleInstancePeer> peer;
  QStringList received;
};

} // namespace

TEST(SoleInstancePeerNames, TheProgramIdNamesTheSocketAndTheLockFile) {
  EXPECT_EQ(crcX25(kProgramId.toUtf8()), 0x1a9e); // the reference CRC agrees with the known value

  SoleInstancePeer peer(nullptr, kProgramId);
  EXPECT_EQ(peer.applicationId(), kProgramId);
  EXPECT_TRUE(QFileInfo::exists(temp(kProgramSocket + "-lockfile")));
  EXPECT_FALSE(peer.isClient());
  EXPECT_FALSE(peer.isClient()); // still the first instance
  EXPECT_FALSE(peer.sendMessage("RAISE_WINDOW", 1000)); // never to itself

  QStringList received;
  QObject::connect(&peer, &SoleInstancePeer::messageReceived, [&](const QString &m) { received << m; });
  auto client = rawClient(wire("RAISE_WINDOW"));
  RawResult r = await(client);
  EXPECT_EQ(r.reply, QByteArray("ack"));
  EXPECT_EQ(received, QStringList{"RAISE_WINDOW"});
}

TEST(SoleInstancePeerNames, AnEmptyIdStandsForTheProgramPath) {
  SoleInstancePeer peer(nullptr, QString());
  const QString path = QCoreApplication::applicationFilePath().toLower();
  ASSERT_EQ(QFileInfo(path).fileName(), "bvsole_tests");
  EXPECT_EQ(peer.applicationId(), path);
  const QString name = "soleinstance-bvsole-" + QString::number(crcX25(path.toUtf8()), 16) + "-1";
  EXPECT_TRUE(QFileInfo::exists(temp(name + "-lockfile"))) << name.toStdString();
}

TEST_F(FirstInstance, ALaterInstanceDeliversItsTextAndIsAcknowledged) {
  for (const QString &text : {QString("RAISE_WINDOW"), QString(), QString::fromUtf8("Fenster \xc3\xbc \xe2\x86\x92 1")}) {
    auto sender = laterInstance(kProgramId, text);
    EXPECT_TRUE(await(sender)) << text.toStdString();
  }
  EXPECT_EQ(received, (QStringList{"RAISE_WINDOW", "", QString::fromUtf8("Fenster \xc3\xbc \xe2\x86\x92 1")}));

  // The largest message allowed still goes through.
  const QByteArray big(int(SoleInstancePeer::kMaxMessageBytes), 'x');
  auto client = rawClient(wire(big));
  EXPECT_EQ(await(client).reply, QByteArray("ack"));
  ASSERT_EQ(received.size(), 4);
  EXPECT_EQ(received.last().size(), big.size());
}

TEST_F(FirstInstance, BadReceptionsGetNoAcknowledgementAndDeliverNothing) {
  MessageCatcher catcher;

  auto huge = rawClient(QByteArray::fromHex("ffffffff") + "abc");
  RawResult r = await(huge);
  EXPECT_TRUE(r.closedByServer);
  EXPECT_TRUE(r.reply.isEmpty());
  EXPECT_EQ(catcher.count("SoleInstancePeer: Message reception failed byte count 4294967295 above the limit"), 1);

  auto tooBig = rawClient(QByteArray::fromHex("00010001"));
  r = await(tooBig);
  EXPECT_TRUE(r.closedByServer);
  EXPECT_TRUE(r.reply.isEmpty());

  // Three bytes of ten, then nothing: the rest never comes.
  auto stalled = rawClient(QByteArray::fromHex("0000000a") + "abc", 20000);
  r = await(stalled);
  EXPECT_TRUE(r.closedByServer);
  EXPECT_TRUE(r.reply.isEmpty());
  EXPECT_EQ(catcher.count("SoleInstancePeer: Message reception failed only 3 of 10 bytes arrived"), 1);

  // The sender leaves in the middle of its message.
  auto leaving = rawClient(QByteArray::fromHex("0000000a") + "abc", 0, true);
  await(leaving);
  EXPECT_TRUE(spinUntil([&] { return catcher.count("only 3 of 10 bytes arrived") == 2; }));

  auto gone = rawClient(QByteArray(), 0, true);
  await(gone);
  EXPECT_TRUE(spinUntil([&] { return catcher.count("SoleInstancePeer: Peer disconnected") == 1; }));

  EXPECT_TRUE(received.isEmpty());
  auto good = laterInstance(kProgramId, "RAISE_WINDOW");
  EXPECT_TRUE(await(good));
  EXPECT_EQ(received, QStringList{"RAISE_WINDOW"});
}

TEST_F(FirstInstance, ASilentClientDelaysALaterInstanceButDoesNotLockItOut) {
  MessageCatcher catcher;
  std::promise<void> leave;
  std::promise<void> connected;
  auto connectedF = connected.get_future();
  std::thread silent([&, leaveF = leave.get_future()] {
    QLocalSocket socket;
    socket.connectToServer(kProgramSocket);
    socket.waitForConnected(5000);
    connected.set_value();
    leaveF.wait();
  });
  connectedF.wait();
  auto sender = laterInstance(kProgramId, "RAISE_WINDOW", 90000);
  EXPECT_TRUE(await(sender, 120000));
  EXPECT_EQ(received, QStringList{"RAISE_WINDOW"});
  EXPECT_EQ(catcher.count("SoleInstancePeer: Message reception failed no byte count within 30000 ms"), 1);
  leave.set_value();
  silent.join();
}

TEST(SoleInstancePeerSend, OnlyTheExactAckCountsAsAcknowledgement) {
  // A stand-in first instance: holds the lock, answers what the test chooses.
  SoleInstancePrivate::LockedFile lock(temp(kProgramSocket + "-lockfile"));
  ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
  ASSERT_TRUE(lock.lock(SoleInstancePrivate::LockedFile::WriteLock, false));
  QLocalServer server;
  ASSERT_TRUE(server.listen(kProgramSocket));

  const QString text = QString::fromUtf8("RAISE_WINDOW \xc3\xa9");
  for (const QByteArray &reply : {QByteArray("ack"), QByteArray("ACK"), QByteArray("ac")}) {
    auto sender = laterInstance(kProgramId, text);
    ASSERT_TRUE(spinUntil([&] { return server.hasPendingConnections(); }));
    QLocalSocket *socket = server.nextPendingConnection();
    const QByteArray expected = wire(text.toUtf8());
    ASSERT_TRUE(spinUntil([&] { return socket->bytesAvailable() >= expected.size(); }));
    EXPECT_EQ(socket->readAll(), expected);
    socket->write(reply);
    socket->flush();
    if (reply.size() < 3) socket->disconnectFromServer();
    EXPECT_EQ(await(sender), reply == "ack") << reply.toStdString();
    delete socket;
  }
}

TEST(SoleInstancePeerSend, NoFirstInstanceListeningMeansNoAcknowledgement) {
  // The lock is held but nobody listens: both connection attempts fail.
  SoleInstancePrivate::LockedFile lock(temp(kProgramSocket + "-lockfile"));
  ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
  ASSERT_TRUE(lock.lock(SoleInstancePrivate::LockedFile::WriteLock, false));
  auto sender = laterInstance(kProgramId, "RAISE_WINDOW", 1000);
  EXPECT_FALSE(await(sender));
}

TEST(SoleInstancePeerFaults, AFailedListenIsReportedAndTheLockStillMakesTheFirstInstance) {
  // Something that is not a socket sits on the name.
  ASSERT_TRUE(QDir().mkpath(temp(kProgramSocket + "/occupied")));
  MessageCatcher catcher;
  SoleInstancePeer peer(nullptr, kProgramId);
  EXPECT_FALSE(peer.isClient());
  EXPECT_EQ(catcher.count("SoleInstanceCoreApplication: listen on local socket failed, "), 1);

  Helper later({"send", kProgramId, "RAISE_WINDOW", "1000"});
  EXPECT_EQ(later.finish(), 0);
}
