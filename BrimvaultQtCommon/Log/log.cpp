#include "log.h"

#include <windows.h>

#include <QDateTime>

#include <cstring>

namespace {

void fillRecord(LogInfoRecord &info, int level, const char *tag, const char *file, const char *func, int line) {
  std::memset(&info, 0, sizeof info);
  info.level = level;
  info.tag = tag;
  info.filename = file;
  info.funcname = func;
  info.line = line;
  const qint64 ms = QDateTime::currentMSecsSinceEpoch();
  info.sec = static_cast<int32_t>(static_cast<uint32_t>(ms / 1000));
  info.usec = static_cast<int32_t>((ms % 1000) * 1000);
  info.pid = -1;
  info.tid = -1;
  info.maintid = -1;
}

} // namespace

// Callers read GetLastError after logging, so a log line must not change it.
void log_print(int level, const char *tag, const char *file, const char *func, int line, const char *format, ...) {
  const DWORD lastError = GetLastError();
  LogInfoRecord info;
  fillRecord(info, level, tag, file, func, line);
  va_list args;
  va_start(args, format);
  xlogger_VPrint(&info, format, args);
  va_end(args);
  SetLastError(lastError);
}

void log_vprint(int level, const char *tag, const char *file, const char *func, int line, const char *format,
                va_list args) {
  const DWORD lastError = GetLastError();
  LogInfoRecord info;
  fillRecord(info, level, tag, file, func, line);
  xlogger_VPrint(&info, format, args);
  SetLastError(lastError);
}
