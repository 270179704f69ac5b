// Listening on a fixed local-socket name.
#pragma once

#include <QString>

class QLocalServer;

// Listens on name. Where local sockets are files (not Windows), a file left behind by a crashed server makes every
// later listen fail: it is removed and the listen retried, but only when no live server answers on the name.
// On failure server->errorString() tells why.
bool listenOnName(QLocalServer *server, const QString &name);
