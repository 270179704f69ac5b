// Log print entry points of both programs.
#pragma once

#include <cstdint>
#include <cstdarg>

#include "xlog.h"

enum LogLevel { kLevelDebug = 1, kLevelInfo = 2, kLevelWarn = 3, kLevelError = 4, kLevelFatal = 5 };

void log_print(int level, const char *tag, const char *file, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 6, 7)));
void log_vprint(int level, const char *tag, const char *file, const char *func, int line, const char *format,
                va_list args);

// Arguments (GetLastError included) are evaluated only when the level is enabled.
#define BV_LOG(level, tag, ...)                                                 \
  do {                                                                         \
    if (xlogger_IsEnabledFor(level))                                           \
      log_print((level), (tag), __FILE__, __func__, __LINE__, __VA_ARGS__);    \
  } while (0)

#define LOGD(...) BV_LOG(kLevelDebug, "UI", __VA_ARGS__)
#define LOGI(...) BV_LOG(kLevelInfo, "UI", __VA_ARGS__)
#define LOGW(...) BV_LOG(kLevelWarn, "UI", __VA_ARGS__)
#define LOGE(...) BV_LOG(kLevelError, "UI", __VA_ARGS__)
#define LOGF(...) BV_LOG(kLevelFatal, "UI", __VA_ARGS__)
