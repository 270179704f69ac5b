// Hold points: a thread stops at a named point until the test that asked for it lets it go (see emu/hold.h).
#include "emu/hold.h"

#include "emu/emu.h"
#include "process/proctable.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace emu {

namespace {

// A held thread goes on by itself after this long, so a failed test cannot leave a program stuck.
constexpr auto kLongestHold = std::chrono::seconds(120);
constexpr auto kPoll = std::chrono::milliseconds(2);

struct Point {
  std::string name;   // "Name" or "Name:detail": also the hold file's name
  bool anyDetail = true;
  int nth = 1;
  int passes = 0;
};

struct Holds {
  std::mutex mutex;
  bool loaded = false;
  std::vector<Point> points;
};

Holds &holds() {
  static auto *h = new Holds;
  return *h;
}

void load(Holds &h) {
  if (h.loaded) return;
  h.loaded = true;
  const char *env = std::getenv("WIN32_HOLD");
  if (!env) return;
  std::string spec(env);
  for (size_t pos = 0; pos < spec.size();) {
    size_t comma = spec.find(',', pos);
    std::string item = spec.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t at = item.find('@');
    Point p;
    p.name = item.substr(0, at);
    p.anyDetail = p.name.find(':') == std::string::npos;
    if (at != std::string::npos) p.nth = std::atoi(item.c_str() + at + 1);
    if (!p.name.empty() && p.nth > 0) h.points.push_back(p);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
}

std::string holdFile(const std::string &name) { return proc::kernelDir("holds") + "/" + name; }

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

} // namespace

void holdPoint(const char *name, const std::string &detail) {
  Holds &h = holds();
  std::string file;
  {
    std::lock_guard<std::mutex> lock(h.mutex);
    load(h);
    if (h.points.empty()) return;
    const std::string withDetail = std::string(name) + ":" + detail;
    for (Point &p : h.points) {
      if (p.anyDetail ? p.name != name : p.name != withDetail) continue;
      if (++p.passes == p.nth && file.empty()) file = holdFile(p.name);
    }
  }
  if (file.empty()) return;
  if (!proc::writeFileAtomic(file, std::to_string(::getpid()) + "\n")) return;
  const auto until = std::chrono::steady_clock::now() + kLongestHold;
  while (exists(file) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kPoll);
}

bool waitUntilHeld(const std::string &point, DWORD timeoutMs) {
  const std::string file = holdFile(point);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!exists(file)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(kPoll);
  }
  return true;
}

void releaseHold(const std::string &point) { ::unlink(holdFile(point).c_str()); }

} // namespace emu
