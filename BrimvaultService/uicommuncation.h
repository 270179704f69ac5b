// The service's local-socket server for the product's other components: any number of clients, one of which may
// declare itself the user interface. A shut-down command from any client becomes the hub's quitSig; the service's
// notifications go to the user interface, or wait in a queue until one declares itself.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include "Protocol/framereader.h"

class QIODevice;
class QLocalServer;
class QLocalSocket;

class UiCommuncation : public QObject {
  Q_OBJECT
public:
  // Bodies above this are refused like a bad length; every message of the schema is far smaller.
  static constexpr int kMaxBodyLength = 16 * 1024 * 1024;
  explicit UiCommuncation(QObject *parent);
  // Drops queued frames and waits for nothing; no socket calls back into this object from here on.
  ~UiCommuncation() override;

  void initConnections();
  void startListen();

  // Call on the main thread once the event loop has ended, before the application object goes: stops reading, so no
  // frame is handled any more (the hub may already be going), delivers notifications still queued for this object
  // from other threads, then waits up to timeoutMs until every frame written to the user interface has left.
  // True when nothing produced is left undelivered to the user-interface connection.
  bool flushBeforeExit(int timeoutMs);

private:
  void onNewConnected();
  void onSocketReadyRead();
  void onSocketDisconnectedSlot(QLocalSocket *socket);

  void onCommandRequest(QIODevice *from, const CommandRequest &request);
  void onComponentTypeRequest(QIODevice *from, const ComponentTypeRequest &request);

  void sendErrMsgOccur(int which, const QString &errMsg, const QString &what, int index);
  void sendErrMsgDisappear(int which, const QString &what, int index);
  void sendServerExitCode(int exitCode);
  void sendOrQueue(const QByteArray &frame);
  void writePendingFrames();
  void stopReading();

  QLocalServer *server = nullptr;
  QList<QLocalSocket *> clients;
  QList<QByteArray> pendingFrames;
  QLocalSocket *uiSocket = nullptr;
  FrameReader reader;
};
