#include "hostpath.h"

#include <QDir>

#ifndef _WIN32
#include "emu/emu.h"
#endif

QString hostFolder(const QString &windowsFolder) {
#ifdef _WIN32
  return windowsFolder;
#else
  return QString::fromStdString(emu::hostPath(windowsFolder.toStdString()));
#endif
}

QString windowsForm(const QString &hostPath) {
#ifdef _WIN32
  return QDir::fromNativeSeparators(hostPath);
#else
  return QString::fromStdString(emu::windowsPath(hostPath.toStdString())).replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
}

QString nativeSeparators(const QString &path) {
#ifdef _WIN32
  return QDir::toNativeSeparators(path);
#else
  return QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
#endif
}

QString absoluteWindowsPath(const QString &path) {
#ifdef _WIN32
  return QDir(path).absolutePath();
#else
  // Through the host: a drive path maps under the root, anything else is taken against the current folder.
  return windowsForm(QDir::cleanPath(QDir(hostFolder(path)).absolutePath()));
#endif
}
