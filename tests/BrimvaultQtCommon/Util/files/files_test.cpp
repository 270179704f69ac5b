#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cstdlib>

#include "Util/miscutil.h"
#include "qtprint.h"
#include "testenv.h"

namespace {

class Files : public ::testing::Test {
protected:
  void SetUp() override {
    folder = QString::fromStdString(testenv::tempDir()) + "/" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(QDir().mkpath(folder));
  }
  void touch(const QStringList &paths) const {
    for (const QString &p : paths) {
      QDir().mkpath(QFileInfo(folder + "/" + p).absolutePath());
      QFile f(folder + "/" + p);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << p.toStdString();
    }
  }
  void link(const QString &target, const QString &name) const {
    ASSERT_TRUE(QFile::link(folder + "/" + target, folder + "/" + name)) << name.toStdString();
  }
  QString folder;
};

TEST_F(Files, DumpFilesAreCountedByExtensionThroughEveryFolderOnce) {
  touch({"tree/a.dmp", "tree/b.DMP", "tree/c.dmp.txt", "tree/dmp", "tree/sub/d.dmp", "tree/x.dmp/e.dmp",
         "tree/.hidden.dmp", "tree/.hid/f.dmp"});
  EXPECT_EQ(MiscUtil::countDumpFiles(folder + "/tree"), 4);
  // A link to a folder outside is counted through once; links back up the tree end instead of recursing forever.
  touch({"outside/g.dmp"});
  link("outside", "tree/sub/out");
  link("outside", "tree/out2");
  link("tree", "tree/sub/up");
  EXPECT_EQ(MiscUtil::countDumpFiles(folder + "/tree"), 5);
  EXPECT_EQ(MiscUtil::countDumpFiles(folder + "/missing"), 0);
  EXPECT_EQ(MiscUtil::countDumpFiles(folder + "/tree/a.dmp"), 0);
}

TEST_F(Files, RemovePathDeletesFilesFoldersAndLinksButNeverALinksTarget) {
  touch({"target/keep.txt", "target/inner/keep.dmp", "gone/a/b.txt", "file.txt"});
  link("target", "folder-link");
  link("target/keep.txt", "file-link");
  EXPECT_TRUE(MiscUtil::removePath(folder + "/folder-link"));
  EXPECT_TRUE(MiscUtil::removePath(folder + "/file-link"));
  EXPECT_FALSE(QFileInfo(folder + "/folder-link").isSymLink());
  EXPECT_FALSE(QFileInfo(folder + "/file-link").isSymLink());
  EXPECT_TRUE(QFile::exists(folder + "/target/keep.txt"));
  EXPECT_TRUE(QFile::exists(folder + "/target/inner/keep.dmp"));

  link("nowhere", "dangling");
  EXPECT_TRUE(MiscUtil::removePath(folder + "/dangling"));
  EXPECT_FALSE(QFileInfo(folder + "/dangling").isSymLink());
  EXPECT_TRUE(MiscUtil::removePath(folder + "/gone"));
  EXPECT_TRUE(MiscUtil::removePath(folder + "/file.txt"));
  EXPECT_FALSE(QFileInfo::exists(folder + "/gone"));
  EXPECT_FALSE(QFileInfo::exists(folder + "/file.txt"));
  EXPECT_TRUE(MiscUtil::removePath(""));
  EXPECT_TRUE(MiscUtil::removePath(folder + "/never"));
}

TEST_F(Files, DriverDataPathComesFromTheEnvironmentInWindowsForm) {
  setenv("DriverData", "C:\\Windows\\System32\\Drivers\\DriverData", 1);
  setenv("SystemRoot", "D:\\Win", 1);
  EXPECT_EQ(MiscUtil::getDriverDataPath(), "C:/Windows/System32/Drivers/DriverData");
  unsetenv("DriverData");
  EXPECT_EQ(MiscUtil::getDriverDataPath(), "D:/Win/System32/Drivers/DriverData");
  unsetenv("SystemRoot");
  EXPECT_EQ(MiscUtil::getDriverDataPath(), "C:/Windows/System32/Drivers/DriverData");
}

} // namespace
