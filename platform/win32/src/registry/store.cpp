// Key tree and its file: <root>/registry/registry.dat, a state file of the machine (core/statefile.h), so readers
// never see half a change and concurrent writers never lose each other's changes.
#include "registry/store.h"

#include "core/statefile.h"
#include "emu/emu.h"
#include "emu/power.h"

#include <QChar>

#include <algorithm>

namespace emu::reg {

namespace {

const char *const kHives[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS"};
const char kMagic[] = "BVREG 1";
const char kFile[] = "registry/registry.dat";
constexpr size_t kMaxKeyNameChars = 255;

char16_t fold(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  char32_t u = QChar::toUpper(static_cast<char32_t>(c));
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

// Percent-encodes what would break the line format: controls, space, '%', '\' and DEL.
std::string escape(const std::string &s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c <= 0x20 || c == '%' || c == '\\' || c == 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescape(const std::string &s, std::string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int hi = hexDigit(s[i + 1]), lo = hexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool unhex(const std::string &s, std::string *out) {
  if (s.size() % 2) return false;
  out->clear();
  out->reserve(s.size() / 2);
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

void serializeKey(const Key &key, std::string &prefix, std::string &out) {
  static const char hex[] = "0123456789abcdef";
  out += "K ";
  out += prefix;
  out += '\n';
  for (const Value &v : key.values) {
    out += "V " + std::to_string(v.type) + " =" + escape(utf8(v.name)) + " :";
    for (unsigned char c : v.data) {
      out += hex[c >> 4];
      out += hex[c & 15];
    }
    out += '\n';
  }
  for (const Key &sub : key.subkeys) {
    size_t mark = prefix.size();
    prefix += '\\';
    prefix += escape(utf8(sub.name));
    serializeKey(sub, prefix, out);
    prefix.resize(mark);
  }
}

std::string serialize(const Tree &tree) {
  std::string out = std::string(kMagic) + "\n";
  for (const Key &hive : tree.root.subkeys) {
    std::string prefix = escape(utf8(hive.name));
    serializeKey(hive, prefix, out);
  }
  return out;
}

// Lines that do not parse are skipped: a damaged line loses that line only.
Tree parse(const std::string &text) {
  Tree tree;
  Key *current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() > 2 && line[0] == 'K' && line[1] == ' ') {
      Path path;
      std::string rest = line.substr(2), comp;
      bool ok = true;
      size_t start = 0;
      while (ok) {
        size_t bs = rest.find('\\', start);
        ok = unescape(rest.substr(start, bs == std::string::npos ? std::string::npos : bs - start), &comp) &&
             !comp.empty();
        if (ok) path.push_back(utf16(comp));
        if (bs == std::string::npos) break;
        start = bs + 1;
      }
      current = ok ? &tree.create(path) : nullptr;
    } else if (current && line.size() > 2 && line[0] == 'V' && line[1] == ' ') {
      size_t a = line.find(' ', 2);
      size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
      if (b == std::string::npos || line[a + 1] != '=' || b + 1 >= line.size() || line[b + 1] != ':') continue;
      std::string name, data;
      char *endp = nullptr;
      unsigned long type = std::strtoul(line.c_str() + 2, &endp, 10);
      if (endp != line.c_str() + a) continue;
      if (!unescape(line.substr(a + 2, b - a - 2), &name) || !unhex(line.substr(b + 2), &data)) continue;
      current->setValue(utf16(name), static_cast<DWORD>(type), std::move(data));
    }
  }
  return tree;
}

} // namespace

bool sameName(const Name &a, const Name &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

int compareNames(const Name &a, const Name &b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = fold(a[i]), y = fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

Key *Key::findSubkey(const Name &n) {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), n,
                             [](const Key &k, const Name &x) { return compareNames(k.name, x) < 0; });
  return (it != subkeys.end() && compareNames(it->name, n) == 0) ? &*it : nullptr;
}

const Key *Key::findSubkey(const Name &n) const { return const_cast<Key *>(this)->findSubkey(n); }

Key &Key::subkeyOrCreate(const Name &n, bool *created) {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), n,
                             [](const Key &k, const Name &x) { return compareNames(k.name, x) < 0; });
  if (it != subkeys.end() && compareNames(it->name, n) == 0) {
    if (created) *created = false;
    return *it;
  }
  Key k;
  k.name = n;
  if (created) *created = true;
  return *subkeys.insert(it, std::move(k));
}

bool Key::removeSubkey(const Name &n) {
  for (auto it = subkeys.begin(); it != subkeys.end(); ++it) {
    if (sameName(it->name, n)) {
      subkeys.erase(it);
      return true;
    }
  }
  return false;
}

Value *Key::findValue(const Name &n) {
  for (Value &v : values)
    if (sameName(v.name, n)) return &v;
  return nullptr;
}

const Value *Key::findValue(const Name &n) const { return const_cast<Key *>(this)->findValue(n); }

void Key::setValue(const Name &n, DWORD type, std::string data) {
  if (Value *v = findValue(n)) { // the name keeps the case it was created with, as on Windows
    v->type = type;
    v->data = std::move(data);
    return;
  }
  values.push_back(Value{n, type, std::move(data)});
}

bool Key::removeValue(const Name &n) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (sameName(it->name, n)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

const Key *Tree::find(const Path &path) const {
  const Key *k = &root;
  for (const Name &n : path) {
    k = k->findSubkey(n);
    if (!k) return nullptr;
  }
  return k;
}

Key *Tree::find(const Path &path) { return const_cast<Key *>(static_cast<const Tree *>(this)->find(path)); }

Key &Tree::create(const Path &path, bool *created) {
  Key *k = &root;
  bool last = false;
  for (const Name &n : path) k = &k->subkeyOrCreate(n, &last);
  if (created) *created = last;
  return *k;
}

bool splitSubKey(const Name &subKey, Path *out) {
  out->clear();
  size_t start = 0;
  while (start < subKey.size()) {
    size_t bs = subKey.find(u'\\', start);
    if (bs == Name::npos) bs = subKey.size();
    if (bs == start || bs - start > kMaxKeyNameChars) return false;
    out->push_back(subKey.substr(start, bs - start));
    start = bs + 1;
  }
  return true;
}

bool splitSubKey(const WCHAR *subKey, Path *out) {
  if (!subKey) {
    out->clear();
    return true;
  }
  return splitSubKey(Name(subKey), out);
}

bool hivePath(const Name &name, Path *out) {
  struct Alias {
    const char *longName, *shortName, *path;
  };
  static const Alias aliases[] = {
      {"HKEY_LOCAL_MACHINE", "HKLM", "HKEY_LOCAL_MACHINE"},
      {"HKEY_CURRENT_USER", "HKCU", "HKEY_CURRENT_USER"},
      {"HKEY_USERS", "HKU", "HKEY_USERS"},
      {"HKEY_CLASSES_ROOT", "HKCR", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"},
      {"HKEY_CURRENT_CONFIG", "HKCC", "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
  };
  for (const Alias &a : aliases) {
    if (sameName(name, utf16(a.longName)) || sameName(name, utf16(a.shortName))) return splitSubKey(utf16(a.path), out);
  }
  return false;
}

// The processors' nominal clock, "~MHz" under HKLM\HARDWARE\DESCRIPTION\System\CentralProcessor\<n>.
void describeHardware(Tree &tree) {
  const unsigned mhz = power::nominalMhz();
  if (!mhz) return;
  const unsigned count = std::max(1u, power::processorCount());
  for (unsigned cpu = 0; cpu < count; ++cpu) {
    Path path;
    splitSubKey(utf16("HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\" + std::to_string(cpu)), &path);
    const DWORD value = mhz;
    tree.create(path).setValue(utf16("~MHz"), REG_DWORD, std::string(reinterpret_cast<const char *>(&value), sizeof value));
  }
}

Tree load() {
  Tree tree;
  std::string text;
  if (readStateFile(kFile, &text)) {
    if (text.compare(0, sizeof kMagic - 1, kMagic) == 0) tree = parse(text);
  } else {
    describeHardware(tree); // a new machine: what Windows writes under HARDWARE at boot
  }
  for (const char *hive : kHives) tree.root.subkeyOrCreate(utf16(hive));
  return tree;
}

LSTATUS update(const std::function<LSTATUS(Tree &, bool &)> &change) {
  return static_cast<LSTATUS>(updateStateFile(kFile, [&](std::string &bytes, bool, bool &changed) -> DWORD {
    Tree tree = load();
    const LSTATUS rc = change(tree, changed);
    if (rc == ERROR_SUCCESS && changed) bytes = serialize(tree);
    return static_cast<DWORD>(rc);
  }));
}

std::string utf8(const Name &n) { return toUtf8(n.data(), static_cast<std::ptrdiff_t>(n.size())); }
Name utf16(const std::string &s) { return toUtf16(s); }

} // namespace emu::reg
