#include "logcapture.h"

#include "Log/logconfig.h"
#include "testenv.h"

namespace logcapture {

namespace {
size_t g_mark = 0;
std::string folder() { return testenv::tempDir() + "/log"; }
} // namespace

void open() {
  static bool opened = false;
  if (opened) return;
  opened = true;
  xlogger_SetLevel(kLevelInfo);
  appender_set_console_log_export(0);
  openLogAppender(folder().c_str(), "util");
}

void mark() { g_mark = testenv::readLogLines(folder()).size(); }

std::vector<Line> sinceMark() {
  std::vector<Line> out;
  const auto lines = testenv::readLogLines(folder());
  for (size_t i = g_mark; i < lines.size(); ++i) {
    const std::string &l = lines[i];
    const size_t bar = l.find(" | ");
    if (bar == std::string::npos) continue;
    const size_t fnStart = l.rfind(' ', bar - 1);
    Line line;
    line.level = l.substr(0, 1);
    line.function = fnStart == std::string::npos ? std::string() : l.substr(fnStart + 1, bar - fnStart - 1);
    line.message = l.substr(bar + 3);
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> messagesSinceMark() {
  std::vector<std::string> out;
  for (const Line &l : sinceMark()) out.push_back(l.message);
  return out;
}

} // namespace logcapture
