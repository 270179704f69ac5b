#include "recording_xlog.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace recording {
std::vector<Entry> entries;
std::vector<std::string> calls;
LogAppenderConfig lastConfig{};
std::string lastDir, lastPrefix, lastKey, lastCacheDir;
unsigned long lastErrorSetByPrint = 0;
namespace {
int g_level = 0;
std::string text(const char *s) { return s ? s : "<null>"; }
} // namespace

void reset(int level) {
  entries.clear();
  calls.clear();
  g_level = level;
  lastErrorSetByPrint = 0;
}
} // namespace recording

using namespace recording;

extern "C" void xlogger_SetLevel(int level) { g_level = level; }
extern "C" int xlogger_IsEnabledFor(int level) { return level >= g_level; }
extern "C" void appender_set_console_log_export(int) {}
extern "C" void appender_open_export(const LogAppenderConfig *config) {
  calls.push_back("open");
  lastConfig = *config;
  lastDir = text(config->logdir);
  lastPrefix = text(config->nameprefix);
  lastKey = text(config->pubkey);
  lastCacheDir = text(config->cachedir);
}
extern "C" void appender_close_export(void) { calls.push_back("close"); }
extern "C" void xlogger_VPrint(const LogInfoRecord *info, const char *format, va_list args) {
  calls.push_back("print");
  Entry e;
  std::memcpy(e.raw, info, sizeof e.raw);
  e.record = *info;
  e.tag = text(info->tag);
  e.file = text(info->filename);
  e.func = text(info->funcname);
  e.format = text(format);
  char buf[4096];
  vsnprintf(buf, sizeof buf, format, args);
  e.text = buf;
  entries.push_back(e);
  if (lastErrorSetByPrint) SetLastError(static_cast<DWORD>(lastErrorSetByPrint));
}
