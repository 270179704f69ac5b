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

bool listenOnName(QLocalServer *server, const QString &name, QString *error) {
  if (liveServerAnswers(name)) {
    if (error) *error = QStringLiteral("another server is listening on %1").arg(name);
    return false;
  }
  bool listening = server->listen(name);
  if (!listening && server->serverError() == QAbstractSocket::AddressInUseError && QLocalServer::removeServer(name))
    listening = server->listen(name);
  if (!listening && error) *error = server->errorString();
  return listening;
}
