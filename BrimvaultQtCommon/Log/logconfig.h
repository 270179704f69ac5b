// Log set-up shared by the two programs' mains: the appender's fixed values, the version texts, the message handler
// and the callable that closes the log.
#pragma once

#include <QtGlobal>
#include <QString>

#include "log.h"

// Key of the log back end; the same in both programs and both modes of the service.
inline constexpr char kLogPublicKey[] =
    "5d98e8d163d7dadccfb7677da827e3361b0fdb44a64334139fc03434c7ef6539"
    "62a03fff4706d89133b574627cd0a6a7b5325411e7b762dbbc2e7ef012c28310";
inline constexpr int kLogAppenderMode = 5;

inline constexpr char kServiceVersion[] = "1.0.5.0";
inline constexpr char kWindowShepherdVersion[] = "1.0.4.0";

// Fills a LogAppenderConfig (the folder is also the cache folder) and opens the appender. The folder may be a
// Windows drive path.
void openLogAppender(const char *folder, const char *prefix);

// Routes one Qt message into the log with the tag "QDBG"; sourceFile and line are those of the program's handler.
void routeQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg, const char *sourceFile,
                    int line);

// Defines the program's qMsgHandler where it is expanded, so that its lines name that source file.
#define BV_DEFINE_QMSGHANDLER()                                                                  \
  static void qMsgHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg) { \
    routeQtMessage(type, context, msg, __FILE__, __LINE__);                                       \
  }

// Put into main's ScopeGuard: logs "logger end", then closes the appender.
inline const auto closeLogger = []() {
  if (xlogger_IsEnabledFor(kLevelInfo)) log_print(kLevelInfo, "UI", __FILE__, "operator()", __LINE__, "logger end");
  appender_close_export();
};
