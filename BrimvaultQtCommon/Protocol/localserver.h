// Listening on a fixed local-socket name.
#pragma once

#include <QString>

class QLocalServer;

// Listens on name unless a live server already answers on it. Where local sockets are files (not Windows), listening
// may otherwise take the name over from the live server; and a file left behind by a crashed server, which would make
// every later listen fail, is removed and the listen retried. On failure *error (if given) tells why.
bool listenOnName(QLocalServer *server, const QString &name, QString *error = nullptr);
