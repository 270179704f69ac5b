// A back end that records what the entry points hand to xlog, in place of the real one.
#pragma once

#include "Log/log.h"

#include <string>
#include <vector>

namespace recording {

struct Entry {
  unsigned char raw[sizeof(LogInfoRecord)]; // the record's bytes, padding included
  LogInfoRecord record;
  std::string tag, file, func, format, text;
};

extern std::vector<Entry> entries;
extern std::vector<std::string> calls; // "open", "close", "print" in call order
extern LogAppenderConfig lastConfig;
extern std::string lastDir, lastPrefix, lastKey, lastCacheDir;
extern unsigned long lastErrorSetByPrint; // the back end's own SetLastError inside VPrint, 0 for none

void reset(int level);

} // namespace recording
