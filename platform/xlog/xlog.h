// The logging back end's C interface: the six calls the programs import from xlog.
// The records are the programs' own (LogInfoRecord, LogAppenderConfig); the back end reads them by layout.
#pragma once
#include <cstdarg>

struct LogInfoRecord;
struct LogAppenderConfig;

extern "C" {
void xlogger_SetLevel(int level);
void appender_set_console_log_export(int isOpen);
void appender_open_export(const LogAppenderConfig *config);
void appender_close_export(void);
int xlogger_IsEnabledFor(int level);
void xlogger_VPrint(const LogInfoRecord *info, const char *format, va_list args);
}
