#include "Util/miscutil.h"

#include <windows.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Capture 1 of the first match as a signed 64-bit number; 0 when the name does not match or the number does not
// fit. `matched` tells the two apart.
qint64 fileNumber(const QRegularExpression &numberPattern, const QString &name, bool *matched = nullptr) {
  const QRegularExpressionMatch m = numberPattern.match(name);
  if (matched) *matched = m.hasMatch();
  if (!m.hasMatch()) return 0;
  bool ok = false;
  const qint64 number = m.captured(1).toLongLong(&ok, 10);
  return ok ? number : 0;
}

using WString = std::basic_string<WCHAR>;

WString wide(const QString &text) { return WString(reinterpret_cast<const WCHAR *>(text.utf16()), text.size()); }

// Names of the regular files in a real folder, by name without regard to case as QDir lists them. The folder and
// its entries are read through the system's own calls, which tell a link from what it points at.
QStringList regularFilesIn(const QString &folder) {
  QStringList names;
  const DWORD attributes = GetFileAttributesW(wide(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(wide(folder + QStringLiteral("\\*")).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN))
      continue;
    names.append(QString::fromUtf16(reinterpret_cast<const char16_t *>(entry.cFileName)));
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  names.sort(Qt::CaseInsensitive);
  return names;
}

} // namespace

MiscUtil::MiscUtil(QObject *parent) : QObject(parent) {}

QStringList MiscUtil::getFileNamesByPattern(const QString &folderPath, const QString &namePattern) {
  QStringList result;
  QDir dir(folderPath);
  if (!dir.exists()) return result;
  dir.setFilter(QDir::Files);
  const QStringList entries = dir.entryList();
  if (entries.isEmpty()) return result;
  const QRegularExpression pattern(namePattern);
  for (const QString &name : entries) {
    if (pattern.match(name).hasMatch()) result.append(name);
  }
  return result;
}

bool MiscUtil::compareFileNumber(const QString &first, const QString &second, const QString &numberPattern) {
  const QRegularExpression pattern(numberPattern);
  bool firstMatched = false, secondMatched = false;
  const qint64 a = fileNumber(pattern, first, &firstMatched);
  if (!firstMatched) return false;
  const qint64 b = fileNumber(pattern, second, &secondMatched);
  return secondMatched && a < b;
}

void MiscUtil::removeOldFiles(const QString &folderPath, int keepCount, const QString &namePattern,
                              const QString &numberPattern) {
  if (keepCount < 0) return; // outside the range: nothing is deleted
  QStringList names;
  const QRegularExpression namePatternRe(namePattern);
  for (const QString &name : regularFilesIn(folderPath))
    if (namePatternRe.match(name).hasMatch()) names.append(name);
  if (names.size() <= keepCount) return;

  // One number per name, then a stable sort: a comparator that calls names without a number equal to every
  // other name is no strict weak ordering, and std::sort could run outside the list with it.
  const QRegularExpression pattern(numberPattern);
  std::vector<std::pair<qint64, QString>> numbered;
  numbered.reserve(static_cast<size_t>(names.size()));
  for (const QString &name : names) numbered.emplace_back(fileNumber(pattern, name), name);
  std::stable_sort(numbered.begin(), numbered.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });

  const size_t toDelete = numbered.size() - static_cast<size_t>(keepCount);
  for (size_t i = 0; i < toDelete; ++i)
    DeleteFileW(wide(folderPath + QLatin1Char('\\') + numbered[i].second).c_str());
}
