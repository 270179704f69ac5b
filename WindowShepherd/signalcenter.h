// Process-wide signal hub of the window placement program.
#pragma once

#include <QObject>
#include <QString>

class SignalCenter : public QObject {
  Q_OBJECT
public:
  // Creates the hub with this parent on the first call; later calls do nothing.
  static void createInstance(QObject *parent);
  // Null before createInstance.
  static SignalCenter *instance();

signals:
  void started();
  void shutdowned();
  void paused();
  void quitSig();
  void startSig();
  void pauseSig();
  void errOccurSignal(int which, QString errMsg, QString what = QString(), int index = -1);
  void errDisappearSignal(int which, QString what, int index);

private:
  explicit SignalCenter(QObject *parent);
  static SignalCenter *s_instance;
};
