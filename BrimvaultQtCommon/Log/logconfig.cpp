#include "logconfig.h"

#include <QByteArray>
#include <QFileInfo>

void openLogAppender(const char *folder, const char *prefix) {
  LogAppenderConfig config;
  config.logdir = folder;
  config.nameprefix = prefix;
  config.pubkey = kLogPublicKey;
  config.cachedir = folder;
  config.mode = kLogAppenderMode;
  appender_open_export(&config);
}

void routeQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg, const char *sourceFile,
                    int line) {
  int level;
  switch (type) {
  case QtDebugMsg: level = kLevelDebug; break;
  case QtInfoMsg: level = kLevelInfo; break;
  case QtWarningMsg: level = kLevelWarn; break;
  case QtCriticalMsg: level = kLevelError; break;
  case QtFatalMsg: level = kLevelFatal; break;
  default: return;
  }
  if (xlogger_IsEnabledFor(level)) {
    const QString file = context.file ? QFileInfo(QString::fromUtf8(context.file)).fileName() : QString();
    const QString function = context.function ? QString::fromUtf8(context.function) : QString();
    // The message is substituted last, so '%' or "%1" in it is never read as a placeholder.
    const QString text = QString("(%1:%2, %3) %4").arg(file).arg(context.line).arg(function).arg(msg);

    const QByteArray utf8 = text.toUtf8();
    log_print(level, "QDBG", sourceFile, "qMsgHandler", line, "%s", utf8.constData());
  }
}
