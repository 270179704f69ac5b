// Miscellaneous static operations of the utility library. Each group lives in a source file of its own; the
// pruning of numbered files is in miscutil.cpp.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class MiscUtil : public QObject {
  Q_OBJECT

public:
  explicit MiscUtil(QObject *parent = nullptr);

  // --- pruning of numbered files ---
  // Keeps the keepCount matching files with the highest numbers in folderPath and deletes the other matching ones.
  static void removeOldFiles(const QString &folderPath, int keepCount, const QString &namePattern,
                             const QString &numberPattern);
  // Names of the files (no folders, no hidden files) whose names match namePattern, in listing order.
  static QStringList getFileNamesByPattern(const QString &folderPath, const QString &namePattern);
  // True when both names match numberPattern and the first name's number is the smaller.
  static bool compareFileNumber(const QString &first, const QString &second, const QString &numberPattern);
};
