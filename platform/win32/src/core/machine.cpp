// Machine root, drive mapping, time scale, failure injection and the call journal.
#include <windows.h>
#include "emu/emu.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace emu {

namespace {

std::mutex g_rootMutex;
std::string *g_root = nullptr;

void makeDirs(const std::string &path) {
  std::string partial;
  for (size_t i = 0; i < path.size(); ++i) {
    partial += path[i];
    if ((path[i] == '/' && i > 0) || i + 1 == path.size()) mkdir(partial.c_str(), 0777);
  }
}

// Links the stand-in system programs built beside this program (bin/System32) into the machine's System32, so that
// "C:\\Windows\\System32\\cmd.exe" and a PATH search find them as on Windows. Links already there are kept.
void installSystemPrograms(const std::string &root) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return;
  std::string from(self, static_cast<size_t>(n));
  from = from.substr(0, from.rfind('/')) + "/System32";
  DIR *dir = opendir(from.c_str());
  if (!dir) return;
  const std::string to = root + "/drive_c/Windows/System32";
  makeDirs(to);
  while (const dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    symlink((from + "/" + e->d_name).c_str(), (to + "/" + e->d_name).c_str()); // EEXIST: keep what is there
  }
  closedir(dir);
}

bool isDriveLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

} // namespace

const std::string &machineRoot() {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  if (!g_root) {
    std::string root;
    if (const char *env = std::getenv("WIN32_ROOT"); env && *env) {
      root = env;
    } else {
      const char *xdg = std::getenv("XDG_DATA_HOME");
      const char *home = std::getenv("HOME");
      root = (xdg && *xdg) ? std::string(xdg) : std::string(home ? home : "/tmp") + "/.local/share";
      root += "/brimvault-win32";
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    makeDirs(root + "/drive_c/Windows"); // GetTempPathW falls back to it
    installSystemPrograms(root);
    g_root = new std::string(root); // lives for the process: handed out by reference
  }
  return *g_root;
}

void resetMachineRoot() {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  // The old string stays valid for callers still holding it, and reachable: it is no leak.
  static auto *retired = new std::vector<const std::string *>;
  if (g_root) retired->push_back(g_root);
  g_root = nullptr;
}

std::string hostPath(const std::string &windowsPath) {
  std::string p = windowsPath;
  std::replace(p.begin(), p.end(), '\\', '/');
  if (p.size() >= 2 && p[1] == ':' && isDriveLetter(p[0])) {
    char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(p[0])));
    std::string rest = p.substr(2);
    if (!rest.empty() && rest.front() != '/') rest.insert(rest.begin(), '/');
    return machineRoot() + "/drive_" + drive + rest;
  }
  return p;
}

std::string hostPath(const WCHAR *windowsPath) { return hostPath(toUtf8(windowsPath)); }

std::string windowsPath(const std::string &host) {
  const std::string prefix = machineRoot() + "/drive_";
  if (host.compare(0, prefix.size(), prefix) == 0 && host.size() > prefix.size()) {
    char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(host[prefix.size()])));
    std::string rest = host.substr(prefix.size() + 1);
    std::replace(rest.begin(), rest.end(), '/', '\\');
    if (rest.empty()) rest = "\\";
    return std::string(1, drive) + ":" + rest;
  }
  return host;
}

std::string toUtf8(const WCHAR *text, std::ptrdiff_t length) {
  std::string out;
  if (!text) return out;
  if (length < 0) {
    length = 0;
    while (text[length]) ++length;
  }
  out.reserve(static_cast<size_t>(length));
  for (std::ptrdiff_t i = 0; i < length; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD; // lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string toUtf16(const std::string &text) {
  std::u16string out;
  out.reserve(text.size());
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    uint32_t c = s[i];
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
    bool ok = extra < 4 && i + extra < n;
    if (ok && extra > 0) {
      c &= 0x3Fu >> extra;
      for (size_t k = 1; k <= extra && ok; ++k) {
        ok = (s[i + k] & 0xC0) == 0x80;
        c = (c << 6) | (s[i + k] & 0x3F);
      }
    }
    if (!ok) { // invalid sequence: one replacement character per bad lead byte
      out += u'\xFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// --- time scale ---------------------------------------------------------------------------------

namespace {
std::atomic<double> g_scale{-1.0};
}

double timeScale() {
  double s = g_scale.load();
  if (s < 0) {
    s = 1.0;
    if (const char *env = std::getenv("WIN32_TIME_SCALE"); env && *env) {
      char *end = nullptr;
      double v = std::strtod(env, &end);
      if (end != env && v > 0) s = v;
    }
    g_scale.store(s);
  }
  return s;
}

void setTimeScale(double scale) { g_scale.store(scale > 0 ? scale : 1.0); }

DWORD scaledMs(DWORD ms) {
  if (ms == INFINITE) return INFINITE;
  double v = static_cast<double>(ms) * timeScale();
  if (v >= static_cast<double>(INFINITE - 1)) return INFINITE - 1;
  return static_cast<DWORD>(v + 0.5);
}

// --- failure injection --------------------------------------------------------------------------

namespace {

struct Failure {
  DWORD code = 0;
  int nth = 0; // 0: every call
};

struct FailureTable {
  std::mutex mutex;
  std::map<std::string, Failure> failures;
  std::map<std::string, int> calls;
  std::vector<std::string> journal;
  bool envLoaded = false;

  void loadEnv() {
    if (envLoaded) return;
    envLoaded = true;
    const char *env = std::getenv("WIN32_FAIL");
    if (!env) return;
    std::string spec(env);
    size_t pos = 0;
    while (pos <= spec.size()) {
      size_t comma = spec.find(',', pos);
      std::string item = spec.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
      size_t eq = item.find('=');
      if (eq != std::string::npos && eq > 0) {
        Failure f;
        std::string rest = item.substr(eq + 1);
        size_t at = rest.find('@');
        f.code = static_cast<DWORD>(std::strtoul(rest.substr(0, at).c_str(), nullptr, 0));
        if (at != std::string::npos) f.nth = std::atoi(rest.substr(at + 1).c_str());
        if (f.code != 0) failures[item.substr(0, eq)] = f;
      }
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
  }
};

FailureTable &failureTable() {
  static FailureTable *table = new FailureTable; // never destroyed: calls may come during static teardown
  return *table;
}

} // namespace

void injectFailure(const std::string &call, DWORD code, int nth) {
  FailureTable &t = failureTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.loadEnv();
  t.failures[call] = Failure{code, nth};
  t.calls[call] = 0;
}

void clearFailures() {
  FailureTable &t = failureTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.envLoaded = true;
  t.failures.clear();
  t.calls.clear();
}

void reloadFailureEnvironment() {
  FailureTable &t = failureTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.failures.clear();
  t.calls.clear();
  t.envLoaded = false;
  t.loadEnv();
}

DWORD failureFor(const char *call) {
  FailureTable &t = failureTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.loadEnv();
  if (t.journal.size() < 100000) t.journal.emplace_back(call);
  int n = ++t.calls[call];
  auto it = t.failures.find(call);
  if (it == t.failures.end()) return 0;
  if (it->second.nth > 0 && it->second.nth != n) return 0;
  return it->second.code;
}

std::vector<std::string> callJournal() {
  FailureTable &t = failureTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.journal;
}

void clearCallJournal() {
  FailureTable &t = failureTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.journal.clear();
}

} // namespace emu
