// The stand-in registry through the Win32 calls: sizes, types, terminators, handles, names and errors.
#include <gtest/gtest.h>

#include <windows.h>

#include "emu/emu.h"
#include "emu/registry.h"
#include "testenv.h"

namespace {

std::string bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }
std::string got(const void *p, DWORD n) { return std::string(static_cast<const char *>(p), n); }

LSTATUS get(const char16_t *name, DWORD flags, std::string *out, DWORD *type = nullptr) {
  DWORD size = 0;
  if (LSTATUS rc = RegGetValueW(HKEY_CURRENT_USER, u"Reg", name, flags, nullptr, nullptr, &size)) return rc;
  std::vector<char> buf(size);
  LSTATUS rc = RegGetValueW(HKEY_CURRENT_USER, u"Reg", name, flags, type, buf.data(), &size);
  *out = got(buf.data(), size);
  return rc;
}

TEST(Registry, RegGetValueTerminatesStringsKeepsStoredBytesAndReportsTheNeededSize) {
  const std::string abc = emu::regUtf16Bytes("abc"), nul = bytes({0, 0});
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "bin", REG_BINARY, bytes({1, 2, 3, 4, 5, 6, 7})));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "bare", REG_SZ, abc));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "odd", REG_SZ, abc.substr(0, 5)));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "multi", REG_MULTI_SZ, abc + nul));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "empty", REG_MULTI_SZ, nul));
  std::string out;
  EXPECT_EQ(get(u"bin", RRF_RT_ANY, &out), ERROR_SUCCESS);
  EXPECT_EQ(out, bytes({1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(get(u"bare", RRF_RT_REG_SZ, &out), ERROR_SUCCESS);
  EXPECT_EQ(out, abc + nul);
  EXPECT_EQ(get(u"odd", RRF_RT_REG_SZ, &out), ERROR_SUCCESS); // stored bytes first, odd size kept
  EXPECT_EQ(out, abc.substr(0, 5) + nul);
  EXPECT_EQ(get(u"multi", RRF_RT_REG_MULTI_SZ, &out), ERROR_SUCCESS);
  EXPECT_EQ(out, abc + nul + nul);
  EXPECT_EQ(get(u"empty", RRF_RT_REG_MULTI_SZ, &out), ERROR_SUCCESS);
  EXPECT_EQ(out, nul);

  unsigned char buf[8] = {0xEE};
  DWORD size = 6;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Reg", u"bin", RRF_RT_ANY | RRF_ZEROONFAILURE, nullptr, buf, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Reg", u"bin", RRF_RT_ANY, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);

  // RegQueryValueEx hands back exactly what is stored.
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"reg", 0, KEY_READ, &k), ERROR_SUCCESS);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(k, u"ODD", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(got(buf, size), abc.substr(0, 5));
  size = 4;
  EXPECT_EQ(RegQueryValueExW(k, u"bare", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

// Windows cannot know before reading whether a string value ends in its terminator: the size query of a string
// type asks for room for one more than is stored; the read then reports what it wrote.
TEST(Registry, RegGetValueSizeQueryOfAStringLeavesRoomForOneMoreTerminator) {
  const std::string abc = emu::regUtf16Bytes("abc"), nul = bytes({0, 0});
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "sz", REG_SZ, abc + nul));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "multi", REG_MULTI_SZ, abc + nul + nul));
  ASSERT_TRUE(emu::regSetDword("HKCU\\Reg", "dword", 7));
  DWORD size = 0;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Reg", u"sz", RRF_RT_REG_SZ, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Reg", u"multi", RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Reg", u"dword", RRF_RT_REG_DWORD, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  std::string out;
  EXPECT_EQ(get(u"sz", RRF_RT_REG_SZ, &out), ERROR_SUCCESS);
  EXPECT_EQ(out, abc + nul);
}

TEST(Registry, TypeRestrictionsSizesAndExpansion) {
  ASSERT_TRUE(emu::regSetDword("HKCU\\Reg", "dword", 42));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "short", REG_DWORD, bytes({1, 0})));
  setenv("BV_REG_TEST_DIR", "C:\\Data", 1);
  ASSERT_TRUE(emu::regSetValue("HKCU\\Reg", "path", REG_EXPAND_SZ,
                               emu::regUtf16Bytes("%BV_REG_TEST_DIR%\\x;%NOT_SET%") + bytes({0, 0})));
  std::string out;
  DWORD type = 0;
  EXPECT_EQ(get(u"dword", RRF_RT_REG_SZ, &out), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(get(u"short", RRF_RT_REG_DWORD, &out), ERROR_DATATYPE_MISMATCH);
  EXPECT_EQ(get(u"path", RRF_RT_REG_SZ, &out, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(out, emu::regUtf16Bytes("C:\\Data\\x;%NOT_SET%") + bytes({0, 0}));
  EXPECT_EQ(get(u"path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &out, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(get(u"path", RRF_RT_REG_EXPAND_SZ, &out), ERROR_INVALID_PARAMETER);
}

TEST(Registry, NamesIgnoreCaseKeepTheirFirstSpellingAndEnumerateInWindowsOrder) {
  DWORD disposition = 0;
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\u00c9t\u00e9\\Case", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  DWORD v = 1;
  ASSERT_EQ(RegSetValueExW(k, u"Value", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_SUCCESS);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\\u00e9T\u00c9\\CASE", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  v = 2;
  ASSERT_EQ(RegSetValueExW(k, u"VALUE", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(emu::regValueNames("HKLM\\SOFTWARE\\\xc3\x89t\xc3\xa9\\case"), std::vector<std::string>{"Value"});
  EXPECT_EQ(emu::regGetDword("hklm\\software\\\xc3\xa9t\xc3\xa9\\Case", "value"), 2u);

  for (const char *name : {"gamma", "Alpha", "_under", "beta"}) ASSERT_TRUE(emu::regCreateKey(std::string("HKCU\\Order\\") + name));
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Order", 0, KEY_READ, &k), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  WCHAR name[256];
  for (DWORD i = 0, len = 256; RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) == 0; ++i, len = 256)
    names.emplace_back(name, len);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma", u"_under"})); // upper-cased order
  DWORD len = 5;
  EXPECT_EQ(RegEnumKeyExW(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyExW(k, 4, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(k);
}

TEST(Registry, MissingKeysAccessRightsAndDeletedKeysGiveTheWindowsCodes) {
  HKEY k = reinterpret_cast<HKEY>(0x1), ro = nullptr, wo = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  ASSERT_TRUE(emu::regCreateKey("HKCU\\Rights\\child\\grandchild"));
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Rights", 0, KEY_READ, &ro), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Rights", 0, KEY_WRITE | KEY_WOW64_64KEY, &wo), ERROR_SUCCESS);
  DWORD v = 5, size = 4;
  EXPECT_EQ(RegQueryValueExW(ro, u"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(ro, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(wo, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(wo, u"v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExW(ro, u"new", 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Rights\\child"), ERROR_ACCESS_DENIED); // it has a subkey
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Rights"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(ro, u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(ro), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(ro), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(wo), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  // Injected failures come back as the status; the last error is not the channel.
  emu::injectFailure("RegSetKeyValueW", ERROR_ACCESS_DENIED);
  SetLastError(1234);
  EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, u"Rights", u"v", REG_DWORD, &v, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(emu::regKeyExists("HKCU\\Rights"));
  emu::clearFailures();
}

TEST(Registry, MachineKeysTakeAdministratorRights) {
  ASSERT_TRUE(emu::regSetValue("HKLM\\SOFTWARE\\Guarded", "v", REG_DWORD, bytes({1, 0, 0, 0})));
  testenv::ScopedAccount user(testenv::unelevatedUser());
  HKEY k = nullptr;
  DWORD v = 2, size = 4;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, KEY_SET_VALUE, &k), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded\\New", 0, nullptr, 0, KEY_READ, nullptr, &k,
                            nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", u"v", REG_DWORD, &v, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, u".bv", u"v", REG_DWORD, &v, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded"), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Guarded", 0, MAXIMUM_ALLOWED, &k), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(k, u"v"), ERROR_ACCESS_DENIED) << "the read rights alone";
  EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size), ERROR_SUCCESS);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, u"Mine", u"v", REG_DWORD, &v, 4), ERROR_SUCCESS) << "the user's own";
  EXPECT_FALSE(emu::regKeyExists("HKLM\\SOFTWARE\\Guarded\\New"));
  EXPECT_FALSE(emu::regKeyExists("HKCR\\.bv"));
}

TEST(Registry, NamesAndDataOfAnyContentSurviveTheFile) {
  const std::string name = "with space=and%percent\\back\nline \xe2\x82\xac";
  const std::string data = bytes({'\n', 0, '%', ' ', 0xFF, '\r', 0});
  ASSERT_TRUE(emu::regSetValue("HKCU\\Odd Key %41", name, 0x12345, data));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Odd Key %41", "", REG_SZ, "")); // the default value, no data
  auto v = emu::regGetValue("HKCU\\odd key %41", name);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, 0x12345u);
  EXPECT_EQ(v->data, data);
  EXPECT_TRUE(emu::regGetValue("HKCU\\Odd Key %41", ""));
  EXPECT_FALSE(emu::regKeyExists("HKCU\\Odd Key A")); // %41 is part of the name, not an escape
  EXPECT_FALSE(emu::regSetDword("HKCU\\a\\\\b", "v", 1)); // an empty component

  // Predefined keys are the sign-extended Win64 values; HKEY_CLASSES_ROOT is the machine's SOFTWARE\Classes.
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE), 0xFFFFFFFF80000002ull);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, u".bv", nullptr, REG_SZ, u"x", 4), ERROR_SUCCESS);
  EXPECT_EQ(emu::regGetString("HKLM\\SOFTWARE\\Classes\\.bv", ""), "x");
}

} // namespace
