// Registry strings, 32-bit values and multi-strings. Failures are logged at info level and returned as false, an
// empty result or the caller's default.
#pragma once

#include <windows.h>

#include <QObject>
#include <QString>
#include <QStringList>

class RegUtil : public QObject {
  Q_OBJECT

public:
  explicit RegUtil(QObject *parent = nullptr);

  static QString getRegSzValue(HKEY root, const QString &subKey, const QString &valueName);
  static DWORD getRegDwordValue(HKEY root, const QString &subKey, const QString &valueName, DWORD defaultValue);
  static bool setRegDwordValue(HKEY root, const QString &subKey, const QString &valueName, DWORD value);
  static bool isRegMultiSzContainsValue(HKEY root, const QString &subKey, const QString &valueName,
                                        const QString &valueToBeChecked);
  static bool setRegMultiSzValue(HKEY root, const QString &subKey, const QString &valueName,
                                 const QStringList &values);
  static bool appendRegMultiSzValue(HKEY root, const QString &subKey, const QString &valueName,
                                    const QStringList &values);
  static bool removeRegMultiSzValue(HKEY root, const QString &subKey, const QString &valueName,
                                    const QStringList &values);
  static QStringList getSubKeyNames(HKEY root, const QString &subKey);
};
