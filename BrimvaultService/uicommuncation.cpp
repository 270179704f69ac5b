#include "uicommuncation.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include "Log/log.h"
#include "Protocol/frame.h"
#include "Protocol/localserver.h"
#include "signalcenter.h"

namespace {

const char kServerName[] = "Brimvault-Service-Socket";

// The reader's lines carry the name of the slot that runs it.
#define READER_LOG(level, ...)                                                                                  \
  do {                                                                                                          \
    if (xlogger_IsEnabledFor(level))                                                                            \
      log_print((level), "UI", __FILE__, "onSocketReadyRead", __LINE__, __VA_ARGS__);                           \
  } while (0)

class ReaderLog : public FrameReader::Observer {
public:
  void noMoreData() override { READER_LOG(kLevelInfo, "no more data to read"); }
  void badLength(int) override { READER_LOG(kLevelInfo, "data len not correct"); }
  void frameLength(int length) override { READER_LOG(kLevelInfo, "data length: %ld", static_cast<long>(length)); }
  void badEnvelope(bool decoded, bool hasHeader) override {
    READER_LOG(kLevelError, "deserialize: %d, bm has header: %d", decoded ? 1 : 0, hasHeader ? 1 : 0);
  }
  void messageType(const std::string &type) override { READER_LOG(kLevelInfo, "type: %s", type.c_str()); }
  void badMessage(const std::string &type) override {
    READER_LOG(kLevelError, "message type: %s, deserialize failed", type.c_str());
  }
  void unknownType(const std::string &type) override {
    READER_LOG(kLevelError, "unknown message type: %s", type.c_str());
  }
};

ReaderLog g_readerLog;

} // namespace

UiCommuncation::UiCommuncation(QObject *parent)
    : QObject(parent), server(new QLocalServer(this)), reader(kMaxBodyLength, &g_readerLog) {
  server->setSocketOptions(QLocalServer::WorldAccessOption);
  connect(server, &QLocalServer::newConnection, this, &UiCommuncation::onNewConnected);
  reader.addHandler<CommandRequest>(
      [this](QIODevice *from, const CommandRequest &request) { onCommandRequest(from, request); });
  reader.addHandler<ComponentTypeRequest>(
      [this](QIODevice *from, const ComponentTypeRequest &request) { onComponentTypeRequest(from, request); });
}

UiCommuncation::~UiCommuncation() {
  // The sockets go with the server after this object's members: nothing of theirs may call back into it.
  stopReading();
  pendingFrames.clear();
  clients.clear();
  uiSocket = nullptr;
}

void UiCommuncation::stopReading() {
  disconnect(server, nullptr, this, nullptr);
  for (QLocalSocket *socket : server->findChildren<QLocalSocket *>()) disconnect(socket, nullptr, this, nullptr);
}

void UiCommuncation::initConnections() {
  SignalCenter *hub = SignalCenter::instance();
  if (!hub) return;
  connect(hub, &SignalCenter::errOccurSignal, this,
          [this](int which, QString errMsg, QString what, int index) { sendErrMsgOccur(which, errMsg, what, index); });
  connect(hub, &SignalCenter::errDisappearSignal, this,
          [this](int which, QString what, int index) { sendErrMsgDisappear(which, what, index); });
  connect(hub, &SignalCenter::serverExitCode, this, [this](int exitCode) { sendServerExitCode(exitCode); });
}

void UiCommuncation::startListen() {
  QString error;
  if (!listenOnName(server, QString::fromLatin1(kServerName), &error))
    LOGE("listen on %s failed: %s", kServerName, error.toUtf8().constData());
}

void UiCommuncation::onNewConnected() {
  LOGI("onNewConnected");
  // Take every waiting connection: a signal may find none left, and none may be left behind.
  while (QLocalSocket *socket = server->nextPendingConnection()) {
    reader.limitReadBuffer(socket);
    clients.append(socket);
    connect(socket, &QLocalSocket::readyRead, this, &UiCommuncation::onSocketReadyRead);
    connect(socket, &QLocalSocket::disconnected, this, [this, socket]() { onSocketDisconnectedSlot(socket); });
  }
}

void UiCommuncation::onSocketDisconnectedSlot(QLocalSocket *socket) {
  clients.removeAll(socket);
  if (uiSocket == socket) uiSocket = nullptr;
  socket->deleteLater();
}

void UiCommuncation::onSocketReadyRead() {
  LOGI("onSocketReadyRead");
  auto *clientSocket = qobject_cast<QLocalSocket *>(sender());
  if (!clientSocket) {
    LOGI("clientSocket is null");
    return;
  }
  reader.readFrames(clientSocket);
}

void UiCommuncation::onCommandRequest(QIODevice *, const CommandRequest &request) {
  if (request.command() != CommandTypeGadget::CommandType::SHUT_DOWN) return;
  if (SignalCenter *hub = SignalCenter::instance()) emit hub->quitSig();
}

void UiCommuncation::onComponentTypeRequest(QIODevice *from, const ComponentTypeRequest &request) {
  if (request.type() != ComponentTypeGadget::ComponentType::COMPONENT_TYPE_UI) return;
  auto *socket = qobject_cast<QLocalSocket *>(from);
  if (!socket || !clients.contains(socket)) return; // already gone: it cannot take the role
  uiSocket = socket;
  writePendingFrames();
}

void UiCommuncation::writePendingFrames() {
  // A failing write may report the disconnection at once, which clears uiSocket: the rest then stays queued.
  while (uiSocket && !pendingFrames.isEmpty()) {
    const QByteArray frame = pendingFrames.takeFirst();
    uiSocket->write(frame);
    if (uiSocket) uiSocket->flush();
  }
}

void UiCommuncation::sendErrMsgOccur(int which, const QString &errMsg, const QString &what, int index) {
  ErrMsgOccurRequest request;
  request.set_code(which);
  request.set_errmsg(errMsg.toStdString());
  request.set_what(what.toStdString());
  request.set_index(index);
  sendOrQueue(writeFrame(request));
}

void UiCommuncation::sendErrMsgDisappear(int which, const QString &what, int index) {
  ErrMsgDisappearRequest request;
  request.set_code(which);
  request.set_what(what.toStdString());
  request.set_index(index);
  sendOrQueue(writeFrame(request));
}

void UiCommuncation::sendServerExitCode(int exitCode) {
  ServerExitCodeRequest request;
  request.set_exitcode(exitCode);
  sendOrQueue(writeFrame(request));
}

void UiCommuncation::sendOrQueue(const QByteArray &frame) {
  if (!uiSocket) {
    pendingFrames.append(frame);
    return;
  }
  uiSocket->write(frame);
  if (uiSocket) uiSocket->flush();
}

bool UiCommuncation::flushBeforeExit(int timeoutMs) {
  // A wait for bytes written also reads what arrives: a SHUT_DOWN now must not be handled.
  stopReading();
  // Notifications emitted on other threads reach this object as queued calls.
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
  if (!uiSocket) return pendingFrames.isEmpty();
  QDeadlineTimer deadline(timeoutMs);
  QPointer<QLocalSocket> socket(uiSocket);
  while (socket && socket->state() == QLocalSocket::ConnectedState && socket->bytesToWrite() > 0 &&
         !deadline.hasExpired()) {
    if (!socket->waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) break;
  }
  return socket && socket->bytesToWrite() == 0;
}
