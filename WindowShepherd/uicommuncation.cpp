#include "uicommuncation.h"

#include <QLocalServer>
#include <QLocalSocket>

#include "Log/log.h"
#include "Protocol/localserver.h"
#include "signalcenter.h"

namespace {
const char kServerName[] = "Brimvault-WindowShepherd-Socket";
}

UiCommuncation::UiCommuncation(QObject *parent)
    : QObject(parent), server(new QLocalServer(this)), reader(kMaxBodyLength) {
  server->setSocketOptions(QLocalServer::WorldAccessOption);
  connect(server, &QLocalServer::newConnection, this, &UiCommuncation::onNewConnected);
  reader.addHandler<CommandRequest>([this](QIODevice *, const CommandRequest &request) { onCommandRequest(request); });
}

UiCommuncation::~UiCommuncation() {
  // The accepted sockets go with the server, after the reader: none of them may call back into this object.
  for (QLocalSocket *socket : server->findChildren<QLocalSocket *>()) disconnect(socket, nullptr, this, nullptr);
}

// Nothing is answered: the hub's announcements have no receiver on this socket.
void UiCommuncation::initConnections() {}

void UiCommuncation::startListen() {
  // Unreachable on its socket, the program could only be stopped by force: say so.
  QString error;
  if (!listenOnName(server, QString::fromLatin1(kServerName), &error))
    LOGE("listen on %s failed: %s", kServerName, error.toUtf8().constData());
}

void UiCommuncation::onNewConnected() {
  QLocalSocket *socket = server->nextPendingConnection();
  if (!socket) return;
  reader.limitReadBuffer(socket);
  connect(socket, &QLocalSocket::readyRead, this, &UiCommuncation::onSocketReadyRead);
  // A client that has gone leaves nothing behind.
  connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
}

void UiCommuncation::onSocketReadyRead() { reader.readFrames(qobject_cast<QLocalSocket *>(sender())); }

void UiCommuncation::onCommandRequest(const CommandRequest &request) {
  SignalCenter *hub = SignalCenter::instance();
  switch (request.command()) {
  case SHUT_DOWN:
    emit hub->quitSig();
    break;
  case START:
    emit hub->startSig();
    break;
  case PAUSE:
    emit hub->pauseSig();
    break;
  default:
    break;
  }
}
