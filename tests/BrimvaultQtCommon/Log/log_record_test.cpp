// What the entry points, the call-site macros, qMsgHandler and closeLogger hand to xlog.
#include <gtest/gtest.h>

#include "Log/hostpath.h"

#include <QDir>
#include "Log/log.h"
#include "Log/logconfig.h"
#include "emu/emu.h"
#include "recording_xlog.h"

#include <windows.h>

#include <QDateTime>
#include <QString>


BV_DEFINE_QMSGHANDLER()

using recording::entries;

namespace {

void vprint(int level, const char *tag, const char *file, const char *func, int line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  log_vprint(level, tag, file, func, line, format, args);
  va_end(args);
}

bool allZero(const unsigned char *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

int g_spyCalls = 0;
DWORD spyLastError() {
  ++g_spyCalls;
  return GetLastError();
}

} // namespace

TEST(LogPrint, BothFormsZeroTheRecordStampTheTimeAndLeaveIdsToTheBackEnd) {
  for (int form = 0; form < 2; ++form) {
    recording::reset(1);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    if (form == 0)
      log_print(4, "TAG", "/src/x/y.cpp", "fn", 17, "a %d %s", 5, "b");
    else
      vprint(4, "TAG", "/src/x/y.cpp", "fn", 17, "a %d %s", 5, "b");
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    ASSERT_EQ(entries.size(), 1u) << form;
    const auto &e = entries[0];
    EXPECT_EQ(e.record.level, 4);
    EXPECT_EQ(e.tag + " " + e.file + " " + e.func + " " + std::to_string(e.record.line), "TAG /src/x/y.cpp fn 17");
    EXPECT_EQ(e.text, "a 5 b");
    EXPECT_TRUE(e.record.pid == -1 && e.record.tid == -1 && e.record.maintid == -1);
    EXPECT_TRUE(allZero(e.raw + 4, 4) && allZero(e.raw + 44, 4) && allZero(e.raw + 72, 8)) << "padding and tail";
    // One reading of the clock: seconds and whole milliseconds (as microseconds) of the same instant.
    EXPECT_EQ(e.record.usec % 1000, 0);
    const qint64 stamped = static_cast<qint64>(static_cast<uint32_t>(e.record.sec)) * 1000 + e.record.usec / 1000;
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
  }
}

TEST(LogPrint, CallersLastErrorSurvivesTheBackEnd) {
  recording::reset(1);
  recording::lastErrorSetByPrint = 999;
  SetLastError(ERROR_FILE_NOT_FOUND);
  log_print(2, "UI", __FILE__, __func__, __LINE__, "x");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(ERROR_ACCESS_DENIED);
  vprint(2, "UI", __FILE__, __func__, __LINE__, "x");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(entries.size(), 2u);
}

TEST(CallSite, DisabledLinesEvaluateNothingAndEnabledLinesCarryTheirOrigin) {
  recording::reset(kLevelInfo);
  int counter = 0;
  g_spyCalls = 0;
  LOGD("count %d error %lu", ++counter, static_cast<unsigned long>(spyLastError()));
  BV_LOG(kLevelDebug, "ENUM_USB", "count %d", ++counter);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(g_spyCalls, 0);
  EXPECT_TRUE(recording::calls.empty());

  SetLastError(ERROR_INVALID_HANDLE);
  const int line = __LINE__ + 1;
  LOGE("count %d error 0x%x", ++counter, static_cast<unsigned>(spyLastError()));
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(g_spyCalls, 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, "count 1 error 0x6");
  EXPECT_EQ(entries[0].record.level, kLevelError);
  EXPECT_EQ(entries[0].tag, "UI");
  EXPECT_EQ(entries[0].file, __FILE__);
  EXPECT_EQ(entries[0].func, "TestBody");
  EXPECT_EQ(entries[0].record.line, line);

  [] { LOGW("in lambda"); }();
  BV_LOG(kLevelWarn, "ENUM_USB", "usb");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].func, "operator()");
  EXPECT_EQ(entries[2].tag, "ENUM_USB");

  recording::reset(kLevelDebug);
  LOGD("d");
  LOGI("i");
  LOGW("w");
  LOGE("e");
  LOGF("f");
  ASSERT_EQ(entries.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(entries[i].record.level, i + 1) << entries[i].text;
}

TEST(QtMessages, EachKnownTypeIsLoggedWithItsLevelTagAndSourceParts) {
  recording::reset(kLevelDebug);
  const QMessageLogContext context("C:/work/src/Util/regutil.cpp", 88, "bool RegUtil::read()", "default");
  const QtMsgType types[] = {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg, QtFatalMsg};
  for (QtMsgType type : types) qMsgHandler(type, context, QStringLiteral("hello"));
  ASSERT_EQ(entries.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    const auto &e = entries[i];
    EXPECT_EQ(e.record.level, i + 1);
    EXPECT_EQ(e.tag + " " + e.func + " " + e.format, "QDBG qMsgHandler %s");
    EXPECT_EQ(e.text, "(regutil.cpp:88, bool RegUtil::read()) hello");
  }
}

TEST(QtMessages, EmptyContextUnknownTypeDisabledLevelAndHostileText) {
  recording::reset(kLevelInfo);
  qMsgHandler(QtWarningMsg, QMessageLogContext(), QStringLiteral("no context"));
  qMsgHandler(static_cast<QtMsgType>(42), QMessageLogContext("a.cpp", 1, "f", "c"), QStringLiteral("unknown"));
  qMsgHandler(QtDebugMsg, QMessageLogContext("a.cpp", 1, "f", "c"), QStringLiteral("below level"));
  // Neither printf nor QString::arg may read anything in the message as a placeholder.
  qMsgHandler(QtCriticalMsg, QMessageLogContext("dir/b.cpp", 3, nullptr, nullptr),
              QStringLiteral("%s%n%d %1 %2 %L1"));
  qMsgHandler(QtInfoMsg, QMessageLogContext("b.cpp", 4, "g", nullptr), QString::fromUtf8("Gr\xc3\xbc\xc3\x9f\x65"));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].record.level, kLevelWarn);
  EXPECT_EQ(entries[0].tag, "QDBG");
  EXPECT_EQ(entries[0].text, "(:0, ) no context");
  EXPECT_EQ(entries[1].record.level, kLevelError);
  EXPECT_EQ(entries[1].text, "(b.cpp:3, ) %s%n%d %1 %2 %L1");
  EXPECT_EQ(entries[2].text, "(b.cpp:4, g) Gr\xc3\xbc\xc3\x9f\x65");
}

TEST(LogSetUp, CloseLoggerLogsLoggerEndThenClosesAndStillClosesWhenInfoIsOff) {
  recording::reset(kLevelInfo);
  closeLogger();
  EXPECT_EQ(recording::calls, (std::vector<std::string>{"print", "close"}));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, "logger end");
  EXPECT_EQ(entries[0].record.level, kLevelInfo);
  EXPECT_EQ(entries[0].tag, "UI");
  EXPECT_EQ(entries[0].func, "operator()");

  recording::reset(kLevelWarn);
  closeLogger();
  EXPECT_EQ(recording::calls, std::vector<std::string>{"close"});
}

TEST(LogSetUp, AppenderConfigUsesTheFolderAsCacheAKeyAndFive) {
  recording::reset(kLevelInfo);
  openLogAppender("C:/Brimvault/log/bvs", "bvs");
  ASSERT_EQ(recording::calls, std::vector<std::string>{"open"});
  EXPECT_EQ(recording::lastDir, "C:/Brimvault/log/bvs");
  EXPECT_EQ(recording::lastCacheDir, "C:/Brimvault/log/bvs");
  EXPECT_EQ(recording::lastPrefix, "bvs");
  EXPECT_EQ(recording::lastKey.size(), 128u);
  EXPECT_EQ(recording::lastConfig.mode, 5);
}

TEST(HostFolder, DriveFoldersMapIntoTheMachineAndHostFoldersStay) {
  const QString root = QString::fromStdString(emu::machineRoot());
  EXPECT_EQ(hostFolder("C:/Brimvault/log/bvs"), root + "/drive_c/Brimvault/log/bvs");
  EXPECT_EQ(hostFolder("C:\\Brimvault\\log\\bvsTerminate"), root + "/drive_c/Brimvault/log/bvsTerminate");
  EXPECT_EQ(hostFolder("/var/tmp/logs"), "/var/tmp/logs");
}

TEST(HostFolder, PathsComeBackInWindowsFormAbsoluteAgainstTheCurrentFolder) {
  const QString root = QString::fromStdString(emu::machineRoot());
  EXPECT_EQ(windowsForm(root + "/drive_c/Apps/a.exe"), "C:/Apps/a.exe");
  EXPECT_EQ(nativeSeparators("C:/Apps/a b/x.exe"), "C:\\Apps\\a b\\x.exe");
  EXPECT_EQ(absoluteWindowsPath("c:\\Apps\\..\\Tools\\.\\t.exe"), "C:/Tools/t.exe");
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir().mkpath(root + "/drive_c/Work"));
  ASSERT_TRUE(QDir::setCurrent(root + "/drive_c/Work"));
  EXPECT_EQ(absoluteWindowsPath("sub/../app.exe"), "C:/Work/app.exe");
  QDir::setCurrent(before);
}
