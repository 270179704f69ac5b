// The application object of a program that runs once per session: a QApplication with a single-instance peer.
#pragma once

#include <QApplication>
#include <QString>

class QWidget;
class SoleInstancePeer;

class SoleInstanceApplication : public QApplication {
  Q_OBJECT

public:
  SoleInstanceApplication(const QString &appId, int &argc, char **argv);
  // The id is the program's path. The bool is accepted for callers written against the older signature and
  // changes nothing.
  SoleInstanceApplication(int &argc, char **argv, bool);

  bool isOtherInstanceRunning();
  QString applicationId() const;

  void setWindowToActivate(QWidget *aw, bool activateOnMessage = true);
  QWidget *windowToActivate() const;

public slots:
  bool sendMessage(const QString &message, int timeout = 5000);
  void activateWindow();

signals:
  void messageReceived(const QString &message);

private:
  void initPeer(const QString &appId);

  SoleInstancePeer *peer = nullptr;
  QWidget *activationWindow = nullptr;
};
