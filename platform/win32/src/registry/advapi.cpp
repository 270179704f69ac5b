// advapi32 registry calls over the machine's key tree. They return their status and leave the last error alone,
// as the real calls do; injected failures come back as the returned status.
#include <windows.h>

#include "emu/account.h"
#include "emu/emu.h"
#include "registry/store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using emu::reg::Key;
using emu::reg::Name;
using emu::reg::Path;
using emu::reg::Tree;
using emu::reg::Value;

#define REG_FAIL_POINT(name)                          \
  do {                                                \
    if (DWORD reg_code_ = ::emu::failureFor(name))     \
      return static_cast<LSTATUS>(reg_code_);         \
  } while (0)

namespace {

constexpr DWORD kMaximumAllowed = 0x02000000;

struct RegKeyObject : emu::KernelObject {
  Path path;
  REGSAM access = 0;
  const char *typeName() const override { return "Key"; }
};

// Where a handle points and what it may do.
struct Target {
  Path path;
  REGSAM access = 0;
  bool predefined = false;
};

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// The default security of the machine's keys lets everyone read them but only an elevated administrator or
// LocalSystem change them; HKCR and HKCC are keys there too. Other hives are the caller's own.
REGSAM allowedRights(const Path &path) {
  static const Name machine = u"HKEY_LOCAL_MACHINE";
  const bool machineKey = !path.empty() && emu::reg::sameName(path.front(), machine);
  return machineKey && !emu::currentIsAdministrator() ? static_cast<REGSAM>(~kWriteRights) : ~static_cast<REGSAM>(0);
}

// The rights a handle to `path` gets for `sam`, or ERROR_ACCESS_DENIED when one asked for is not allowed.
// MAXIMUM_ALLOWED takes whatever is allowed.
LSTATUS grantAccess(const Path &path, REGSAM sam, REGSAM *granted) {
  REGSAM a = sam & ~static_cast<REGSAM>(KEY_WOW64_RES); // one view: the WOW64 flags change nothing
  const REGSAM allowed = allowedRights(path);
  if (a & kMaximumAllowed) a = (a & ~kMaximumAllowed) | (KEY_ALL_ACCESS & allowed);
  if (a & GENERIC_ALL) a |= KEY_ALL_ACCESS;
  if (a & GENERIC_READ) a |= KEY_READ;
  if (a & GENERIC_WRITE) a |= KEY_WRITE;
  if (a & GENERIC_EXECUTE) a |= KEY_EXECUTE;
  if (a & ~allowed) return ERROR_ACCESS_DENIED;
  *granted = a;
  return ERROR_SUCCESS;
}

LSTATUS target(HKEY h, Target *t) {
  static const struct {
    HKEY key;
    const char16_t *name;
  } predefined[] = {
      {HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE"}, {HKEY_CURRENT_USER, u"HKEY_CURRENT_USER"},
      {HKEY_USERS, u"HKEY_USERS"},                 {HKEY_CLASSES_ROOT, u"HKEY_CLASSES_ROOT"},
      {HKEY_CURRENT_CONFIG, u"HKEY_CURRENT_CONFIG"},
  };
  for (const auto &p : predefined) {
    if (p.key == h) {
      emu::reg::hivePath(p.name, &t->path);
      t->access = KEY_ALL_ACCESS & allowedRights(t->path);
      t->predefined = true;
      return ERROR_SUCCESS;
    }
  }
  auto obj = emu::lookupHandleAs<RegKeyObject>(h);
  if (!obj) return ERROR_INVALID_HANDLE;
  t->path = obj->path;
  t->access = obj->access;
  t->predefined = false;
  return ERROR_SUCCESS;
}

Path join(const Path &a, const Path &b) {
  Path p = a;
  p.insert(p.end(), b.begin(), b.end());
  return p;
}

// The key at base + sub for reading. A handle whose key has gone reports ERROR_KEY_DELETED.
LSTATUS findKey(const Tree &tree, const Target &t, const Path &sub, const Key **out) {
  if (!t.predefined && !tree.find(t.path)) return ERROR_KEY_DELETED;
  *out = tree.find(join(t.path, sub));
  return *out ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// The key at base + sub for writing; a predefined root's key is made when missing (HKCR, HKCC).
LSTATUS writableKey(Tree &tree, const Target &t, const Path &sub, Key **out) {
  if (!t.predefined && !tree.find(t.path)) return ERROR_KEY_DELETED;
  if (t.predefined && sub.empty()) {
    *out = &tree.create(t.path);
    return ERROR_SUCCESS;
  }
  *out = tree.find(join(t.path, sub));
  return *out ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

Name valueName(LPCWSTR name) { return name ? Name(name) : Name(); }

HKEY newHandle(const Path &path, REGSAM access) {
  auto obj = std::make_shared<RegKeyObject>();
  obj->path = path;
  obj->access = access;
  return reinterpret_cast<HKEY>(emu::insertHandle(std::move(obj)));
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RegGetValue hands strings back terminated: one NUL character (two for REG_MULTI_SZ) is added when the stored
// data does not end in one. The stored bytes come first, unchanged, so an odd size stays odd.
void terminate(std::string &data, DWORD type) {
  auto zeroCharsAtEnd = [&]() {
    size_t n = 0;
    for (size_t i = data.size(); i >= 2 && data[i - 1] == 0 && data[i - 2] == 0; i -= 2) ++n;
    return n;
  };
  const size_t want = type == REG_MULTI_SZ ? 2 : 1;
  if (data.size() % 2 == 1) {
    data.append(2 * want, '\0');
    return;
  }
  size_t have = zeroCharsAtEnd();
  if (type == REG_MULTI_SZ && data.size() == 2 && have == 1) return; // the empty list
  if (have < want) data.append(2 * (want - have), '\0');
}

// %NAME% is replaced by the environment variable's value; unknown names stay as written.
std::string expand(const std::string &data) {
  std::u16string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                       (static_cast<unsigned char>(data[i + 1]) << 8));
    if (c == 0) break;
    text += c;
  }
  std::u16string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t a = text.find(u'%', pos);
    size_t b = a == std::u16string::npos ? a : text.find(u'%', a + 1);
    if (b == std::u16string::npos) {
      out += text.substr(pos);
      break;
    }
    out += text.substr(pos, a - pos);
    const char *env = std::getenv(emu::reg::utf8(text.substr(a + 1, b - a - 1)).c_str());
    if (b > a + 1 && env) {
      out += emu::reg::utf16(env);
      pos = b + 1;
    } else {
      out += text.substr(a, b - a);
      pos = b;
    }
  }
  out += u'\0';
  return std::string(reinterpret_cast<const char *>(out.data()), out.size() * 2);
}

DWORD typeBit(DWORD type) {
  switch (type) {
  case REG_NONE: return RRF_RT_REG_NONE;
  case REG_SZ: return RRF_RT_REG_SZ;
  case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
  case REG_BINARY: return RRF_RT_REG_BINARY;
  case REG_DWORD: return RRF_RT_REG_DWORD;
  case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
  case REG_QWORD: return RRF_RT_REG_QWORD;
  default: return 0;
  }
}

LSTATUS deleteKey(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  Path sub;
  if (!emu::reg::splitSubKey(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  const Path full = join(t.path, sub);
  if (full.size() <= 1 || (t.predefined && sub.empty())) return ERROR_ACCESS_DENIED;
  if (!(allowedRights(full) & DELETE)) return ERROR_ACCESS_DENIED; // the key is opened for DELETE
  return emu::reg::update([&](Tree &tree, bool &changed) -> LSTATUS {
    if (!t.predefined && !tree.find(t.path)) return ERROR_KEY_DELETED;
    const Key *k = tree.find(full);
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (!k->subkeys.empty()) return ERROR_ACCESS_DENIED; // only a key without subkeys goes
    tree.find(Path(full.begin(), full.end() - 1))->removeSubkey(full.back());
    changed = true;
    return ERROR_SUCCESS;
  });
}

void copyName(const Name &n, LPWSTR out) {
  std::memcpy(out, n.data(), n.size() * sizeof(WCHAR));
  out[n.size()] = 0;
}

} // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  REG_FAIL_POINT("RegOpenKeyExW");
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (ulOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK)) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  Path sub;
  if (!emu::reg::splitSubKey(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  if (!(t.predefined && sub.empty())) {
    const Key *k = nullptr;
    if (LSTATUS rc = findKey(emu::reg::load(), t, sub, &k)) return rc;
  }
  REGSAM granted = 0;
  if (LSTATUS rc = grantAccess(join(t.path, sub), samDesired, &granted)) return rc;
  *phkResult = newHandle(join(t.path, sub), granted);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  REG_FAIL_POINT("RegCreateKeyExW");
  if (!phkResult || !lpSubKey || Reserved != 0) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  Path sub;
  if (!emu::reg::splitSubKey(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  const Path full = join(t.path, sub);
  REGSAM granted = 0;
  if (LSTATUS rc = grantAccess(full, samDesired, &granted)) return rc;
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  LSTATUS rc = emu::reg::update([&](Tree &tree, bool &changed) -> LSTATUS {
    if (!t.predefined && !tree.find(t.path)) return ERROR_KEY_DELETED;
    if (tree.find(full)) return ERROR_SUCCESS;
    if (!(t.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    tree.create(full);
    disposition = REG_CREATED_NEW_KEY;
    changed = true;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = newHandle(full, granted);
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  REG_FAIL_POINT("RegCloseKey");
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (t.predefined) return ERROR_SUCCESS;
  return emu::closeHandleEntry(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  REG_FAIL_POINT("RegFlushKey");
  Target t;
  return target(hKey, &t); // every change is on disk when its call returns
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  REG_FAIL_POINT("RegQueryValueExW");
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (!(t.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  const Tree tree = emu::reg::load();
  const Key *k = nullptr;
  if (LSTATUS rc = findKey(tree, t, {}, &k)) return rc;
  const Value *v = k->findValue(valueName(lpValueName));
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = v->type;
  if (!lpcbData) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(v->data.size());
  if (lpData && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (lpData) std::memcpy(lpData, v->data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                            PVOID pvData, LPDWORD pcbData) {
  REG_FAIL_POINT("RegGetValueW");
  const DWORD restrict = dwFlags & RRF_RT_ANY;
  if (!restrict || (pvData && !pcbData) || (dwFlags & RRF_WOW64_MASK) == RRF_WOW64_MASK) return ERROR_INVALID_PARAMETER;
  if ((restrict & RRF_RT_REG_EXPAND_SZ) && restrict != RRF_RT_ANY && !(dwFlags & RRF_NOEXPAND))
    return ERROR_INVALID_PARAMETER;
  const DWORD capacity = (pvData && pcbData) ? *pcbData : 0;
  auto fail = [&](LSTATUS rc) {
    if (pvData && (dwFlags & RRF_ZEROONFAILURE)) std::memset(pvData, 0, capacity);
    return rc;
  };

  Target t;
  if (LSTATUS rc = target(hkey, &t)) return fail(rc);
  Path sub;
  if (!emu::reg::splitSubKey(lpSubKey, &sub)) return fail(ERROR_BAD_PATHNAME);
  if (sub.empty() && !(t.access & KEY_QUERY_VALUE)) return fail(ERROR_ACCESS_DENIED);
  const Tree tree = emu::reg::load();
  const Key *k = nullptr;
  if (LSTATUS rc = findKey(tree, t, sub, &k)) return fail(rc);
  const Value *v = k->findValue(valueName(lpValue));
  if (!v) return fail(ERROR_FILE_NOT_FOUND);

  DWORD type = v->type;
  std::string data = v->data;
  if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
    data = expand(data);
    type = REG_SZ;
  }
  if (restrict != RRF_RT_ANY && !(restrict & typeBit(type))) return fail(ERROR_UNSUPPORTED_TYPE);
  const size_t n = data.size();
  if ((type == REG_DWORD && n != 4) || (type == REG_QWORD && n != 8) ||
      (type == REG_BINARY && restrict == RRF_RT_DWORD && n != 4) ||
      (type == REG_BINARY && restrict == RRF_RT_QWORD && n != 8))
    return fail(ERROR_DATATYPE_MISMATCH);
  const size_t stored = data.size();
  if (isStringType(type)) terminate(data, type);

  const DWORD size = static_cast<DWORD>(data.size());
  if (pdwType) *pdwType = type;
  if (!pvData) {
    // As Windows: the size query of a string leaves room for one more terminator than is stored.
    if (pcbData)
      *pcbData = isStringType(type) ? static_cast<DWORD>((std::max)(data.size(), stored + sizeof(WCHAR))) : size;
    return ERROR_SUCCESS;
  }
  if (capacity < size) {
    fail(ERROR_MORE_DATA);
    *pcbData = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(pvData, data.data(), size);
  *pcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
  REG_FAIL_POINT("RegSetValueExW");
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (!(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string data(reinterpret_cast<const char *>(lpData), lpData ? cbData : 0);
  return emu::reg::update([&](Tree &tree, bool &changed) -> LSTATUS {
    Key *k = nullptr;
    if (LSTATUS rc = writableKey(tree, t, {}, &k)) return rc;
    k->setValue(valueName(lpValueName), dwType, data);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData,
                               DWORD cbData) {
  REG_FAIL_POINT("RegSetKeyValueW");
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  Path sub;
  if (!emu::reg::splitSubKey(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  if (sub.empty() && !(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  // A subkey is opened for KEY_SET_VALUE by the caller's rights, whatever the handle may do.
  if (!sub.empty() && !(allowedRights(join(t.path, sub)) & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string data(static_cast<const char *>(lpData), lpData ? cbData : 0);
  return emu::reg::update([&](Tree &tree, bool &changed) -> LSTATUS {
    Key *k = nullptr;
    LSTATUS rc = writableKey(tree, t, sub, &k);
    if (rc == ERROR_FILE_NOT_FOUND) { // the key is made first
      if (!(t.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
      k = &tree.create(join(t.path, sub));
    } else if (rc != ERROR_SUCCESS) {
      return rc;
    }
    k->setValue(valueName(lpValueName), dwType, data);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  REG_FAIL_POINT("RegDeleteValueW");
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (!(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return emu::reg::update([&](Tree &tree, bool &changed) -> LSTATUS {
    if (!t.predefined && !tree.find(t.path)) return ERROR_KEY_DELETED;
    Key *k = tree.find(t.path);
    if (!k || !k->removeValue(valueName(lpValueName))) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  REG_FAIL_POINT("RegDeleteKeyW");
  return deleteKey(hKey, lpSubKey);
}

LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM, DWORD Reserved) {
  REG_FAIL_POINT("RegDeleteKeyExW");
  if (Reserved != 0) return ERROR_INVALID_PARAMETER;
  return deleteKey(hKey, lpSubKey);
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  REG_FAIL_POINT("RegDeleteTreeW");
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  Path sub;
  if (!emu::reg::splitSubKey(lpSubKey, &sub)) return ERROR_BAD_PATHNAME;
  const Path full = join(t.path, sub);
  if (!(allowedRights(full) & DELETE)) return ERROR_ACCESS_DENIED;
  return emu::reg::update([&](Tree &tree, bool &changed) -> LSTATUS {
    if (!t.predefined && !tree.find(t.path)) return ERROR_KEY_DELETED;
    Key *k = tree.find(full);
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (sub.empty() || full.size() <= 1) { // the key itself stays; what is in it goes
      k->subkeys.clear();
      k->values.clear();
    } else {
      tree.find(Path(full.begin(), full.end() - 1))->removeSubkey(full.back());
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  REG_FAIL_POINT("RegEnumKeyExW");
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (!(t.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  const Tree tree = emu::reg::load();
  const Key *k = nullptr;
  LSTATUS rc = findKey(tree, t, {}, &k);
  if (rc == ERROR_FILE_NOT_FOUND && t.predefined) return ERROR_NO_MORE_ITEMS;
  if (rc != ERROR_SUCCESS) return rc;
  if (dwIndex >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const Name &name = k->subkeys[dwIndex].name;
  if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
  copyName(name, lpName);
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  REG_FAIL_POINT("RegEnumValueW");
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (!(t.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  const Tree tree = emu::reg::load();
  const Key *k = nullptr;
  LSTATUS rc = findKey(tree, t, {}, &k);
  if (rc == ERROR_FILE_NOT_FOUND && t.predefined) return ERROR_NO_MORE_ITEMS;
  if (rc != ERROR_SUCCESS) return rc;
  if (dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value &v = k->values[dwIndex];
  if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
  copyName(v.name, lpValueName);
  *lpcchValueName = static_cast<DWORD>(v.name.size());
  if (lpType) *lpType = v.type;
  if (!lpcbData) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(v.data.size());
  if (lpData && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (lpData) std::memcpy(lpData, v.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  REG_FAIL_POINT("RegQueryInfoKeyW");
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS rc = target(hKey, &t)) return rc;
  if (!(t.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  const Tree tree = emu::reg::load();
  const Key *k = nullptr;
  static const Key empty;
  LSTATUS rc = findKey(tree, t, {}, &k);
  if (rc == ERROR_FILE_NOT_FOUND && t.predefined) k = &empty;
  else if (rc != ERROR_SUCCESS) return rc;
  DWORD maxSub = 0, maxName = 0, maxData = 0;
  for (const Key &s : k->subkeys) maxSub = std::max(maxSub, static_cast<DWORD>(s.name.size()));
  for (const Value &v : k->values) {
    maxName = std::max(maxName, static_cast<DWORD>(v.name.size()));
    maxData = std::max(maxData, static_cast<DWORD>(v.data.size()));
  }
  if (lpClass && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(k->subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = static_cast<DWORD>(k->values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

} // extern "C"
