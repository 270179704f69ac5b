// Listening on a fixed local-socket name.
#pragma once

#include <QString>

class QLocalServer;

// Listens on name. Where local sockets are files (not Windows) it first probes the name: when a live server answers
// it does not listen (listening would take the name over), and a file left behind by a crashed server, which would
// make every later listen fail, is removed and the listen retried. On failure *error (if given) tells why, never
// empty: "another instance serves <name>" when the probe refused.
bool listenOnName(QLocalServer *server, const QString &name, QString *error = nullptr);
