#include "hostpath.h"

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
