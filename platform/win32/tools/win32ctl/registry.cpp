// Registry commands, in the spirit of reg.exe: reg-get, reg-set, reg-delete.
#include "command.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "emu/registry.h"

namespace {

bool parseDword(const std::string &text, DWORD *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < -2147483648LL || v > 4294967295LL) return false;
  *out = static_cast<DWORD>(v);
  return true;
}

bool parseHex(const std::string &text, std::string *out) {
  if (text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char *end = nullptr;
    const std::string byte = text.substr(i, 2);
    long v = std::strtol(byte.c_str(), &end, 16);
    if (*end != '\0' || byte[0] == '-' || byte[0] == '+') return false;
    *out += static_cast<char>(v);
  }
  return true;
}

void printHex(const std::string &data) {
  for (unsigned char c : data) std::printf("%02x", c);
  std::printf("\n");
}

int regGet(const win32ctl::Args &args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: win32ctl reg-get <key> <value>\n");
    return 2;
  }
  auto v = emu::regGetValue(args[0], args[1]);
  if (!v) {
    std::fprintf(stderr, "win32ctl: no value '%s' under '%s'\n", args[1].c_str(), args[0].c_str());
    return 1;
  }
  switch (v->type) {
  case REG_DWORD:
    if (auto d = emu::regGetDword(args[0], args[1])) {
      std::printf("%u\n", static_cast<unsigned>(*d));
      return 0;
    }
    break;
  case REG_SZ:
  case REG_EXPAND_SZ:
    std::printf("%s\n", emu::regGetString(args[0], args[1]).value_or("").c_str());
    return 0;
  case REG_MULTI_SZ:
    for (const auto &s : emu::regGetMultiString(args[0], args[1]).value_or(std::vector<std::string>{}))
      std::printf("%s\n", s.c_str());
    return 0;
  default:
    break;
  }
  printHex(v->data); // other types, and a REG_DWORD that is not 4 bytes
  return 0;
}

int regSet(const win32ctl::Args &args) {
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: win32ctl reg-set <key> <value> REG_DWORD|REG_SZ|REG_EXPAND_SZ|REG_MULTI_SZ|REG_BINARY "
                         "[data...]\n");
    return 2;
  }
  const std::string &key = args[0], &name = args[1], &type = args[2];
  const win32ctl::Args data(args.begin() + 3, args.end());
  bool ok = false;
  if (type == "REG_DWORD") {
    DWORD v = 0;
    if (data.size() != 1 || !parseDword(data[0], &v)) {
      std::fprintf(stderr, "win32ctl: REG_DWORD takes one 32-bit number\n");
      return 2;
    }
    ok = emu::regSetDword(key, name, v);
  } else if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    if (data.size() != 1) {
      std::fprintf(stderr, "win32ctl: %s takes one text\n", type.c_str());
      return 2;
    }
    ok = emu::regSetValue(key, name, type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ,
                          emu::regUtf16Bytes(data[0]) + std::string(2, '\0'));
  } else if (type == "REG_MULTI_SZ") {
    ok = emu::regSetMultiString(key, name, data);
  } else if (type == "REG_BINARY") {
    std::string bytes;
    if (data.size() > 1 || (data.size() == 1 && !parseHex(data[0], &bytes))) {
      std::fprintf(stderr, "win32ctl: REG_BINARY takes one run of hex digits\n");
      return 2;
    }
    ok = emu::regSetValue(key, name, REG_BINARY, bytes);
  } else {
    std::fprintf(stderr, "win32ctl: unknown value type '%s'\n", type.c_str());
    return 2;
  }
  if (!ok) {
    std::fprintf(stderr, "win32ctl: cannot write '%s' under '%s'\n", name.c_str(), key.c_str());
    return 1;
  }
  return 0;
}

int regDelete(const win32ctl::Args &args) {
  if (args.empty() || args.size() > 2) {
    std::fprintf(stderr, "usage: win32ctl reg-delete <key> [value]\n");
    return 2;
  }
  const bool ok = args.size() == 2 ? emu::regDeleteValue(args[0], args[1]) : emu::regDeleteTree(args[0]);
  if (!ok) {
    std::fprintf(stderr, "win32ctl: nothing to delete\n");
    return 1;
  }
  return 0;
}

win32ctl::Command getCommand("reg-get", "reg-get <key> <value>   print a registry value (key: HKLM\\SOFTWARE\\...)",
                             &regGet);
win32ctl::Command setCommand("reg-set",
                             "reg-set <key> <value> <type> [data...]   write REG_DWORD, REG_SZ, REG_EXPAND_SZ, "
                             "REG_MULTI_SZ or REG_BINARY (hex)",
                             &regSet);
win32ctl::Command deleteCommand("reg-delete", "reg-delete <key> [value]   delete a value, or a key with all below it",
                                &regDelete);

} // namespace
