#include "soleinstancepeer.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QLibrary>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

#include <windows.h>

#include <atomic>

namespace {

typedef BOOL(WINAPI *PProcessIdToSessionId)(DWORD, DWORD *);
// Looked up at run time: older systems lack it, and then the socket name has no session part.
std::atomic<PProcessIdToSessionId> pProcessIdToSessionId{nullptr};

const QRegularExpression &nonLetters() {
  static const QRegularExpression re(QStringLiteral("[^a-zA-Z]"));
  return re;
}

const char ack[] = "ack";
constexpr qint64 kAckSize = sizeof(ack) - 1;
constexpr int kMoreDataWaitMs = 2000;
constexpr int kAckWaitMs = 1000;

} // namespace

SoleInstancePeer::SoleInstancePeer(QObject *parent, const QString &appId) : QObject(parent), id(appId) {
  QString prefix = id;
  if (id.isEmpty()) {
    id = QCoreApplication::applicationFilePath().toLower();
    prefix = id.section(QLatin1Char('/'), -1, -1);
  }
  prefix.remove(nonLetters());
  prefix.truncate(6);

  const QByteArray idc = id.toUtf8();
  const quint16 checksum = qChecksum(QByteArrayView(idc.constData()), Qt::ChecksumIso3309);
  socketName = QLatin1String("soleinstance-") + prefix + QLatin1Char('-') + QString::number(checksum, 16);

  if (!pProcessIdToSessionId.load()) {
    pProcessIdToSessionId.store(reinterpret_cast<PProcessIdToSessionId>(
        QLibrary::resolve(QStringLiteral("kernel32"), "ProcessIdToSessionId")));
  }
  if (PProcessIdToSessionId processIdToSessionId = pProcessIdToSessionId.load()) {
    // Instances of other sessions must not find each other; a failed look-up leaves session 0.
    DWORD sessionId = 0;
    processIdToSessionId(GetCurrentProcessId(), &sessionId);
    socketName += QLatin1Char('-') + QString::number(sessionId, 16);
  }

  server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::WorldAccessOption);

  const QString lockName =
      QDir(QDir::tempPath()).absolutePath() + QLatin1Char('/') + socketName + QLatin1String("-lockfile");
  lockFile.setFileName(lockName);
  lockFile.open(QIODevice::ReadWrite);
}

bool SoleInstancePeer::isClient() {
  if (lockFile.isLocked()) return false;
  if (!lockFile.lock(SoleInstancePrivate::LockedFile::WriteLock, false)) return true;

  if (!server->listen(socketName))
    qWarning("SoleInstanceCoreApplication: listen on local socket failed, %s", qPrintable(server->errorString()));
  QObject::connect(server, &QLocalServer::newConnection, this, &SoleInstancePeer::receiveConnection);
  return false;
}

bool SoleInstancePeer::sendMessage(const QString &message, int timeout) {
  if (!isClient()) return false;

  QLocalSocket socket;
  bool connOk = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    socket.connectToServer(socketName);
    connOk = socket.waitForConnected(timeout / 2);
    if (connOk || attempt == 1) break;
    // The first instance may be between taking the lock and listening.
    socket.abort();
    Sleep(250);
  }
  if (!connOk) return false;

  const QByteArray uMsg = message.toUtf8();
  QDataStream ds(&socket);
  ds.writeBytes(uMsg.constData(), static_cast<uint>(uMsg.size()));
  if (!socket.waitForBytesWritten(timeout)) return false;
  if (!socket.waitForReadyRead(timeout)) return false;
  return socket.read(kAckSize) == QByteArray(ack);
}

void SoleInstancePeer::receiveConnection() {
  QLocalSocket *socket = server->nextPendingConnection();
  if (!socket) return;

  // Everything below blocks this thread, so a sender that stalls may hold it only this long.
  QDeadlineTimer deadline(kReceiveTimeoutMs);
  auto fail = [socket](const char *reason) {
    qWarning("SoleInstancePeer: Message reception failed %s", reason);
    delete socket;
  };

  for (;;) {
    if (socket->state() == QLocalSocket::UnconnectedState) {
      qWarning("SoleInstancePeer: Peer disconnected");
      delete socket;
      return;
    }
    if (socket->bytesAvailable() >= qint64(sizeof(quint32))) break;
    if (deadline.hasExpired()) {
      fail(qPrintable(QStringLiteral("no byte count within %1 ms").arg(kReceiveTimeoutMs)));
      return;
    }
    socket->waitForReadyRead(int(deadline.remainingTime()));
  }

  QDataStream ds(socket);
  quint32 count = 0;
  ds >> count;
  if (count > kMaxMessageBytes) {
    fail(qPrintable(QStringLiteral("byte count %1 above the limit of %2").arg(count).arg(kMaxMessageBytes)));
    return;
  }

  QByteArray uMsg(qsizetype(count), '\0');
  qsizetype got = 0;
  while (got < uMsg.size()) {
    const qint64 n = socket->read(uMsg.data() + got, uMsg.size() - got);
    if (n < 0) {
      fail(socket->errorString().toLatin1().constData());
      return;
    }
    got += n;
    if (got == uMsg.size()) break;
    const int wait = int(qMin<qint64>(kMoreDataWaitMs, deadline.remainingTime()));
    if (wait <= 0 || !socket->waitForReadyRead(wait)) break;
  }
  // Bytes that never arrived are not part of any message: no acknowledgement, nothing handed on.
  if (got < uMsg.size()) {
    fail(qPrintable(QStringLiteral("only %1 of %2 bytes arrived").arg(got).arg(uMsg.size())));
    return;
  }

  const QString message = QString::fromUtf8(uMsg);
  socket->write(ack, kAckSize);
  socket->waitForBytesWritten(kAckWaitMs);
  if (socket->state() != QLocalSocket::UnconnectedState) socket->waitForDisconnected(kAckWaitMs);
  delete socket;
  emit messageReceived(message);
}
