// Plain-text logging back end behind xlog's C interface, for Linux (the stand-in) and Windows.
//
// One UTF-8 line per record in <folder>/<prefix>_<YYYYMMDD>.xlog:
//   <L> <YYYY-MM-DD HH:MM:SS.mmm> <pid> <tid> [<tag>] <file>:<line> <function> | <message>
// Each line is handed to the system with one write on a file opened for appending (O_APPEND; FILE_APPEND_DATA on
// Windows) before the call returns, so a crash loses nothing already logged and lines of several processes never mix.
// The key, the cache folder and the mode integer of the configuration are not used: the files are not enciphered.
#include "xlog.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#ifndef _WIN32
#include "emu/emu.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// ---- The platform's part: folders, a file opened for appending, one whole write, the local time. ----
#ifdef _WIN32

using File = HANDLE;
const File kNoFile = INVALID_HANDLE_VALUE;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Windows paths are already what the system takes.
std::string hostFolder(const char *logDir) { return logDir; }

std::basic_string<WCHAR> widen(const std::string &utf8) {
  std::basic_string<WCHAR> out;
  const int size = static_cast<int>(utf8.size());
  const int n = size ? MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0) : 0;
  if (n <= 0) return out;
  out.resize(static_cast<size_t>(n));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &out[0], n);
  return out;
}

std::string errorText(DWORD code) { return "error " + std::to_string(static_cast<unsigned long>(code)); }

// Every component in turn; a drive or share at the front refuses to be made, so only the whole path decides.
bool makeFolders(const std::string &path, std::string &error) {
  DWORD last = ERROR_SUCCESS;
  for (size_t pos = 0; pos != std::string::npos;) {
    pos = path.find_first_of("/\\", pos + 1);
    last = CreateDirectoryW(widen(path.substr(0, pos)).c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
  }
  const DWORD attributes = GetFileAttributesW(widen(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  error = errorText(last != ERROR_SUCCESS ? last : GetLastError());
  return false;
}

// FILE_APPEND_DATA alone: every write lands at the end, in one piece. Other processes may read, write, rename or
// delete the file meanwhile, as they may on Linux. (Wine 8 does not keep writes of several processes apart.)
File openAppend(const std::string &path, std::string &error) {
  File f = CreateFileW(widen(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == kNoFile) error = errorText(GetLastError());
  return f;
}

void writeAll(File f, const char *data, size_t size) {
  while (size > 0) {
    DWORD n = 0;
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!WriteFile(f, data, chunk, &n, nullptr) || n == 0) return;
    data += n;
    size -= n;
  }
}

File consoleFile() { return GetStdHandle(STD_ERROR_HANDLE); }

void closeFile(File f) { CloseHandle(f); }

void localTime(time_t t, struct tm &out) { localtime_s(&out, &t); }

void watchForks(void (*)()) {} // no fork on Windows: cached ids stay right

#else

using File = int;
constexpr File kNoFile = -1;

bool isSeparator(char c) { return c == '/'; }

// Drive paths map under the machine root; host paths pass through.
std::string hostFolder(const char *logDir) { return emu::hostPath(std::string(logDir)); }

bool makeFolders(const std::string &path, std::string &error) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      error = strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  error = strerror(errno);
  return false;
}

File openAppend(const std::string &path, std::string &error) {
  File f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (f < 0) error = strerror(errno);
  return f;
}

void writeAll(File f, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(f, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

File consoleFile() { return 2; }

void closeFile(File f) { ::close(f); }

void localTime(time_t t, struct tm &out) { localtime_r(&t, &out); }

// Runs `inChild` in a forked child, once per process however often it is called.
void watchForks(void (*inChild)()) {
  static const int registered = pthread_atfork(nullptr, nullptr, inChild);
  (void)registered;
}

#endif
// ---- End of the platform's part. ----

struct Appender {
  std::mutex mutex;
  File file = kNoFile;
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

void complain(const std::string &what, const std::string &path, const std::string &error) {
  const std::string msg = "xlog: cannot " + what + " " + path + ": " + error + "\n";
  writeAll(consoleFile(), msg.data(), msg.size());
}

void closeDayFile(Appender &a) {
  if (a.file != kNoFile) closeFile(a.file);
  a.file = kNoFile;
}

// Opens the file of the local day containing `now`. Caller holds the mutex.
void openDayFile(Appender &a, time_t now) {
  closeDayFile(a);
  struct tm tmNow;
  localTime(now, tmNow);
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
  const std::string path = a.folder + "/" + a.prefix + "_" + date + ".xlog";
  std::string error;
  a.file = openAppend(path, error);
  if (a.file == kNoFile) complain("open", path, error);
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
    struct tm tmv;
    localTime(static_cast<time_t>(sec), tmv);
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
    watchForks(onFork);
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
  closeDayFile(a);
  g_open.store(false);
  const auto *cfg = reinterpret_cast<const ConfigView *>(config);
  if (!cfg || !cfg->logDir || !*cfg->logDir) return;
  std::string folder = hostFolder(cfg->logDir);
  while (folder.size() > 1 && isSeparator(folder.back())) folder.pop_back();
  std::string error;
  if (!makeFolders(folder, error)) {
    complain("create", folder, error);
    return;
  }
  a.folder = folder;
  a.prefix = cfg->prefix ? cfg->prefix : "";
  openDayFile(a, time(nullptr));
  g_open.store(a.file != kNoFile);
}

extern "C" void appender_close_export(void) {
  ErrorKeeper keep;
  Appender &a = appender();
  std::lock_guard<std::mutex> lock(a.mutex);
  g_open.store(false);
  closeDayFile(a);
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
  if (a.file != kNoFile) {
    time_t now = time(nullptr);
    if (now < a.dayStart || now >= a.dayEnd) openDayFile(a, now); // a new day starts a new file
    if (a.file != kNoFile) writeAll(a.file, line.data(), line.size());
  }
  if (console) writeAll(consoleFile(), line.data(), line.size());
}
