// The registry's key tree and its file under the machine root, shared by every process of the machine.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace emu::reg {

using Name = std::u16string;
using Path = std::vector<Name>; // components from the top, the hive's name first

struct Value {
  Name name;
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  Name name;
  std::vector<Value> values; // creation order
  std::vector<Key> subkeys;  // kept sorted without regard to case, as RegEnumKeyEx lists them

  Key *findSubkey(const Name &n);
  const Key *findSubkey(const Name &n) const;
  // The existing subkey of that name, or a new one in its sorted place.
  Key &subkeyOrCreate(const Name &n, bool *created = nullptr);
  bool removeSubkey(const Name &n);
  Value *findValue(const Name &n);
  const Value *findValue(const Name &n) const;
  void setValue(const Name &n, DWORD type, std::string data);
  bool removeValue(const Name &n);
};

// Names compare without regard to case; the stored case is kept.
bool sameName(const Name &a, const Name &b);
int compareNames(const Name &a, const Name &b);

// The whole tree: its subkeys are the hives.
struct Tree {
  Key root;
  const Key *find(const Path &path) const;
  Key *find(const Path &path);
  // Makes every missing key on the path; returns the last one. `created` tells whether the last one is new.
  Key &create(const Path &path, bool *created = nullptr);
};

// Splits "a\b\c" into components. False for an empty component (a leading or doubled backslash) or a component
// longer than the registry allows; one trailing backslash is accepted.
bool splitSubKey(const WCHAR *subKey, Path *out);
bool splitSubKey(const Name &subKey, Path *out);

// A snapshot of the tree as the file holds it now. Readers take no lock: the file is only ever replaced whole.
Tree load();
// Runs `change` on the current tree under the machine-wide writer lock and stores the tree when `change` returns
// ERROR_SUCCESS and says it changed something. Returns what `change` returned, or an error when the file could
// not be written.
LSTATUS update(const std::function<LSTATUS(Tree &, bool &changed)> &change);

// The path of a hive or of its alias: HKEY_LOCAL_MACHINE or HKLM, HKEY_CURRENT_USER or HKCU, HKEY_USERS or HKU;
// HKEY_CLASSES_ROOT (HKCR) and HKEY_CURRENT_CONFIG (HKCC) stand for their keys under HKEY_LOCAL_MACHINE.
bool hivePath(const Name &name, Path *out);

std::string utf8(const Name &n);
Name utf16(const std::string &s);

} // namespace emu::reg
