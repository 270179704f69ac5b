#include "soleinstanceapplication.h"

#include <QWidget>

#include "soleinstancepeer.h"

SoleInstanceApplication::SoleInstanceApplication(const QString &appId, int &argc, char **argv)
    : QApplication(argc, argv) {
  initPeer(appId);
}

SoleInstanceApplication::SoleInstanceApplication(int &argc, char **argv, bool) : QApplication(argc, argv) {
  initPeer(QString());
}

void SoleInstanceApplication::initPeer(const QString &appId) {
  activationWindow = nullptr;
  peer = new SoleInstancePeer(this, appId);
  connect(peer, &SoleInstancePeer::messageReceived, this, &SoleInstanceApplication::messageReceived);
}

bool SoleInstanceApplication::isOtherInstanceRunning() { return peer->isClient(); }

bool SoleInstanceApplication::sendMessage(const QString &message, int timeout) {
  return peer->sendMessage(message, timeout);
}

QString SoleInstanceApplication::applicationId() const { return peer->applicationId(); }

void SoleInstanceApplication::setWindowToActivate(QWidget *aw, bool activateOnMessage) {
  activationWindow = aw;
  if (activateOnMessage)
    connect(peer, &SoleInstancePeer::messageReceived, this, &SoleInstanceApplication::activateWindow,
            Qt::UniqueConnection);
  else
    disconnect(peer, &SoleInstancePeer::messageReceived, this, &SoleInstanceApplication::activateWindow);
}

QWidget *SoleInstanceApplication::windowToActivate() const { return activationWindow; }

void SoleInstanceApplication::activateWindow() {
  if (!activationWindow) return;
  activationWindow->showMinimized();
  activationWindow->show();
  activationWindow->setWindowState(activationWindow->windowState() & ~Qt::WindowMinimized);
  activationWindow->raise();
  activationWindow->activateWindow();
}
