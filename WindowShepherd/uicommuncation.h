// WindowShepherd's command socket: START, PAUSE and SHUT_DOWN from the product's other components become signals
// of the hub. Nothing is logged per frame and nothing is ever sent back.
#pragma once

#include <QObject>

#include "Protocol/framereader.h"

class QIODevice;
class QLocalServer;

class UiCommuncation : public QObject {
  Q_OBJECT
public:
  // A command is 22 bytes; anything near this is not one of ours.
  static constexpr int kMaxBodyLength = 64 * 1024;

  explicit UiCommuncation(QObject *parent);
  ~UiCommuncation() override;

  void initConnections();
  void startListen();

private:
  void onNewConnected();
  void onSocketReadyRead();
  void onCommandRequest(const CommandRequest &request);

  QLocalServer *server = nullptr;
  FrameReader reader;
};
