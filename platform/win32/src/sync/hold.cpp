// Hold points: a thread stops at a named point until the test that asked for it lets it go; chaos points: a thread
// sleeps now and then where another thread or process may look (see emu/hold.h).
#include "emu/hold.h"

#include "emu/emu.h"
#include "process/proctable.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
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

void parse(Holds &h, const std::string &spec) {
  h.loaded = true;
  h.points.clear();
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

void load(Holds &h) {
  if (h.loaded) return;
  const char *env = std::getenv("WIN32_HOLD");
  parse(h, env ? env : "");
}

std::string holdFile(const std::string &name) { return proc::kernelDir("holds") + "/" + name; }

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// --- chaos ----------------------------------------------------------------------------------------

uint64_t fnv1a(const char *text) {
  uint64_t h = 1469598103934665603ull;
  for (; *text; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 1099511628211ull;
  return h;
}

uint64_t splitmix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

struct Chaos {
  bool on = false;
  uint64_t seed = 0;
  uint64_t maxMs = 20;
  uint64_t program = 0; // the program's file name: a rerun of one test draws the same sleeps in the same program
  std::atomic<uint64_t> passes[256] = {}; // by the point's hash; points that share a slot share a count
};

Chaos &chaos() {
  static Chaos *c = [] {
    auto *made = new Chaos;
    const char *env = std::getenv("WIN32_CHAOS");
    if (!env || !*env) return made;
    char *end = nullptr;
    made->seed = std::strtoull(env, &end, 10);
    if (end && *end == ':') {
      const unsigned long long max = std::strtoull(end + 1, nullptr, 10);
      if (max > 0) made->maxMs = max;
    }
    char exe[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    const char *base = n > 0 ? exe : "";
    for (const char *p = base; *p; ++p) {
      if (*p == '/') base = p + 1;
    }
    made->program = fnv1a(base);
    made->on = true;
    return made;
  }();
  return *c;
}

} // namespace

void chaosPoint(const char *name) {
  Chaos &c = chaos();
  if (!c.on) return;
  const uint64_t point = fnv1a(name);
  const uint64_t pass = c.passes[point % 256].fetch_add(1, std::memory_order_relaxed);
  const uint64_t r = splitmix(splitmix(c.seed ^ c.program) ^ splitmix(point + pass));
  if (r % 8 != 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(1 + (r >> 3) % c.maxMs));
}

void holdPoint(const char *name, const std::string &detail) { holdPoint(name, detail, std::string()); }

void holdPoint(const char *name, const std::string &detail, const std::string &otherDetail) {
  chaosPoint(name);
  Holds &h = holds();
  std::string file;
  {
    std::lock_guard<std::mutex> lock(h.mutex);
    load(h);
    if (h.points.empty()) return;
    const std::string withDetail = std::string(name) + ":" + detail;
    const std::string withOther = otherDetail.empty() ? std::string() : std::string(name) + ":" + otherDetail;
    for (Point &p : h.points) {
      if (p.anyDetail ? p.name != name : p.name != withDetail && p.name != withOther) continue;
      if (++p.passes == p.nth && file.empty()) file = holdFile(p.name);
    }
  }
  if (file.empty()) return;
  if (!proc::writeFileAtomic(file, std::to_string(::getpid()) + "\n")) return;
  const auto until = std::chrono::steady_clock::now() + kLongestHold;
  while (exists(file) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kPoll);
}

void setHoldPoints(const std::string &points) {
  Holds &h = holds();
  std::lock_guard<std::mutex> lock(h.mutex);
  parse(h, points);
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
