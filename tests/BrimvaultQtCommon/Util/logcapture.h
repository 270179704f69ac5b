// The real log back end opened on a folder of the test's own, and the messages logged since a mark.
#pragma once

#include <string>
#include <vector>

namespace logcapture {

struct Line {
  std::string level, function, message;
};

// Opens the appender once per process at info level (the level both programs run at).
void open();
// Lines logged after the last mark(), parsed.
void mark();
std::vector<Line> sinceMark();
std::vector<std::string> messagesSinceMark();

} // namespace logcapture
