// The plain-text back end: where lines go, what a line looks like, and what logging must never disturb.
#include <gtest/gtest.h>

#include "Log/log.h"
#include <QRegularExpression>
#include <QString>
#include "emu/emu.h"
#include "testenv.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QRegularExpression kLine(
    R"(^([DIWEF]) (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (\d+) (\d+) \[([^\]]*)\] ([^ ]*):(-?\d+) (.*?) \| (.*)$)",
    QRegularExpression::DotMatchesEverythingOption);

struct Parsed {
  std::string level, time, pid, tid, tag, file, line, func, message;
};

bool parse(const std::string &text, Parsed &out) {
  const QRegularExpressionMatch m = kLine.match(QString::fromStdString(text));
  if (!m.hasMatch()) return false;
  auto at = [&](int i) { return m.captured(i).toStdString(); };
  out = {at(1), at(2), at(3), at(4), at(5), at(6), at(7), at(8), at(9)};
  return true;
}

void open(const std::string &folder, const char *prefix = "bvs") {
  LogAppenderConfig config{folder.c_str(), prefix, "00", folder.c_str(), 5};
  appender_open_export(&config);
}

void print(const LogInfoRecord &record, const char *format, ...) {
  va_list args;
  va_start(args, format);
  xlogger_VPrint(&record, format, args);
  va_end(args);
}

LogInfoRecord record(int level, int32_t sec, int32_t usec) {
  LogInfoRecord r;
  std::memset(&r, 0, sizeof r);
  r.level = level;
  r.tag = "UI";
  r.filename = "/src/a/b/widget.cpp";
  r.funcname = "fn";
  r.line = 42;
  r.sec = sec;
  r.usec = usec;
  r.pid = r.tid = r.maintid = -1;
  return r;
}

std::string today() {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char buf[16];
  strftime(buf, sizeof buf, "%Y%m%d", &t);
  return buf;
}

std::vector<std::string> messages(const std::string &folder) {
  std::vector<std::string> out;
  for (const auto &l : testenv::readLogLines(folder)) {
    Parsed p;
    out.push_back(parse(l, p) ? p.message : "<malformed> " + l);
  }
  return out;
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class Xlog : public ::testing::Test {
protected:
  void SetUp() override { xlogger_SetLevel(kLevelInfo); }
  void TearDown() override {
    appender_close_export();
    appender_set_console_log_export(0);
  }
};

} // namespace

TEST_F(Xlog, DriveFoldersMapUnderTheMachineRootAndFilesAreNamedByPrefixAndDay) {
  const std::string drive = emu::machineRoot() + "/drive_c/Brimvault/log";
  open("C:/Brimvault/log/bvs", "bvs");
  LOGI("slash form");
  open("C:\\Brimvault\\log\\bvsTerminate", "bvsTerminate");
  LOGI("backslash form");
  const std::string host = testenv::tempDir() + "/deep/er/logs";
  open(host, "host");
  LOGI("host form");
  appender_close_export();

  const std::string day = today();
  EXPECT_TRUE(exists(drive + "/bvs/bvs_" + day + ".xlog"));
  EXPECT_TRUE(exists(drive + "/bvsTerminate/bvsTerminate_" + day + ".xlog"));
  EXPECT_TRUE(exists(host + "/host_" + day + ".xlog"));
  EXPECT_EQ(messages(drive + "/bvs"), std::vector<std::string>{"slash form"});
  EXPECT_EQ(messages(drive + "/bvsTerminate"), std::vector<std::string>{"backslash form"});
  EXPECT_EQ(messages(host), std::vector<std::string>{"host form"});
}

TEST_F(Xlog, LinesOutsideAnOpenLogAreDroppedAndASecondOpenClosesTheFirst) {
  const std::string folder = testenv::tempDir() + "/life", b = testenv::tempDir() + "/b";
  LOGE("before open");
  print(record(kLevelError, 0, 0), nullptr);
  xlogger_VPrint(nullptr, "x", nullptr);
  appender_close_export(); // closing what was never opened
  EXPECT_FALSE(exists(folder));

  open(folder);
  LOGE("while open");
  appender_close_export();
  LOGE("after close");
  open(folder); // appends to the day's file instead of truncating it
  LOGE("reopened");
  open(b);
  LOGE("to b");
  EXPECT_EQ(messages(folder), (std::vector<std::string>{"while open", "reopened"}));

  // A folder that cannot be made (a file is in the way) or no folder at all: logging stays off, nothing crashes.
  const std::string blocker = testenv::tempDir() + "/blocker";
  testenv::writeFile(blocker, "x");
  open(blocker + "/logs");
  LOGI("lost");
  LogAppenderConfig empty{nullptr, "p", nullptr, nullptr, 5};
  appender_open_export(&empty);
  appender_open_export(nullptr);
  LOGI("lost too");
  EXPECT_EQ(messages(b), std::vector<std::string>{"to b"});
  EXPECT_EQ(testenv::readFile(blocker), "x");
}

TEST_F(Xlog, LineCarriesLevelTimeIdsTagFileLineFunctionAndMessage) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::string folder = testenv::tempDir() + "/format";
  open(folder);
  xlogger_SetLevel(kLevelDebug);
  for (int level = 1; level <= 5; ++level) print(record(level, 1700000000, 123456), "lvl %d", level);
  // Seconds past 2^31 (January 2038) arrive as a negative 32-bit value and must not wrap back to 1901.
  print(record(kLevelInfo, static_cast<int32_t>(0x80000000u), 999999), "y2038");
  LogInfoRecord ids = record(kLevelInfo, 1700000000, 0);
  ids.pid = 77;
  ids.tid = 88;
  ids.filename = "C:\\work\\src\\win.cpp";
  print(ids, "explicit ids");
  LogInfoRecord bare = record(kLevelWarn, 1700000000, 0);
  bare.tag = bare.filename = bare.funcname = nullptr;
  print(bare, "%s", "no names");

  const auto lines = testenv::readLogLines(folder);
  ASSERT_EQ(lines.size(), 8u);
  Parsed p;
  const std::string letters = "DIWEF";
  for (int level = 1; level <= 5; ++level) {
    ASSERT_TRUE(parse(lines[level - 1], p)) << lines[level - 1];
    EXPECT_EQ(p.level + " " + p.message, std::string(1, letters[level - 1]) + " lvl " + std::to_string(level));
  }
  EXPECT_EQ(lines[0], "D 2023-11-14 22:13:20.123 " + std::to_string(getpid()) + " " +
                          std::to_string(syscall(SYS_gettid)) + " [UI] widget.cpp:42 fn | lvl 1");
  ASSERT_TRUE(parse(lines[5], p));
  EXPECT_EQ(p.time, "2038-01-19 03:14:08.999");
  ASSERT_TRUE(parse(lines[6], p));
  EXPECT_EQ(p.pid, "77");
  EXPECT_EQ(p.tid, "88");
  EXPECT_EQ(p.file, "win.cpp");
  EXPECT_EQ(lines[7], "W 2023-11-14 22:13:20.000 " + std::to_string(getpid()) + " " +
                          std::to_string(syscall(SYS_gettid)) + " [] :42  | no names");
}

TEST_F(Xlog, OutsideTextCannotBreakTheOneLinePerRecordRule) {
  const std::string folder = testenv::tempDir() + "/escape";
  open(folder);
  LOGW("type=%s", "Fake\r\nE 2020-01-01 00:00:00.000 1 1 [UI] x.cpp:1 f | forged\x01\x1b\x7f\tend");
  LOGW("utf8 %s", "Gr\xc3\xbc\xc3\x9f\x65");
  const std::string huge(100000, 'h');
  LOGW("%s", huge.c_str());
  LOGW("%s", std::string(5000, 'm').c_str()); // past the stack buffer, below the cap
  LOGW("after");

  const auto lines = testenv::readLogLines(folder);
  ASSERT_EQ(lines.size(), 5u);
  Parsed p;
  ASSERT_TRUE(parse(lines[0], p));
  EXPECT_EQ(p.message, "type=Fake\\r\\nE 2020-01-01 00:00:00.000 1 1 [UI] x.cpp:1 f | forged\\x01\\x1b\\x7f\\tend");
  ASSERT_TRUE(parse(lines[1], p));
  EXPECT_EQ(p.message, "utf8 Gr\xc3\xbc\xc3\x9f\x65");
  ASSERT_TRUE(parse(lines[2], p));
  EXPECT_LT(p.message.size(), 20000u);
  EXPECT_GT(p.message.size(), 10000u);
  EXPECT_EQ(p.message.find_first_not_of('h'), p.message.find("..."));
  ASSERT_TRUE(parse(lines[3], p));
  EXPECT_EQ(p.message, std::string(5000, 'm'));
  EXPECT_TRUE(parse(lines[4], p));
}

TEST_F(Xlog, EightThreadsLoggingAtOnceLoseAndTearNothing) {
  const std::string folder = testenv::tempDir() + "/threads";
  open(folder);
  constexpr int kThreads = 8, kLines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        // Mostly short lines, with some long enough to need several pages.
        const std::string pad((i % 50 == 0) ? 12000 : (i * 7) % 300, static_cast<char>('a' + t));
        LOGI("t%d i%d %s end", t, i, pad.c_str());
      }
    });
  for (auto &th : threads) th.join();
  appender_close_export();

  std::map<std::pair<int, int>, int> seen;
  std::set<std::string> tids;
  for (const auto &l : testenv::readLogLines(folder)) {
    Parsed p;
    ASSERT_TRUE(parse(l, p)) << l.substr(0, 200);
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(p.message.c_str(), "t%d i%d", &t, &i), 2) << p.message.substr(0, 80);
    const std::string pad((i % 50 == 0) ? 12000 : (i * 7) % 300, static_cast<char>('a' + t));
    EXPECT_EQ(p.message, "t" + std::to_string(t) + " i" + std::to_string(i) + " " + pad + " end");
    ++seen[{t, i}];
    tids.insert(p.tid);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto &[key, count] : seen) EXPECT_EQ(count, 1) << key.first << "/" << key.second;
  EXPECT_EQ(tids.size(), static_cast<size_t>(kThreads));
}

TEST_F(Xlog, LoggingLeavesLastErrorAndErrnoAlone) {
  const std::string folder = testenv::tempDir() + "/errors";
  struct Step {
    const char *name;
    std::function<void()> run;
  };
  const std::string blocked = testenv::tempDir() + "/file";
  testenv::writeFile(blocked, "");
  const std::vector<Step> steps = {
      {"print before open", [] { LOGE("early"); }},
      {"open", [&] { open(folder); }},
      {"print", [] { LOGE("code %lu", static_cast<unsigned long>(GetLastError())); }},
      {"print filtered", [] { print(record(kLevelDebug, 0, 0), "x"); }},
      {"console print", [] {
         appender_set_console_log_export(1);
         LOGE("console");
         appender_set_console_log_export(0);
       }},
      {"failed open", [&] { open(blocked + "/sub"); }},
      {"close", [] { appender_close_export(); }},
  };
  for (const auto &step : steps) {
    SetLastError(ERROR_ACCESS_DENIED);
    errno = EDOM;
    step.run();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << step.name;
    EXPECT_EQ(errno, EDOM) << step.name;
  }
  EXPECT_EQ(messages(folder), (std::vector<std::string>{"code 5", "console"}));
}

TEST_F(Xlog, LevelFilterAndConsoleCopy) {
  xlogger_SetLevel(3);

  // Capture stderr while the console copy is on, then off.
  const std::string captured = testenv::tempDir() + "/stderr";
  fflush(stderr);
  int saved = dup(2);
  int fd = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  dup2(fd, 2);
  const std::string folder = testenv::tempDir() + "/console";
  open(folder);
  print(record(kLevelInfo, 1, 0), "below level");
  appender_set_console_log_export(1);
  LOGW("on console");
  appender_set_console_log_export(0);
  LOGW("file only");
  dup2(saved, 2);
  ::close(saved);
  ::close(fd);

  const std::string console = testenv::readFile(captured);
  EXPECT_NE(console.find("| on console\n"), std::string::npos) << console;
  EXPECT_EQ(console.find("file only"), std::string::npos);
  EXPECT_EQ(messages(folder), (std::vector<std::string>{"on console", "file only"}));
}

TEST_F(Xlog, ForkedChildLogsWithItsOwnProcessAndThreadIds) {
  const std::string folder = testenv::tempDir() + "/fork";
  open(folder);
  LOGI("parent");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    LOGI("child");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  LOGI("parent again");
  const auto lines = testenv::readLogLines(folder);
  ASSERT_EQ(lines.size(), 3u);
  Parsed p;
  ASSERT_TRUE(parse(lines[1], p));
  EXPECT_EQ(p.message, "child");
  EXPECT_EQ(p.pid, std::to_string(child));
  EXPECT_EQ(p.tid, std::to_string(child)); // the forking thread is the child's main thread
  ASSERT_TRUE(parse(lines[2], p));
  EXPECT_EQ(p.pid, std::to_string(getpid()));
  EXPECT_EQ(p.tid, std::to_string(syscall(SYS_gettid)));
}
