// The emulated machine's registry, read and written without the Win32 calls (tests, win32ctl, the stand-in).
// Not part of the Windows API: product code never includes this header.
//
// Keys are named by full paths such as "HKEY_LOCAL_MACHINE\SOFTWARE\Orlenta" (HKLM, HKCU, HKU, HKCR and HKCC
// are accepted as short forms), one backslash between components. Names are UTF-8 and compared without regard to
// case. Every call is atomic against other processes sharing the machine root.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu {

struct RegValue {
  DWORD type = 0;
  std::string data; // raw bytes exactly as stored
};

// Writes a value with raw bytes (any size, any type), creating missing keys on the path.
bool regSetValue(const std::string &keyPath, const std::string &valueName, DWORD type, const std::string &data);
std::optional<RegValue> regGetValue(const std::string &keyPath, const std::string &valueName);

// Convenience forms: REG_DWORD of 4 bytes; REG_SZ as UTF-16 with its terminator; REG_MULTI_SZ with the final NUL.
bool regSetDword(const std::string &keyPath, const std::string &valueName, DWORD value);
std::optional<DWORD> regGetDword(const std::string &keyPath, const std::string &valueName);
bool regSetString(const std::string &keyPath, const std::string &valueName, const std::string &utf8);
// The text of a REG_SZ/REG_EXPAND_SZ value up to its first NUL (or its end when it has none).
std::optional<std::string> regGetString(const std::string &keyPath, const std::string &valueName);
bool regSetMultiString(const std::string &keyPath, const std::string &valueName,
                       const std::vector<std::string> &strings);
// The strings of a REG_MULTI_SZ value up to the first empty one.
std::optional<std::vector<std::string>> regGetMultiString(const std::string &keyPath, const std::string &valueName);

bool regCreateKey(const std::string &keyPath);
bool regKeyExists(const std::string &keyPath);
bool regDeleteValue(const std::string &keyPath, const std::string &valueName);
// Deletes the key with everything below it.
bool regDeleteTree(const std::string &keyPath);
// Names with their stored case, subkeys sorted as RegEnumKeyExW returns them, values in creation order.
std::vector<std::string> regSubKeyNames(const std::string &keyPath);
std::vector<std::string> regValueNames(const std::string &keyPath);

// UTF-16 bytes of a text (no terminator added) and back; handy for building odd values in tests.
std::string regUtf16Bytes(const std::string &utf8);

} // namespace emu
