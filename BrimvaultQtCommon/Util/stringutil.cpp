#include "Util/stringutil.h"

#include <cstring>

StringUtil::StringUtil(QObject *parent) : QObject(parent) {}

QStringList StringUtil::multiSzToStringList(const WCHAR *buffer, DWORD byteSize) {
  QStringList list;
  if (byteSize < 2 || !buffer) return list;
  const WCHAR *const end = buffer + byteSize / 2; // an odd last byte is ignored
  const WCHAR *p = buffer;
  while (p < end && *p != 0) {
    const WCHAR *q = p;
    while (q < end && *q != 0) ++q; // a last string without its NUL ends at the end of the buffer
    list.append(QString::fromUtf16(reinterpret_cast<const char16_t *>(p), q - p));
    p = q + 1;
  }
  return list;
}

std::shared_ptr<WCHAR[]> StringUtil::stringListToMultiSz(const QStringList &list, DWORD &byteSize) {
  DWORD size = 2;
  for (const QString &s : list) {
    if (!s.isEmpty()) size += static_cast<DWORD>(2 * s.size() + 2);
  }
  byteSize = size;
  std::shared_ptr<WCHAR[]> buffer(new WCHAR[size / 2]);
  WCHAR *p = buffer.get();
  for (const QString &s : list) {
    if (s.isEmpty()) continue;
    memcpy(p, s.utf16(), static_cast<size_t>(s.size()) * sizeof(WCHAR));
    p += s.size();
    *p++ = 0;
  }
  *p = 0;
  return buffer;
}

QString StringUtil::guidToString(const GUID &guid) {
  QString text = QString("%1-%2-%3-%4%5-%6%7%8%9%10%11")
                     .arg(static_cast<uint>(guid.Data1), 8, 16, QChar('0'))
                     .arg(static_cast<uint>(guid.Data2), 4, 16, QChar('0'))
                     .arg(static_cast<uint>(guid.Data3), 4, 16, QChar('0'));
  for (int i = 0; i < 8; ++i) text = text.arg(static_cast<uint>(guid.Data4[i]), 2, 16, QChar('0'));
  return text.toUpper();
}

bool StringUtil::isEqualIgnoreCase(const QString &a, const QString &b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool StringUtil::copyToWcharBuffer(const QString &text, WCHAR *buffer, qint64 capacity) {
  if (!buffer || static_cast<qint64>(text.size()) >= capacity) return false;
  memcpy(buffer, text.utf16(), static_cast<size_t>(text.size()) * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return true;
}
