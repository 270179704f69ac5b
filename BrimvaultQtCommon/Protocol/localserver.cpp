#include "Protocol/localserver.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int kProbeTimeoutMs = 1000;

bool liveServerAnswers(const QString &name) {
  QLocalSocket probe;
  probe.connectToServer(name);
  const bool answered = probe.waitForConnected(kProbeTimeoutMs);
  probe.abort();
  return answered;
}
} // namespace

bool listenOnName(QLocalServer *server, const QString &name) {
  if (server->listen(name)) return true;
  if (server->serverError() != QAbstractSocket::AddressInUseError || liveServerAnswers(name)) return false;
  if (!QLocalServer::removeServer(name)) return false;
  return server->listen(name);
}
