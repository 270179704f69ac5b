// Plain-text logging back end behind xlog's C interface.
//
// One UTF-8 line per record in <folder>/<prefix>_<YYYYMMDD>.xlog:
//   <L> <YYYY-MM-DD HH:MM:SS.mmm> <pid> <tid> [<tag>] <file>:<line> <function> | <message>
// Each line is handed to the kernel with one write(2) on an O_APPEND descriptor before the call returns, so a crash
// loses nothing already logged. The key, the cache folder and the mode integer of the configuration are not used:
// the files are not enciphered.
#include "xlog.h"

#include <windows.h>

#include "emu/emu.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The programs' LogInfoRecord, read by layout: this library does not include their headers.
struct RecordView {
  int32_t level;
  int32_t pad0;
  const char *tag;
  const char *file;
  const char *func;
  int32_t line;
  uint32_t sec; // written as a signed 32-bit value; read unsigned so that 2038 does not wrap to 1901
  int32_t usec;
  int32_t pad1;
  int64_t pid;
  int64_t tid;
  int64_t mainTid;
  int64_t trailing;
};
static_assert(sizeof(RecordView) == 80, "LogInfoRecord is 80 bytes");
static_assert(offsetof(RecordView, level) == 0 && offsetof(RecordView, tag) == 8 && offsetof(RecordView, file) == 16 &&
                  offsetof(RecordView, func) == 24 && offsetof(RecordView, line) == 32 &&
                  offsetof(RecordView, sec) == 36 && offsetof(RecordView, usec) == 40 &&
                  offsetof(RecordView, pid) == 48 && offsetof(RecordView, tid) == 56 &&
                  offsetof(RecordView, mainTid) == 64 && offsetof(RecordView, trailing) == 72,
              "LogInfoRecord layout");

// The programs' LogAppenderConfig, read by layout.
struct ConfigView {
  const char *logDir;
  const char *prefix;
  const char *pubKey;
  const char *cacheDir;
  int32_t mode;
};
static_assert(sizeof(ConfigView) == 40, "LogAppenderConfig is 40 bytes");
static_assert(offsetof(ConfigView, logDir) == 0 && offsetof(ConfigView, prefix) == 8 &&
                  offsetof(ConfigView, pubKey) == 16 && offsetof(ConfigView, cacheDir) == 24 &&
                  offsetof(ConfigView, mode) == 32,
              "LogAppenderConfig layout");

constexpr size_t kMaxMessage = 16 * 1024;  // longer messages are cut
constexpr size_t kStackMessage = 2 * 1024; // common case formats without touching the heap
constexpr char kTruncated[] = "...[truncated]";

// Keeps the caller's errno and last error whatever the logging does.
class ErrorKeeper {
public:
  ErrorKeeper() : m_errno(errno), m_lastError(GetLastError()) {}
  ~ErrorKeeper() {
    SetLastError(m_lastError);
    errno = m_errno;
  }
  ErrorKeeper(const ErrorKeeper &) = delete;
  ErrorKeeper &operator=(const ErrorKeeper &) = delete;

private:
  int m_errno;
  DWORD m_lastError;
};

struct Appender {
  std::mutex mutex;
  int fd = -1;
  std::string folder; // host path
  std::string prefix;
  time_t dayStart = 0; // local day of the open file: [dayStart, dayEnd)
  time_t dayEnd = 0;
};

// Never destroyed: lines may be logged from static destructors of other units.
Appender &appender() {
  static Appender *a = new Appender;
  return *a;
}

std::atomic<int> g_level{0};
std::atomic<bool> g_console{false};
std::atomic<bool> g_open{false};

bool makeFolders(const std::string &path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void writeAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Opens the file of the local day containing `now`. Caller holds the mutex.
void openDayFile(Appender &a, time_t now) {
  if (a.fd >= 0) {
    ::close(a.fd);
    a.fd = -1;
  }
  struct tm tmNow;
  localtime_r(&now, &tmNow);
  struct tm midnight = tmNow;
  midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
  midnight.tm_isdst = -1;
  a.dayStart = mktime(&midnight);
  midnight.tm_mday += 1;
  midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
  midnight.tm_isdst = -1;
  a.dayEnd = mktime(&midnight);
  char date[48];
  snprintf(date, sizeof date, "%04d%02d%02d", tmNow.tm_year + 1900, tmNow.tm_mon + 1, tmNow.tm_mday);
  std::string path = a.folder + "/" + a.prefix + "_" + date + ".xlog";
  a.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (a.fd < 0) {
    int err = errno;
    std::string msg = "xlog: cannot open " + path + ": " + strerror(err) + "\n";
    writeAll(2, msg.data(), msg.size());
  }
}

char levelLetter(int level) {
  static const char letters[] = {'D', 'I', 'W', 'E', 'F'};
  if (level < 1) level = 1;
  if (level > 5) level = 5;
  return letters[level - 1];
}

const char *baseName(const char *path) {
  if (!path) return "";
  const char *last = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/' || *p == '\\') last = p + 1;
  return last;
}

// Appends the message with control characters made visible, so one record is always one line.
void appendEscaped(std::string &out, const char *text, size_t size) {
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7f) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out.push_back('\\');
    switch (c) {
    case '\n': out.push_back('n'); break;
    case '\r': out.push_back('r'); break;
    case '\t': out.push_back('t'); break;
    default:
      out.push_back('x');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0xf]);
    }
  }
}

// "YYYY-MM-DD HH:MM:SS" of a local time, cached per thread for the last second seen.
void appendLocalTime(std::string &out, uint32_t sec) {
  thread_local uint32_t cachedSec = 0;
  thread_local bool cached = false;
  thread_local char text[80];
  if (!cached || cachedSec != sec) {
    time_t t = static_cast<time_t>(sec);
    struct tm tmv;
    localtime_r(&t, &tmv);
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    cachedSec = sec;
    cached = true;
  }
  out.append(text);
}

// Process and thread ids cost a system call each; they are cached and refreshed in a forked child.
std::atomic<unsigned> g_forkGeneration{1};
std::atomic<DWORD> g_pid{0};

void onFork() {
  g_pid.store(0, std::memory_order_relaxed);
  g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

DWORD processId() {
  DWORD pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const int registered = pthread_atfork(nullptr, nullptr, onFork);
    (void)registered;
    pid = GetCurrentProcessId();
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

DWORD threadId() {
  thread_local unsigned generation = 0;
  thread_local DWORD tid = 0;
  const unsigned current = g_forkGeneration.load(std::memory_order_relaxed);
  if (generation != current) {
    tid = GetCurrentThreadId();
    generation = current;
  }
  return tid;
}

} // namespace

extern "C" void xlogger_SetLevel(int level) { g_level.store(level, std::memory_order_relaxed); }

extern "C" int xlogger_IsEnabledFor(int level) { return level >= g_level.load(std::memory_order_relaxed) ? 1 : 0; }

extern "C" void appender_set_console_log_export(int isOpen) {
  g_console.store(isOpen != 0, std::memory_order_relaxed);
}

extern "C" void appender_open_export(const LogAppenderConfig *config) {
  ErrorKeeper keep;
  Appender &a = appender();
  std::lock_guard<std::mutex> lock(a.mutex);
  if (a.fd >= 0) ::close(a.fd);
  a.fd = -1;
  g_open.store(false);
  const auto *cfg = reinterpret_cast<const ConfigView *>(config);
  if (!cfg || !cfg->logDir || !*cfg->logDir) return;
  std::string folder = emu::hostPath(std::string(cfg->logDir));
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!makeFolders(folder)) {
    int err = errno;
    std::string msg = "xlog: cannot create " + folder + ": " + strerror(err) + "\n";
    writeAll(2, msg.data(), msg.size());
    return;
  }
  a.folder = folder;
  a.prefix = cfg->prefix ? cfg->prefix : "";
  openDayFile(a, time(nullptr));
  g_open.store(a.fd >= 0);
}

extern "C" void appender_close_export(void) {
  ErrorKeeper keep;
  Appender &a = appender();
  std::lock_guard<std::mutex> lock(a.mutex);
  g_open.store(false);
  if (a.fd >= 0) ::close(a.fd);
  a.fd = -1;
}

extern "C" void xlogger_VPrint(const LogInfoRecord *info, const char *format, va_list args) {
  ErrorKeeper keep;
  const auto *rec = reinterpret_cast<const RecordView *>(info);
  if (!rec || !xlogger_IsEnabledFor(rec->level)) return;
  const bool console = g_console.load(std::memory_order_relaxed);
  if (!g_open.load(std::memory_order_acquire) && !console) return;

  // The message: formatted on the stack when short, on the heap up to the cap when long.
  char small[kStackMessage];
  std::string large;
  const char *message = "";
  size_t messageSize = 0;
  bool truncated = false;
  if (format) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
      n = 0;
      small[0] = '\0';
    }
    if (static_cast<size_t>(n) < sizeof small) {
      message = small;
      messageSize = static_cast<size_t>(n);
    } else {
      size_t want = static_cast<size_t>(n) < kMaxMessage ? static_cast<size_t>(n) : kMaxMessage;
      truncated = static_cast<size_t>(n) > kMaxMessage;
      large.resize(want + 1);
      vsnprintf(&large[0], want + 1, format, copy);
      message = large.data();
      messageSize = want;
    }
    va_end(copy);
  }

  const DWORD pid = rec->pid == -1 ? processId() : static_cast<DWORD>(rec->pid);
  const DWORD tid = rec->tid == -1 ? threadId() : static_cast<DWORD>(rec->tid);
  int ms = rec->usec / 1000;
  if (ms < 0) ms = 0;
  if (ms > 999) ms = 999;

  std::string line;
  line.reserve(160 + messageSize + messageSize / 8);
  line.push_back(levelLetter(rec->level));
  line.push_back(' ');
  appendLocalTime(line, rec->sec);
  char buf[96];
  snprintf(buf, sizeof buf, ".%03d %lu %lu [", ms, static_cast<unsigned long>(pid), static_cast<unsigned long>(tid));
  line.append(buf);
  line.append(rec->tag ? rec->tag : "");
  line.append("] ");
  line.append(baseName(rec->file));
  snprintf(buf, sizeof buf, ":%d ", static_cast<int>(rec->line));
  line.append(buf);
  line.append(rec->func ? rec->func : "");
  line.append(" | ");
  appendEscaped(line, message, messageSize);
  if (truncated) line.append(kTruncated);
  line.push_back('\n');

  Appender &a = appender();
  std::lock_guard<std::mutex> lock(a.mutex);
  if (a.fd >= 0) {
    time_t now = time(nullptr);
    if (now < a.dayStart || now >= a.dayEnd) openDayFile(a, now); // a new day starts a new file
    if (a.fd >= 0) writeAll(a.fd, line.data(), line.size());
  }
  if (console) writeAll(2, line.data(), line.size());
}
