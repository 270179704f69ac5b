// Text conversions between Qt strings and the forms the Windows interfaces use.
#pragma once

#include <windows.h>

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class StringUtil : public QObject {
  Q_OBJECT

public:
  explicit StringUtil(QObject *parent = nullptr);

  // A run of NUL-terminated strings ended by an empty one, read no further than byteSize bytes.
  static QStringList multiSzToStringList(const WCHAR *buffer, DWORD byteSize);
  // The list as such a run (empty strings dropped); byteSize receives its size in bytes.
  static std::shared_ptr<WCHAR[]> stringListToMultiSz(const QStringList &list, DWORD &byteSize);
  // 8-4-4-4-12 upper-case hexadecimal digits, no braces.
  static QString guidToString(const GUID &guid);
  static bool isEqualIgnoreCase(const QString &a, const QString &b);
  // Copies text and its NUL when both fit into capacity characters.
  static bool copyToWcharBuffer(const QString &text, WCHAR *buffer, qint64 capacity);
};
