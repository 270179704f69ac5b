// Helpers for tests that talk to a server over a real local socket in the same process.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLocalSocket>
#include <QThread>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Protocol/frame.h"

namespace sockettest {

inline QCoreApplication *app() {
  static int argc = 1;
  static char name[] = "test";
  static char *argv[] = {name, nullptr};
  static QCoreApplication *instance = new QCoreApplication(argc, argv);
  return instance;
}

// Runs the event loop (deferred deletes included) until cond holds; false after timeoutMs. The bound only keeps a
// broken server from hanging the test.
inline bool waitFor(const std::function<bool()> &cond, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

// Lets the event loop run for a while: for checks that something does NOT happen.
inline void settle(int ms = 50) {
  waitFor([] { return false; }, ms);
}

inline QByteArray be32(quint32 v) {
  QByteArray out(4, '\0');
  out[0] = char(v >> 24);
  out[1] = char(v >> 16);
  out[2] = char(v >> 8);
  out[3] = char(v);
  return out;
}

// Body of a message whose header.type is given explicitly (any text, handled or not).
template <class Msg> QByteArray bodyOf(Msg message, const std::string &type) {
  message.mutable_header()->set_type(type);
  message.mutable_header()->set_version(1);
  return QByteArray::fromStdString(message.SerializeAsString());
}
inline QByteArray framed(const QByteArray &body) { return be32(quint32(body.size())) + body; }

inline QByteArray commandFrame(CommandType command, const std::string &type = "CommandRequest") {
  CommandRequest request;
  request.set_command(command);
  return framed(bodyOf(request, type));
}
inline QByteArray componentFrame(ComponentType kind) {
  ComponentTypeRequest request;
  request.set_type(kind);
  return framed(bodyOf(request, "ComponentTypeRequest"));
}

inline std::unique_ptr<QLocalSocket> connectClient(const QString &name) {
  auto client = std::make_unique<QLocalSocket>();
  client->connectToServer(name);
  if (!client->waitForConnected(5000)) return nullptr;
  return client;
}

inline void send(QLocalSocket *client, const QByteArray &bytes) {
  client->write(bytes);
  client->flush();
  client->waitForBytesWritten(5000);
}

// Splits what a client has received into frame bodies; incomplete trailing bytes stay in `pending`.
struct FrameCollector {
  QByteArray pending;
  std::vector<QByteArray> bodies;
  void take(QLocalSocket *client) {
    pending += client->readAll();
    while (pending.size() >= 4) {
      const int length = parseLengthFromArray(pending);
      if (length < 0 || pending.size() < 4 + length) break;
      bodies.push_back(pending.mid(4, length));
      pending.remove(0, 4 + length);
    }
  }
};

} // namespace sockettest
