// Hold points: a thread stops at a named point until the test that asked for it lets it go (see emu/hold.h).
#include "emu/hold.h"

#include "emu/emu.h"
#include "process/proctable.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace emu {

namespace {

// A held thread goes on by itself after this long, so a failed test cannot leave a program stuck.
constexpr auto kLongestHold = std::chrono::seconds(120);
constexpr auto kPoll = std::chrono::milliseconds(2);

struct Holds {
  std::mutex mutex;
  bool loaded = false;
  std::map<std::string, int> nth;   // point -> which pass holds
  std::map<std::string, int> passes;
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
    if (at != std::string::npos && at > 0) h.nth[item.substr(0, at)] = std::atoi(item.c_str() + at + 1);
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

void holdPoint(const char *name) {
  Holds &h = holds();
  {
    std::lock_guard<std::mutex> lock(h.mutex);
    load(h);
    auto it = h.nth.find(name);
    if (it == h.nth.end() || ++h.passes[name] != it->second) return;
  }
  const std::string file = holdFile(name);
  if (!proc::writeFileAtomic(file, std::to_string(::getpid()) + "\n")) return;
  const auto until = std::chrono::steady_clock::now() + kLongestHold;
  while (exists(file) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kPoll);
}

bool waitUntilHeld(const std::string &name, DWORD timeoutMs) {
  const std::string file = holdFile(name);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!exists(file)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(kPoll);
  }
  return true;
}

void releaseHold(const std::string &name) { ::unlink(holdFile(name).c_str()); }

} // namespace emu
