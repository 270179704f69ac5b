#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "Util/miscutil.h"
#include "qtprint.h"
#include "testenv.h"

namespace {

// The service's patterns.
const QString kName = "^bv.*_(\\d+)\\.xlog$";
const QString kNumber = "bv.*_(\\d+)\\.xlog";

class Pruning : public ::testing::Test {
protected:
  void SetUp() override {
    folder = QString::fromStdString(testenv::tempDir()) + "/" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(QDir().mkpath(folder));
  }
  void touch(const QStringList &names) const {
    for (const QString &name : names) {
      QFile f(folder + "/" + name);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << name.toStdString();
    }
  }
  QStringList left() const {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  }
  static QStringList numbered(int from, int to) {
    QStringList names;
    for (int i = from; i <= to; ++i) names << QString("bvs_%1.xlog").arg(i);
    names.sort();
    return names;
  }
  QString folder;
};

// Only regular files of the real folder go: a folder given as a link is left alone, and a link among the files is
// neither counted nor followed. Host symbolic links are the emulated machine's reparse points; on Windows, Qt makes
// shortcut files instead.
#ifndef _WIN32
TEST_F(Pruning, NothingGoesThroughALink) {
  touch(numbered(1, 10));
  ASSERT_TRUE(QFile::link(folder, folder + "-link"));
  MiscUtil::removeOldFiles(folder + "-link", 0, kName, kNumber);
  EXPECT_EQ(left(), numbered(1, 10));

  const QString outside = folder + "-link/bvs_10.xlog"; // reached through the folder link
  ASSERT_TRUE(QFile::link(outside, folder + "/bvs_0.xlog"));
  MiscUtil::removeOldFiles(folder, 9, kName, kNumber);
  EXPECT_EQ(left(), QStringList({"bvs_0.xlog"}) + numbered(2, 10));
}
#endif

TEST_F(Pruning, KeepsTheHighestNumbersComparedAsIntegersAndNeverMoreThanAsked) {
  touch(numbered(1, 10));
  MiscUtil::removeOldFiles(folder, 7, kName, kNumber);
  EXPECT_EQ(left(), numbered(4, 10)); // 9 and 10 compare as numbers, not as text
  MiscUtil::removeOldFiles(folder, 7, kName, kNumber);
  MiscUtil::removeOldFiles(folder, 20, kName, kNumber);
  MiscUtil::removeOldFiles(folder, -1, kName, kNumber); // outside the range: nothing goes
  EXPECT_EQ(left(), numbered(4, 10));
  MiscUtil::removeOldFiles(folder + "/tmp", 0, kName, kNumber);        // a missing folder
  MiscUtil::removeOldFiles(folder + "/bvs_4.xlog", 0, kName, kNumber); // a file, not a folder
  EXPECT_EQ(left(), numbered(4, 10));
  MiscUtil::removeOldFiles(folder, 0, kName, kNumber);
  EXPECT_EQ(left(), QStringList{});
}

TEST_F(Pruning, OnlyMatchingFilesAreCountedAndDeleted) {
  ASSERT_TRUE(QDir().mkpath(folder + "/bvs_1.xlog")); // a folder named like a log
  touch({"bvs_20240101.xlog", "bvs_20240102.xlog", "bvs_20240101_3.xlog", "bvs_20240101.xlog.bak", "readme.txt",
         "BVS_5.XLOG", ".bvs_0.xlog", "bv_tmp_7.xlog"});
  EXPECT_EQ(MiscUtil::getFileNamesByPattern(folder, "_\\d"), // by name without regard to case; a match anywhere
            (QStringList{"bv_tmp_7.xlog", "bvs_20240101.xlog", "bvs_20240101.xlog.bak", "bvs_20240101_3.xlog",
                         "bvs_20240102.xlog", "BVS_5.XLOG"}));
  MiscUtil::removeOldFiles(folder, 2, kName, kNumber);
  // Matching: bvs_20240101_3 (number 3), bv_tmp_7, bvs_20240101, bvs_20240102; the two lowest go.
  EXPECT_EQ(left(), (QStringList{".bvs_0.xlog", "BVS_5.XLOG", "bvs_1.xlog", "bvs_20240101.xlog",
                                 "bvs_20240101.xlog.bak", "bvs_20240102.xlog", "readme.txt"}));
  // A pattern that matches the hidden file's name still does not reach it.
  MiscUtil::removeOldFiles(folder, 0, "bv.*_(\\d+)\\.xlog$", kNumber);
  EXPECT_EQ(left(), (QStringList{".bvs_0.xlog", "BVS_5.XLOG", "bvs_1.xlog", "bvs_20240101.xlog.bak", "readme.txt"}));
}

TEST_F(Pruning, EqualNumbersKeepTheirListingOrderAndOverflowingNumbersCountAsZero) {
  touch({"bvx_5.xlog", "bvs_5.xlog", "bv_5.xlog", "bvs_6.xlog"});
  MiscUtil::removeOldFiles(folder, 2, kName, kNumber);
  // Listed as bv_5, bvs_5, bvx_5, bvs_6: the stable order deletes the first two.
  EXPECT_EQ(left(), (QStringList{"bvs_6.xlog", "bvx_5.xlog"}));
  touch({"bvs_99999999999999999999.xlog", "bvs_9223372036854775807.xlog", "bvs_1.xlog"});
  MiscUtil::removeOldFiles(folder, 3, kName, kNumber);
  // The overflowing name reads as 0 and goes before bvs_1; the largest 64-bit number still fits.
  EXPECT_EQ(left(), (QStringList{"bvs_6.xlog", "bvs_9223372036854775807.xlog", "bvx_5.xlog"}));
}

TEST_F(Pruning, NamesWithoutANumberGoFirstAndNeverStopTheOrdering) {
  touch({"a_5.log", "b.log", "c_1.log"}); // an unnumbered name between two numbered ones
  MiscUtil::removeOldFiles(folder, 1, "\\.log$", "_(\\d+)\\.log$");
  EXPECT_EQ(left(), QStringList{"a_5.log"});

  QStringList withNumber{"a_5.log"};
  for (int i = 0; i < 40; ++i) touch({QString("note%1.log").arg(i, 2, 10, QChar('0'))});
  for (int i = 1; i <= 9; ++i) withNumber << QString("run_%1.log").arg(i * 7 % 11);
  touch(withNumber);
  MiscUtil::removeOldFiles(folder, 10, "\\.log$", "_(\\d+)\\.log$");
  withNumber.sort();
  EXPECT_EQ(left(), withNumber);
}

TEST(FileNumberOrder, ComparesTheLastNumberBeforeTheExtensionAsAnInteger) {
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_9.xlog", "bvs_10.xlog", kNumber));
  EXPECT_FALSE(MiscUtil::compareFileNumber("bvs_10.xlog", "bvs_9.xlog", kNumber));
  EXPECT_FALSE(MiscUtil::compareFileNumber("bvs_9.xlog", "bvs_9.xlog", kNumber));
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_20240101.xlog", "bvs_20240102.xlog", kNumber));
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_20240101_3.xlog", "bvs_4.xlog", kNumber)); // greedy ".*"
  EXPECT_FALSE(MiscUtil::compareFileNumber("readme.txt", "bvs_4.xlog", kNumber));
  EXPECT_FALSE(MiscUtil::compareFileNumber("bvs_4.xlog", "readme.txt", kNumber));
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_99999999999999999999.xlog", "bvs_1.xlog", kNumber));
}

} // namespace
