// Test main on Windows: a fresh temp folder per test process, removed afterwards unless the test failed.
#include <gtest/gtest.h>

#include <windows.h>

#include <QDir>
#include <QString>

#include <string>

#include "testenv.h"

namespace testenv {
void setUp(const std::string &base);
}

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const QString base = QDir::temp().filePath(QString("bvtest-%1").arg(GetCurrentProcessId()));
  QDir(base).removeRecursively(); // a folder of an earlier process with the same id
  if (!QDir().mkpath(base)) return 2;
  testenv::setUp(QDir::fromNativeSeparators(base).toStdString());
  const int rc = RUN_ALL_TESTS();
  if (rc == 0) QDir(base).removeRecursively();
  return rc;
}
