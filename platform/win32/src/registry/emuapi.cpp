// Direct access to the machine's registry for tests and tools.
#include "emu/registry.h"

#include "emu/emu.h"
#include "registry/store.h"

namespace emu {

namespace {

// "HKLM\SOFTWARE\x" -> the full path; false for an unknown hive or a malformed path.
bool parsePath(const std::string &keyPath, reg::Path *out) {
  const reg::Name text = reg::utf16(keyPath);
  const size_t bs = text.find(u'\\');
  if (!reg::hivePath(text.substr(0, bs), out)) return false;
  if (bs == reg::Name::npos) return true;
  reg::Path rest;
  if (!reg::splitSubKey(text.substr(bs + 1), &rest)) return false;
  out->insert(out->end(), rest.begin(), rest.end());
  return true;
}

std::string utf16Bytes(const std::u16string &s) {
  return std::string(reinterpret_cast<const char *>(s.data()), s.size() * 2);
}

std::u16string charsOf(const std::string &bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  return out;
}

} // namespace

bool regSetValue(const std::string &keyPath, const std::string &valueName, DWORD type, const std::string &data) {
  reg::Path path;
  if (!parsePath(keyPath, &path)) return false;
  return reg::update([&](reg::Tree &tree, bool &changed) -> LSTATUS {
           tree.create(path).setValue(reg::utf16(valueName), type, data);
           changed = true;
           return ERROR_SUCCESS;
         }) == ERROR_SUCCESS;
}

std::optional<RegValue> regGetValue(const std::string &keyPath, const std::string &valueName) {
  reg::Path path;
  if (!parsePath(keyPath, &path)) return std::nullopt;
  const reg::Tree tree = reg::load();
  const reg::Key *k = tree.find(path);
  const reg::Value *v = k ? k->findValue(reg::utf16(valueName)) : nullptr;
  if (!v) return std::nullopt;
  return RegValue{v->type, v->data};
}

bool regSetDword(const std::string &keyPath, const std::string &valueName, DWORD value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return regSetValue(keyPath, valueName, REG_DWORD, data);
}

std::optional<DWORD> regGetDword(const std::string &keyPath, const std::string &valueName) {
  auto v = regGetValue(keyPath, valueName);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  DWORD value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<DWORD>(static_cast<unsigned char>(v->data[i])) << (8 * i);
  return value;
}

bool regSetString(const std::string &keyPath, const std::string &valueName, const std::string &utf8) {
  return regSetValue(keyPath, valueName, REG_SZ, regUtf16Bytes(utf8) + std::string(2, '\0'));
}

std::optional<std::string> regGetString(const std::string &keyPath, const std::string &valueName) {
  auto v = regGetValue(keyPath, valueName);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string chars = charsOf(v->data);
  chars = chars.substr(0, chars.find(u'\0'));
  return reg::utf8(chars);
}

bool regSetMultiString(const std::string &keyPath, const std::string &valueName,
                       const std::vector<std::string> &strings) {
  std::string data;
  for (const auto &s : strings) data += regUtf16Bytes(s) + std::string(2, '\0');
  data += std::string(2, '\0');
  return regSetValue(keyPath, valueName, REG_MULTI_SZ, data);
}

std::optional<std::vector<std::string>> regGetMultiString(const std::string &keyPath, const std::string &valueName) {
  auto v = regGetValue(keyPath, valueName);
  if (!v || v->type != REG_MULTI_SZ) return std::nullopt;
  std::vector<std::string> out;
  const std::u16string chars = charsOf(v->data);
  size_t pos = 0;
  while (pos < chars.size() && chars[pos] != 0) {
    size_t end = chars.find(u'\0', pos);
    if (end == std::u16string::npos) end = chars.size();
    out.push_back(reg::utf8(chars.substr(pos, end - pos)));
    pos = end + 1;
  }
  return out;
}

bool regCreateKey(const std::string &keyPath) {
  reg::Path path;
  if (!parsePath(keyPath, &path)) return false;
  return reg::update([&](reg::Tree &tree, bool &changed) -> LSTATUS {
           tree.create(path, &changed);
           return ERROR_SUCCESS;
         }) == ERROR_SUCCESS;
}

bool regKeyExists(const std::string &keyPath) {
  reg::Path path;
  return parsePath(keyPath, &path) && reg::load().find(path) != nullptr;
}

bool regDeleteValue(const std::string &keyPath, const std::string &valueName) {
  reg::Path path;
  if (!parsePath(keyPath, &path)) return false;
  return reg::update([&](reg::Tree &tree, bool &changed) -> LSTATUS {
           reg::Key *k = tree.find(path);
           if (!k || !k->removeValue(reg::utf16(valueName))) return ERROR_FILE_NOT_FOUND;
           changed = true;
           return ERROR_SUCCESS;
         }) == ERROR_SUCCESS;
}

bool regDeleteTree(const std::string &keyPath) {
  reg::Path path;
  if (!parsePath(keyPath, &path) || path.size() <= 1) return false;
  return reg::update([&](reg::Tree &tree, bool &changed) -> LSTATUS {
           reg::Key *parent = tree.find(reg::Path(path.begin(), path.end() - 1));
           if (!parent || !parent->removeSubkey(path.back())) return ERROR_FILE_NOT_FOUND;
           changed = true;
           return ERROR_SUCCESS;
         }) == ERROR_SUCCESS;
}

std::vector<std::string> regSubKeyNames(const std::string &keyPath) {
  std::vector<std::string> out;
  reg::Path path;
  if (!parsePath(keyPath, &path)) return out;
  const reg::Tree tree = reg::load();
  if (const reg::Key *k = tree.find(path))
    for (const reg::Key &s : k->subkeys) out.push_back(reg::utf8(s.name));
  return out;
}

std::vector<std::string> regValueNames(const std::string &keyPath) {
  std::vector<std::string> out;
  reg::Path path;
  if (!parsePath(keyPath, &path)) return out;
  const reg::Tree tree = reg::load();
  if (const reg::Key *k = tree.find(path))
    for (const reg::Value &v : k->values) out.push_back(reg::utf8(v.name));
  return out;
}

std::string regUtf16Bytes(const std::string &utf8) { return utf16Bytes(reg::utf16(utf8)); }

} // namespace emu
