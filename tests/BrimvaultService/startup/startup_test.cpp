// Start-up and end of the service: both log folders are pruned to the 7 highest-numbered logs before the log opens,
// and the event handles that the service main function and the control handler share are still open when the
// dispatcher thread has finished; only main closes them, after joining it.
#include "servicefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include "emu/account.h"
#include "emu/emu.h"
#include "servicemain.h"
#include "servicestate.h"
#include "servicethread.h"
#include "testenv.h"

namespace servicetest {
namespace {

QStringList filesIn(const std::string &folder) {
  QDir dir(QString::fromStdString(folder));
  return dir.entryList(QDir::Files, QDir::Name);
}

void makeLogs(const std::string &folder, int count) {
  QDir().mkpath(QString::fromStdString(folder));
  for (int i = 1; i <= count; ++i) testenv::writeFile(folder + "/bvs_" + std::to_string(i) + ".xlog", "old");
}

TEST_F(ServiceTest, BothLogFoldersArePrunedToTheSevenNewestBeforeTheLogOpens) {
  const std::string tmpFolder = emu::hostPath("C:/Brimvault/log/bvs/tmp");
  makeLogs(logFolder, 10);
  makeLogs(tmpFolder, 9);
  testenv::writeFile(logFolder + "/readme.txt", "kept");
  testenv::writeFile(logFolder + "/BVS_1.XLOG", "kept"); // the name pattern is case-sensitive

  // Started outside the control manager the service runs its whole start-up, then fails to reach the dispatcher.
  // It runs as LocalSystem, as it always does: only so may it make Administrators the log folders' owner.
  emu::setOwnAccount(emu::localSystemAccount());
  QProcess service;
  service.start(QString::fromStdString(testenv::binDir() + "/BrimvaultService"), QStringList());
  ASSERT_TRUE(service.waitForFinished(30000));
  EXPECT_EQ(service.exitCode(), 1);

  QStringList logs = filesIn(logFolder);
  for (int i = 1; i <= 10; ++i)
    EXPECT_EQ(logs.contains(QStringLiteral("bvs_%1.xlog").arg(i)), i > 3) << i;
  EXPECT_TRUE(logs.contains("readme.txt"));
  EXPECT_TRUE(logs.contains("BVS_1.XLOG"));
  EXPECT_EQ(logs.filter(QRegularExpression("^bvs_\\d{8}\\.xlog$")).size(), 1) << "the log opened after pruning";
  const QStringList tmp = filesIn(tmpFolder);
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(tmp.contains(QStringLiteral("bvs_%1.xlog").arg(i)), i > 2) << i;
}

// The handles must survive the dispatcher thread: a shut-down command still queued on the main thread may set the
// quit event until the event loop has ended.
TEST(ServiceHandles, AreClosedOnlyAfterTheDispatcherThreadIsJoined) {
  static int argc = 1;
  static char name[] = "service_startup_test";
  static char *argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);

  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_sessionEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_quitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(g_stopEvent && g_sessionEvent && g_quitEvent);

  ServiceThread thread; // outside the control manager the dispatcher returns at once
  thread.start();
  ASSERT_TRUE(thread.wait(30000));
  for (HANDLE h : {g_stopEvent, g_sessionEvent, g_quitEvent}) EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(g_quitEvent));

  releaseServiceHandles();
  for (HANDLE h : {g_stopEvent, g_sessionEvent, g_quitEvent}) {
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

} // namespace
} // namespace servicetest
