// Process-wide signal hub of the service.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <string>

class SignalCenter : public QObject {
  Q_OBJECT
public:
  static void createInstance(QObject *parent);
  static SignalCenter *instance(); // null before createInstance and once the hub is destroyed

signals:
  void errOccurSignal(int which, QString errMsg, QString what = QString(), int index = -1);
  void errDisappearSignal(int which, QString what, int index);
  void uiEvent(int which, int what, std::string msg);
  void quitSig();
  void serverExitCode(int exitCode);

private:
  explicit SignalCenter(QObject *parent);
  static QPointer<SignalCenter> s_instance;
};
