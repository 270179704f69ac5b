// Log print entry points of both programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>

#include "xlog.h"

enum LogLevel { kLevelDebug = 1, kLevelInfo = 2, kLevelWarn = 3, kLevelError = 4, kLevelFatal = 5 };

// The record handed to xlogger_VPrint for every line; its layout is xlog's interface.
struct LogInfoRecord {
  int32_t level;
  const char *tag;
  const char *filename;
  const char *funcname;
  int32_t line;
  int32_t sec;  // milliseconds since the epoch / 1000, truncated to 32 bits
  int32_t usec; // (milliseconds % 1000) * 1000
  int64_t pid;  // -1: the back end fills in the ids
  int64_t tid;
  int64_t maintid;
  int64_t reserved;
};
static_assert(sizeof(LogInfoRecord) == 80, "LogInfoRecord must be 80 bytes");
static_assert(offsetof(LogInfoRecord, level) == 0 && offsetof(LogInfoRecord, tag) == 8 &&
                  offsetof(LogInfoRecord, filename) == 16 && offsetof(LogInfoRecord, funcname) == 24 &&
                  offsetof(LogInfoRecord, line) == 32 && offsetof(LogInfoRecord, sec) == 36 &&
                  offsetof(LogInfoRecord, usec) == 40 && offsetof(LogInfoRecord, pid) == 48 &&
                  offsetof(LogInfoRecord, tid) == 56 && offsetof(LogInfoRecord, maintid) == 64 &&
                  offsetof(LogInfoRecord, reserved) == 72,
              "LogInfoRecord layout");

// Passed by address to appender_open_export.
struct LogAppenderConfig {
  const char *logdir;     // UTF-8; Windows drive paths are accepted
  const char *nameprefix; // files are <logdir>/<nameprefix>_<YYYYMMDD>.xlog
  const char *pubkey;
  const char *cachedir;
  int32_t mode;
};
static_assert(sizeof(LogAppenderConfig) == 40 && offsetof(LogAppenderConfig, cachedir) == 24 &&
                  offsetof(LogAppenderConfig, mode) == 32,
              "LogAppenderConfig layout");

// Lets GCC and Clang check a printf-style format against its arguments; other compilers (MSVC) lack the attribute.
#if defined(__GNUC__) || defined(__clang__)
#define BV_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define BV_PRINTF_FORMAT(formatIndex, firstArg)
#endif

void log_print(int level, const char *tag, const char *file, const char *func, int line, const char *format, ...)
    BV_PRINTF_FORMAT(6, 7);
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
