#include "service/cmdline.h"

#include "emu/emu.h"

#include <sys/stat.h>
#include <unistd.h>

namespace emu {
namespace cmdline {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool runnable(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool endsWithExe(const std::string &s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char &c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return tail == ".exe";
}

} // namespace

std::vector<std::string> split(const std::string &line) {
  std::vector<std::string> out;
  size_t i = 0, n = line.size();
  while (i < n && isBlank(line[i])) ++i;
  if (i >= n) return out;
  std::string program;
  if (line[i] == '"') {
    ++i;
    while (i < n && line[i] != '"') program += line[i++];
    if (i < n) ++i;
  } else {
    while (i < n && !isBlank(line[i])) program += line[i++];
  }
  out.push_back(program);
  for (;;) {
    while (i < n && isBlank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !isBlank(line[i]))) {
      if (line[i] == '\\') {
        size_t count = 0;
        while (i < n && line[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(count, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    out.push_back(arg);
  }
  return out;
}

std::string resolveProgram(const std::string &windowsPath) {
  std::string host = hostPath(windowsPath);
  if (runnable(host)) return host;
  if (endsWithExe(host)) {
    std::string bare = host.substr(0, host.size() - 4);
    if (runnable(bare)) return bare;
  } else if (runnable(host + ".exe")) {
    return host + ".exe";
  }
  return {};
}

} // namespace cmdline
} // namespace emu
