// A program's log through the real back end, set up and closed in the order both mains use.
#include <gtest/gtest.h>

#include "Log/hostpath.h"
#include "Log/log.h"
#include "Log/logconfig.h"
#include "Log/scopeguard.h"
#include "testenv.h"

#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

#include <string>
#include <vector>

BV_DEFINE_QMSGHANDLER()

namespace {

struct Line {
  std::string level, tag, file, func, message;
};

std::vector<Line> readLines(const std::string &folder) {
  static const QRegularExpression re(R"(^([DIWEF]) \S+ \S+ \d+ \d+ \[([^\]]*)\] ([^ ]*):\d+ (.*?) \| (.*)$)");
  std::vector<Line> out;
  for (const auto &text : testenv::readLogLines(folder)) {
    const QRegularExpressionMatch m = re.match(QString::fromStdString(text));
    EXPECT_TRUE(m.hasMatch()) << text;
    auto at = [&](int i) { return m.captured(i).toStdString(); };
    if (m.hasMatch()) out.push_back({at(1), at(2), at(3), at(4), at(5)});
  }
  return out;
}

} // namespace

TEST(ProgramLog, VersionLineQtMessagesAndLoggerEndInOrder) {
  int qtLine = 0;
  {
    xlogger_SetLevel(kLevelInfo);
    appender_set_console_log_export(0);
    ScopeGuard guard(closeLogger);
    LOGI("before the appender is open");
    openLogAppender("C:/Brimvault/log/bvs", "bvs");
    LOGI("Version: %s, Compile time: %s %s", kServiceVersion, __DATE__, __TIME__);
    qInstallMessageHandler(qMsgHandler);
    qtLine = __LINE__ + 1;
    qWarning("from qt %d", 7);
    qDebug("below the level");
    qInstallMessageHandler(nullptr);
  }
  LOGI("after the guard closed the log");

  const auto lines = readLines(hostFolder("C:/Brimvault/log/bvs").toStdString());
  ASSERT_EQ(lines.size(), 3u);
  static const QRegularExpression version(
      R"(^Version: 1\.0\.5\.0, Compile time: [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d$)");
  EXPECT_TRUE(version.match(QString::fromStdString(lines[0].message)).hasMatch()) << lines[0].message;
  EXPECT_EQ(lines[0].func, "TestBody");
  EXPECT_EQ(lines[0].file, "log_program_test.cpp");

  EXPECT_EQ(lines[1].level, "W");
  EXPECT_EQ(lines[1].tag, "QDBG");
  EXPECT_EQ(lines[1].func, "qMsgHandler");
  // Qt keeps file, line and function of the message in every build configuration.
  const std::string prefix = "(log_program_test.cpp:" + std::to_string(qtLine) + ", ";
  EXPECT_EQ(lines[1].message.compare(0, prefix.size(), prefix), 0) << lines[1].message;
  EXPECT_NE(lines[1].message.find("TestBody"), std::string::npos) << lines[1].message;
  EXPECT_NE(lines[1].message.find(") from qt 7"), std::string::npos) << lines[1].message;

  EXPECT_EQ(lines[2].level, "I");
  EXPECT_EQ(lines[2].tag, "UI");
  EXPECT_EQ(lines[2].func, "operator()");
  EXPECT_EQ(lines[2].message, "logger end");
}
