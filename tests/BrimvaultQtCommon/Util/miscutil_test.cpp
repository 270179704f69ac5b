#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>

#include <atomic>

#include "Util/miscutil.h"
#include "qtprint.h"
#include "testenv.h"

namespace {

const QString kNamePattern = "^bv.*_(\\d+)\\.xlog$";
const QString kNumberPattern = "bv.*_(\\d+)\\.xlog";

class Pruning : public ::testing::Test {
protected:
  void SetUp() override {
    static std::atomic<int> n{0};
    folder = QString::fromStdString(testenv::tempDir()) + "/prune" + QString::number(n++);
    ASSERT_TRUE(QDir().mkpath(folder));
  }
  void touch(const QStringList &names) const {
    for (const QString &name : names) {
      QFile f(folder + "/" + name);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << name.toStdString();
    }
  }
  QStringList left() const {
    QDir dir(folder);
    dir.setFilter(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    dir.setSorting(QDir::Name);
    return dir.entryList();
  }
  static QStringList numbered(const QString &prefix, int from, int to) {
    QStringList names;
    for (int i = from; i <= to; ++i) names << QString("%1_%2.xlog").arg(prefix).arg(i);
    return names;
  }
  static QStringList sorted(QStringList l) {
    l.sort();
    return l;
  }
  QString folder;
};

TEST_F(Pruning, KeepsTheHighestNumbersComparedAsIntegers) {
  touch(numbered("bvs", 1, 10));
  MiscUtil::removeOldFiles(folder, 7, kNamePattern, kNumberPattern);
  EXPECT_EQ(left(), sorted(numbered("bvs", 4, 10))); // 9 and 10 compare as numbers, not as text

  MiscUtil::removeOldFiles(folder, 7, kNamePattern, kNumberPattern); // 7 left: nothing more goes
  EXPECT_EQ(left().size(), 7);
  MiscUtil::removeOldFiles(folder, 20, kNamePattern, kNumberPattern);
  EXPECT_EQ(left().size(), 7);
}

TEST_F(Pruning, OnlyMatchingFilesAreCountedAndDeleted) {
  ASSERT_TRUE(QDir().mkpath(folder + "/bvs_1.xlog")); // a folder named like a log
  touch({"bvs_20240101.xlog", "bvs_20240102.xlog", "bvs_20240101_3.xlog", "bvs_20240101.xlog.bak", "readme.txt",
         "BVS_5.XLOG", ".bvs_0.xlog", "bv_tmp_7.xlog"});
  MiscUtil::removeOldFiles(folder, 2, kNamePattern, kNumberPattern);
  // Matching: bvs_20240101_3 (number 3), bv_tmp_7 (7), bvs_20240101, bvs_20240102; the two lowest go.
  EXPECT_EQ(left(), sorted({"bvs_1.xlog", "bvs_20240101.xlog", "bvs_20240102.xlog", "bvs_20240101.xlog.bak",
                            "readme.txt", "BVS_5.XLOG", ".bvs_0.xlog"}));

  // Keeping none deletes every matching file and nothing else; a pattern that matches the hidden file's name
  // still does not reach it.
  MiscUtil::removeOldFiles(folder, 0, "bv.*_(\\d+)\\.xlog$", kNumberPattern);
  EXPECT_EQ(left(), sorted({"bvs_1.xlog", "bvs_20240101.xlog.bak", "readme.txt", "BVS_5.XLOG", ".bvs_0.xlog"}));
}

TEST_F(Pruning, NegativeKeepDeletesNothing) {
  touch(numbered("bvs", 1, 5));
  MiscUtil::removeOldFiles(folder, -1, kNamePattern, kNumberPattern);
  MiscUtil::removeOldFiles(folder, -100000, kNamePattern, kNumberPattern);
  EXPECT_EQ(left().size(), 5);
}

TEST_F(Pruning, EqualNumbersKeepTheirListingOrderAndOverflowingNumbersCountAsZero) {
  touch({"bvx_5.xlog", "bvs_5.xlog", "bv_5.xlog", "bvs_6.xlog"});
  MiscUtil::removeOldFiles(folder, 2, kNamePattern, kNumberPattern);
  // Listed by name without regard to case: bv_5, bvs_5, bvx_5, bvs_6; the stable order deletes the first two.
  EXPECT_EQ(left(), sorted({"bvx_5.xlog", "bvs_6.xlog"}));

  touch({"bvs_99999999999999999999.xlog", "bvs_9223372036854775807.xlog", "bvs_1.xlog"});
  MiscUtil::removeOldFiles(folder, 3, kNamePattern, kNumberPattern);
  // The overflowing name reads as 0 and goes before bvs_1; the largest 64-bit number still fits.
  EXPECT_EQ(left(), sorted({"bvx_5.xlog", "bvs_6.xlog", "bvs_9223372036854775807.xlog"}));
}

TEST_F(Pruning, NamesWithoutANumberSortFirstAndTheSortStaysInTheList) {
  // Between two numbered names, an unnumbered one must not stop the ordering: the highest number stays.
  touch({"a_5.log", "b.log", "c_1.log"});
  MiscUtil::removeOldFiles(folder, 1, "\\.log$", "_(\\d+)\\.log$");
  EXPECT_EQ(left(), QStringList{"a_5.log"});
  ASSERT_TRUE(QFile::remove(folder + "/a_5.log"));

  // Many names that match the name pattern but not the number pattern: the comparator the pruning once used
  // orders them inconsistently, which can run an unstable sort outside the list.
  QStringList unnumbered;
  for (int i = 0; i < 40; ++i) unnumbered << QString("note%1.log").arg(i, 2, 10, QChar('0'));
  touch(unnumbered);
  QStringList withNumber;
  for (int i = 1; i <= 10; ++i) withNumber << QString("run_%1.log").arg(i * 7 % 11);
  touch(withNumber);
  MiscUtil::removeOldFiles(folder, 10, "\\.log$", "_(\\d+)\\.log$");
  EXPECT_EQ(left(), sorted(withNumber));
}

TEST_F(Pruning, MissingFolderOrAFilePathIsNoError) {
  MiscUtil::removeOldFiles(folder + "/tmp", 7, kNamePattern, kNumberPattern);
  touch({"bvs_1.xlog"});
  MiscUtil::removeOldFiles(folder + "/bvs_1.xlog", 0, kNamePattern, kNumberPattern);
  EXPECT_EQ(left(), QStringList{"bvs_1.xlog"});
  EXPECT_TRUE(MiscUtil::getFileNamesByPattern(folder + "/tmp", kNamePattern).isEmpty());
}

TEST_F(Pruning, ListingIsByNameWithoutRegardToCaseAndMatchesAnywhereInTheName) {
  touch({"bvB_1.xlog", "bva_2.xlog", "xbv_3.xlog", "bvc_4.xlog"});
  EXPECT_EQ(MiscUtil::getFileNamesByPattern(folder, "bv.*_\\d"), (QStringList{"bva_2.xlog", "bvB_1.xlog", "bvc_4.xlog",
                                                                             "xbv_3.xlog"}));
  EXPECT_EQ(MiscUtil::getFileNamesByPattern(folder, kNamePattern),
            (QStringList{"bva_2.xlog", "bvB_1.xlog", "bvc_4.xlog"}));
}

TEST(FileNumberOrder, ComparesTheLastNumberBeforeTheExtensionAsAnInteger) {
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_9.xlog", "bvs_10.xlog", kNumberPattern));
  EXPECT_FALSE(MiscUtil::compareFileNumber("bvs_10.xlog", "bvs_9.xlog", kNumberPattern));
  EXPECT_FALSE(MiscUtil::compareFileNumber("bvs_9.xlog", "bvs_9.xlog", kNumberPattern));
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_20240101.xlog", "bvs_20240102.xlog", kNumberPattern));
  // The greedy ".*" leaves the digits after the last underscore: 3, not 20240101.
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_20240101_3.xlog", "bvs_4.xlog", kNumberPattern));
  // A name without a match is neither less nor greater.
  EXPECT_FALSE(MiscUtil::compareFileNumber("readme.txt", "bvs_4.xlog", kNumberPattern));
  EXPECT_FALSE(MiscUtil::compareFileNumber("bvs_4.xlog", "readme.txt", kNumberPattern));
  // A number too large for 64 bits reads as 0.
  EXPECT_TRUE(MiscUtil::compareFileNumber("bvs_99999999999999999999.xlog", "bvs_1.xlog", kNumberPattern));
}

} // namespace
