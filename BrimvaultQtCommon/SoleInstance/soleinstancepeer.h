// Tells a starting program whether another instance with the same id runs in this session and user, and carries
// one text message from a later instance to the first one.
#pragma once

#include <QObject>
#include <QString>

#include "lockedfile.h"

class QLocalServer;

class SoleInstancePeer : public QObject {
  Q_OBJECT

public:
  // An empty id stands for the program's own path.
  explicit SoleInstancePeer(QObject *parent = nullptr, const QString &appId = QString());

  bool isClient();
  bool sendMessage(const QString &message, int timeout);
  QString applicationId() const { return id; }

  // A message is one application's short request; anything larger is refused.
  static constexpr quint32 kMaxMessageBytes = 64 * 1024;
  // The whole reception of one message, the byte count included, ends after this long.
  static constexpr int kReceiveTimeoutMs = 30000;

signals:
  void messageReceived(const QString &message);

protected slots:
  void receiveConnection();

private:
  QString id;
  QString socketName;
  QLocalServer *server = nullptr;
  SoleInstancePrivate::LockedFile lockFile;
};
