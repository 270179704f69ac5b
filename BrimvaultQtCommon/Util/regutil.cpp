#include "Util/regutil.h"

#include <vector>

#include "Log/log.h"
#include "Util/stringutil.h"

namespace {

const WCHAR *wide(const QString &s) { return reinterpret_cast<const WCHAR *>(s.utf16()); }

unsigned int hex(LSTATUS rc) { return static_cast<unsigned int>(rc); }

// Result of the two-call read of a string or multi-string value.
struct StringRead {
  LSTATUS status = ERROR_SUCCESS;
  bool sizeQueryFailed = false;
  std::vector<WCHAR> buffer;
  DWORD bytes = 0; // bytes the read delivered

  // The delivered text, bounded by the bytes delivered and by the first NUL.
  QString text() const {
    const size_t chars = bytes / 2;
    size_t n = 0;
    while (n < chars && buffer[n] != 0) ++n;
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer.data()), static_cast<qsizetype>(n));
  }
};

// Size query, then the read. The buffer is sized from the reported bytes rounded up to whole characters, plus
// one zero character, and the call is told its real size: a value of odd size, or one stored without its NUL,
// can neither overrun it nor leave it unterminated.
StringRead readStringValue(HKEY root, const QString &subKey, const QString &valueName, DWORD flags) {
  StringRead r;
  DWORD bytes = 0;
  r.status = RegGetValueW(root, wide(subKey), wide(valueName), flags, nullptr, nullptr, &bytes);
  if (r.status != ERROR_SUCCESS && r.status != ERROR_MORE_DATA) {
    r.sizeQueryFailed = true;
    return r;
  }
  const size_t chars = (static_cast<size_t>(bytes) + 1) / 2 + 1;
  r.buffer.assign(chars, 0);
  r.bytes = static_cast<DWORD>(chars * sizeof(WCHAR));
  r.status = RegGetValueW(root, wide(subKey), wide(valueName), flags, nullptr, r.buffer.data(), &r.bytes);
  if (r.status != ERROR_SUCCESS) r.bytes = 0;
  return r;
}

bool containsIgnoreCase(const QStringList &list, const QString &value) {
  return list.contains(value, Qt::CaseInsensitive);
}

} // namespace

// Logs the argument check in the operation's own name and returns its failure result.
#define REGUTIL_CHECK_ARGS(subKey, valueName, failure)                                                    \
  do {                                                                                                    \
    if ((subKey).isEmpty() || (valueName).isEmpty()) {                                                    \
      LOGI("subKey.isEmpty(%d), valueName.isEmpty(%d)", (subKey).isEmpty() ? 1 : 0,                        \
           (valueName).isEmpty() ? 1 : 0);                                                                \
      return failure;                                                                                     \
    }                                                                                                     \
  } while (0)

RegUtil::RegUtil(QObject *parent) : QObject(parent) {}

QString RegUtil::getRegSzValue(HKEY root, const QString &subKey, const QString &valueName) {
  REGUTIL_CHECK_ARGS(subKey, valueName, QString());
  const StringRead r = readStringValue(root, subKey, valueName, RRF_RT_REG_SZ);
  if (r.status != ERROR_SUCCESS) {
    LOGI("RegGetValue failed with: 0x%x", hex(r.status));
    return QString();
  }
  return r.text();
}

DWORD RegUtil::getRegDwordValue(HKEY root, const QString &subKey, const QString &valueName, DWORD defaultValue) {
  REGUTIL_CHECK_ARGS(subKey, valueName, defaultValue);
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(root, wide(subKey), wide(valueName), RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    return defaultValue;
  return value;
}

bool RegUtil::setRegDwordValue(HKEY root, const QString &subKey, const QString &valueName, DWORD value) {
  REGUTIL_CHECK_ARGS(subKey, valueName, false);
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, wide(subKey), 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
    DWORD disposition = 0;
    const LSTATUS rc = RegCreateKeyExW(root, wide(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                       &key, &disposition);
    if (rc != ERROR_SUCCESS) {
      LOGI("RegCreateKeyEx failed with: 0x%x", hex(rc));
      return false;
    }
  }
  const LSTATUS rc =
      RegSetValueExW(key, wide(valueName), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    LOGI("RegSetValueEx failed with: 0x%x", hex(rc));
    return false;
  }
  return true;
}

bool RegUtil::isRegMultiSzContainsValue(HKEY root, const QString &subKey, const QString &valueName,
                                        const QString &valueToBeChecked) {
  if (subKey.isEmpty() || valueName.isEmpty() || valueToBeChecked.isEmpty()) {
    LOGI("subKey.isEmpty(%d), valueName.isEmpty(%d), valueToBeChecked.isEmpty(%d)", subKey.isEmpty() ? 1 : 0,
         valueName.isEmpty() ? 1 : 0, valueToBeChecked.isEmpty() ? 1 : 0);
    return false;
  }
  const StringRead r = readStringValue(root, subKey, valueName, RRF_RT_REG_MULTI_SZ);
  if (r.status != ERROR_SUCCESS) {
    LOGI("RegGetValue failed with: 0x%x", hex(r.status));
    return false;
  }
  return containsIgnoreCase(StringUtil::multiSzToStringList(r.buffer.data(), r.bytes), valueToBeChecked);
}

bool RegUtil::setRegMultiSzValue(HKEY root, const QString &subKey, const QString &valueName,
                                 const QStringList &values) {
  REGUTIL_CHECK_ARGS(subKey, valueName, false);
  DWORD bytes = 0;
  const std::shared_ptr<WCHAR[]> buffer = StringUtil::stringListToMultiSz(values, bytes);
  const LSTATUS rc = RegSetKeyValueW(root, wide(subKey), wide(valueName), REG_MULTI_SZ, buffer.get(), bytes);
  if (rc != ERROR_SUCCESS) {
    LOGI("RegSetKeyValueW failed with: 0x%x", hex(rc));
    return false;
  }
  return true;
}

bool RegUtil::appendRegMultiSzValue(HKEY root, const QString &subKey, const QString &valueName,
                                    const QStringList &values) {
  REGUTIL_CHECK_ARGS(subKey, valueName, false);
  const StringRead r = readStringValue(root, subKey, valueName, RRF_RT_REG_MULTI_SZ);
  if (r.sizeQueryFailed && r.status == ERROR_FILE_NOT_FOUND) return setRegMultiSzValue(root, subKey, valueName, values);
  if (r.status != ERROR_SUCCESS) {
    LOGI("RegGetValueW failed with: 0x%x", hex(r.status));
    return false;
  }
  QStringList list = StringUtil::multiSzToStringList(r.buffer.data(), r.bytes);
  for (const QString &value : values) {
    if (!containsIgnoreCase(list, value)) list.append(value);
  }
  return setRegMultiSzValue(root, subKey, valueName, list);
}

bool RegUtil::removeRegMultiSzValue(HKEY root, const QString &subKey, const QString &valueName,
                                    const QStringList &values) {
  REGUTIL_CHECK_ARGS(subKey, valueName, false);
  const StringRead r = readStringValue(root, subKey, valueName, RRF_RT_REG_MULTI_SZ);
  if (r.sizeQueryFailed && r.status == ERROR_FILE_NOT_FOUND) return true;
  if (r.status != ERROR_SUCCESS) {
    LOGI("RegGetValueW failed with: 0x%x", hex(r.status));
    return false;
  }
  QStringList list = StringUtil::multiSzToStringList(r.buffer.data(), r.bytes);
  bool changed = false;
  for (const QString &value : values) {
    // Removed without regard to case, as the membership test finds it: otherwise "a" would report success
    // while a stored "A" stays.
    if (!containsIgnoreCase(list, value)) continue;
    list.removeIf([&](const QString &entry) { return entry.compare(value, Qt::CaseInsensitive) == 0; });
    changed = true;
  }
  return changed ? setRegMultiSzValue(root, subKey, valueName, list) : true;
}

QStringList RegUtil::getSubKeyNames(HKEY root, const QString &subKey) {
  QStringList names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, wide(subKey), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    WCHAR name[256] = {};
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    qsizetype n = 0;
    while (n < 256 && name[n] != 0) ++n;
    names.append(QString::fromUtf16(reinterpret_cast<const char16_t *>(name), n));
  }
  RegCloseKey(key);
  return names;
}
