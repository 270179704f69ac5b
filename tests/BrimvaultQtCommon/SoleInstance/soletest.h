// Shared pieces of the single-instance tests: Qt message capture, the helper process, bounded event waits.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <functional>
#include <mutex>

#include "testenv.h"

namespace soletest {

// Collects Qt messages of every thread while alive.
class MessageCatcher {
public:
  MessageCatcher() {
    std::lock_guard<std::mutex> lock(mutex());
    current() = this;
    previous = qInstallMessageHandler(&MessageCatcher::handler);
  }
  ~MessageCatcher() {
    qInstallMessageHandler(previous);
    std::lock_guard<std::mutex> lock(mutex());
    current() = nullptr;
  }
  QStringList messages() const {
    std::lock_guard<std::mutex> lock(mutex());
    return collected;
  }
  int count(const QString &part) const {
    int n = 0;
    for (const QString &m : messages()) n += m.contains(part) ? 1 : 0;
    return n;
  }

private:
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  static MessageCatcher *&current() {
    static MessageCatcher *c = nullptr;
    return c;
  }
  static void handler(QtMsgType, const QMessageLogContext &, const QString &msg) {
    std::lock_guard<std::mutex> lock(mutex());
    if (current()) current()->collected << msg;
  }
  QtMessageHandler previous = nullptr;
  QStringList collected;
};

// Runs the event loop until pred holds or the time is up; returns pred's last value.
inline bool spinUntil(const std::function<bool()> &pred, int ms = 20000) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(1);
  }
  return true;
}

inline QString helperPath() { return QString::fromStdString(testenv::binDir()) + "/bvsole_helper"; }

// The helper program of these tests, with its output read line by line.
class Helper {
public:
  explicit Helper(const QStringList &args) {
    proc.setProgram(helperPath());
    proc.setArguments(args);
    proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc.start();
    proc.waitForStarted(10000);
  }
  ~Helper() {
    if (proc.state() != QProcess::NotRunning) {
      proc.kill();
      proc.waitForFinished(10000);
    }
  }
  // The next line of output, or empty when none comes in time.
  QString nextLine(int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!proc.canReadLine()) {
      if (deadline.hasExpired()) return QString();
      // false: the process ended or the time is up
      if (!proc.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))) && !proc.canReadLine())
        return QString();
    }
    return QString::fromUtf8(proc.readLine()).trimmed();
  }
  void tell(const char *line) {
    proc.write(line);
    proc.write("\n");
    proc.waitForBytesWritten(10000);
  }
  void killHard() {
    proc.kill();
    proc.waitForFinished(10000);
  }
  int finish(int ms = 30000) {
    proc.closeWriteChannel();
    if (!proc.waitForFinished(ms)) return -1;
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -2;
  }
  QProcess proc;
};

} // namespace soletest
