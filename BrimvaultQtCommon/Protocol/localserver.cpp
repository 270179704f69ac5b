#include "Protocol/localserver.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace {
#ifndef Q_OS_WIN
constexpr int kProbeTimeoutMs = 1000;

// Where a local socket is a file, listening would take the name over from a live server; on Windows the name is a
// pipe, and a second listener simply gets its own instances of it.
bool liveServerAnswers(const QString &name) {
  QLocalSocket probe;
  probe.connectToServer(name);
  const bool answered = probe.waitForConnected(kProbeTimeoutMs);
  probe.abort();
  return answered;
}
#endif
} // namespace

bool listenOnName(QLocalServer *server, const QString &name, QString *error) {
#ifndef Q_OS_WIN
  if (liveServerAnswers(name)) {
    if (error) *error = QStringLiteral("another instance serves %1").arg(name);
    return false;
  }
  bool listening = server->listen(name);
  // A file left behind by a crashed server makes every later listen fail: nobody answered, so it is stale.
  if (!listening && server->serverError() == QAbstractSocket::AddressInUseError && QLocalServer::removeServer(name))
    listening = server->listen(name);
#else
  const bool listening = server->listen(name);
#endif
  if (!listening && error) *error = server->errorString();
  return listening;
}
