// Files and folders: dump files in a tree, removal of a path, the driver data folder.
#include "Util/miscutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSet>

#include "Log/hostpath.h"

namespace {

// Dump files in a folder and below. Links to folders are followed, but each folder is counted once by its
// canonical path, so a link cycle ends.
int countIn(const QString &folder, QSet<QString> *visited) {
  QDir dir(folder);
  if (!dir.exists()) return 0;
  const QString canonical = dir.canonicalPath();
  if (visited->contains(canonical)) return 0;
  visited->insert(canonical);
  dir.setFilter(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
  int count = 0;
  for (const QFileInfo &entry : dir.entryInfoList()) {
    if (entry.isDir())
      count += countIn(entry.absoluteFilePath(), visited);
    else if (entry.isFile() && entry.suffix().toLower() == QLatin1String("dmp"))
      ++count;
  }
  return count;
}

} // namespace

int MiscUtil::countDumpFiles(const QString &folderPath) {
  QSet<QString> visited;
  return countIn(hostFolder(folderPath), &visited);
}

bool MiscUtil::removePath(const QString &path) {
  if (path.isEmpty()) return true;
  const QString host = hostFolder(path);
  const QFileInfo info(host);
  // A link (or junction) goes as a link: following it would empty a folder outside the named path.
  if (info.isSymLink() || info.isJunction()) return QFile::remove(host) || QDir().rmdir(host);
  if (!QDir().exists(host)) return true;
  if (info.isFile()) return QFile::remove(host);
  if (info.isDir()) return QDir(host).removeRecursively();
  return true;
}

QString MiscUtil::getDriverDataPath() {
  const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  QString folder = environment.value(QStringLiteral("DriverData"), QString());
  if (folder.isEmpty())
    folder = environment.value(QStringLiteral("SystemRoot"), QStringLiteral("C:\\Windows")) +
             QStringLiteral("\\System32\\Drivers\\DriverData");
  return absoluteWindowsPath(folder);
}
