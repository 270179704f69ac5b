// The one seam for Windows paths: fixed folders ("C:/Brimvault/log/bvs") and paths that callers pass. Identity to
// Qt on Windows; elsewhere the emulated machine's rules (drive letters mapped under its root, backslashes, the
// current folder).
#pragma once

#include <QString>

// A Windows path as Qt's file classes reach it (fixed folders, program paths, INF files).
QString hostFolder(const QString &windowsFolder);
// The Windows form of a host path (the current folder, the module path): "C:/x" for a path under a mapped drive,
// otherwise unchanged. Forward slashes, as Qt gives its own paths.
QString windowsForm(const QString &hostPath);
// QDir::toNativeSeparators as Windows has it: backslashes.
QString nativeSeparators(const QString &path);
// QDir(path).absolutePath() as Windows has it: a relative path resolves against the current folder; forward
// slashes, "." and ".." folded.
QString absoluteWindowsPath(const QString &path);
