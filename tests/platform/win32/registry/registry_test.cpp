// The stand-in registry through the Win32 calls: sizes, types, terminators, handles, names and errors.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "emu/emu.h"
#include "emu/registry.h"

namespace {

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s += static_cast<char>(c);
  return s;
}

std::string got(const void *p, DWORD n) { return std::string(static_cast<const char *>(p), n); }

class Registry : public ::testing::Test {
protected:
  void SetUp() override { emu::clearFailures(); }
  void TearDown() override {
    emu::clearFailures();
    for (HKEY k : open_) RegCloseKey(k);
  }
  HKEY create(HKEY root, const char16_t *sub, REGSAM sam = KEY_ALL_ACCESS, DWORD *disposition = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, sub, 0, nullptr, 0, sam, nullptr, &k, disposition), ERROR_SUCCESS);
    open_.push_back(k);
    return k;
  }
  std::vector<HKEY> open_;
};

TEST_F(Registry, RegGetValueReportsSizesAndFailsSmallBuffersWithTheNeededSize) {
  ASSERT_TRUE(emu::regSetValue("HKCU\\Sizes", "bin", REG_BINARY, bytes({1, 2, 3, 4, 5, 6, 7})));
  DWORD size = 0, type = 0;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Sizes", u"bin", RRF_RT_ANY, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  unsigned char buf[16] = {};
  size = 6;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Sizes", u"bin", RRF_RT_ANY, nullptr, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  size = 6;
  buf[0] = 0xEE;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Sizes", u"bin", RRF_RT_ANY | RRF_ZEROONFAILURE, nullptr, buf, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(buf[0], 0); // zeroed on failure

  size = sizeof buf;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Sizes", u"bin", RRF_RT_ANY, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(got(buf, size), bytes({1, 2, 3, 4, 5, 6, 7}));

  // A buffer without a size, or no type restriction at all, is a caller error.
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Sizes", u"bin", RRF_RT_ANY, nullptr, buf, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Sizes", u"bin", 0, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, StringsComeBackTerminatedFromRegGetValueAndRawFromRegQueryValueEx) {
  const std::string abc = emu::regUtf16Bytes("abc");
  ASSERT_TRUE(emu::regSetValue("HKCU\\Strings", "terminated", REG_SZ, abc + bytes({0, 0})));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Strings", "bare", REG_SZ, abc));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Strings", "odd", REG_SZ, abc.substr(0, 5)));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Strings", "multi", REG_MULTI_SZ, abc + bytes({0, 0})));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Strings", "empty", REG_MULTI_SZ, bytes({0, 0})));

  struct Case {
    const char16_t *name;
    DWORD flags;
    std::string expected;
  } cases[] = {
      {u"terminated", RRF_RT_REG_SZ, abc + bytes({0, 0})},
      {u"bare", RRF_RT_REG_SZ, abc + bytes({0, 0})},
      {u"odd", RRF_RT_REG_SZ, abc.substr(0, 5) + bytes({0, 0})}, // stored bytes first, odd size kept
      {u"multi", RRF_RT_REG_MULTI_SZ, abc + bytes({0, 0, 0, 0})},
      {u"empty", RRF_RT_REG_MULTI_SZ, bytes({0, 0})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(emu::toUtf8(c.name));
    DWORD size = 0;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Strings", c.name, c.flags, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, c.expected.size());
    std::vector<char> buf(size + 8, 'x');
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Strings", c.name, c.flags, nullptr, buf.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(got(buf.data(), size), c.expected);
  }

  HKEY k = create(HKEY_CURRENT_USER, u"Strings", KEY_READ);
  char raw[16];
  DWORD size = sizeof raw, type = 0;
  ASSERT_EQ(RegQueryValueExW(k, u"odd", nullptr, &type, reinterpret_cast<BYTE *>(raw), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(got(raw, size), abc.substr(0, 5));
  size = 4;
  EXPECT_EQ(RegQueryValueExW(k, u"bare", nullptr, nullptr, reinterpret_cast<BYTE *>(raw), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
}

TEST_F(Registry, TypeRestrictionsAndExpansion) {
  ASSERT_TRUE(emu::regSetDword("HKCU\\Types", "dword", 42));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Types", "short", REG_DWORD, bytes({1, 0})));
  setenv("BV_REG_TEST_DIR", "C:\\Data", 1);
  ASSERT_TRUE(emu::regSetValue("HKCU\\Types", "path", REG_EXPAND_SZ,
                               emu::regUtf16Bytes("%BV_REG_TEST_DIR%\\x;%NOT_SET_ANYWHERE%") + bytes({0, 0})));
  DWORD value = 0, size = 4, type = 0;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Types", u"dword", RRF_RT_REG_SZ, nullptr, &value, &size),
            ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Types", u"dword", RRF_RT_DWORD, &type, &value, &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 42u);
  size = 4;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Types", u"short", RRF_RT_REG_DWORD, nullptr, &value, &size),
            ERROR_DATATYPE_MISMATCH);

  char16_t text[64] = {};
  size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Types", u"path", RRF_RT_REG_SZ, &type, text, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::u16string(text), u"C:\\Data\\x;%NOT_SET_ANYWHERE%");
  size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Types", u"path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, text,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(std::u16string(text), u"%BV_REG_TEST_DIR%\\x;%NOT_SET_ANYWHERE%");
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Types", u"path", RRF_RT_REG_EXPAND_SZ, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  unsetenv("BV_REG_TEST_DIR");
}

TEST_F(Registry, KeyAndValueNamesIgnoreCaseButKeepTheirFirstSpelling) {
  DWORD disposition = 0;
  HKEY k = create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Mixed\\Case", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  create(HKEY_LOCAL_MACHINE, u"software\\MIXED\\case", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  DWORD v = 1;
  ASSERT_EQ(RegSetValueExW(k, u"Value", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_SUCCESS);
  v = 2;
  ASSERT_EQ(RegSetValueExW(k, u"VALUE", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_SUCCESS);
  EXPECT_EQ(emu::regValueNames("HKEY_LOCAL_MACHINE\\Software\\mixed\\CASE"), std::vector<std::string>{"Value"});
  EXPECT_EQ(emu::regGetDword("hklm\\SOFTWARE\\Mixed\\Case", "value"), 2u);
  EXPECT_EQ(emu::regSubKeyNames("HKLM\\SOFTWARE\\MIXED"), std::vector<std::string>{"Case"});

  // Non-ASCII letters fold too.
  ASSERT_TRUE(emu::regSetDword("HKLM\\SOFTWARE\\\xc3\x89t\xc3\xa9", "\xc3\xa9", 9)); // "Été", "é"
  DWORD size = 4;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"software\\\u00e9T\u00c9", u"\u00c9", RRF_RT_REG_DWORD, nullptr, &v,
                         &size),
            ERROR_SUCCESS);
  EXPECT_EQ(v, 9u);
}

TEST_F(Registry, SubkeysEnumerateSortedWithoutRegardToCaseAndValuesInCreationOrder) {
  for (const char16_t *name : {u"Order\\gamma", u"Order\\Alpha", u"Order\\beta", u"Order\\_under"})
    create(HKEY_CURRENT_USER, name);
  HKEY k = create(HKEY_CURRENT_USER, u"Order", KEY_READ);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD len = 256;
    LSTATUS rc = RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(len, std::u16string(name).size());
    names.emplace_back(name);
  }
  // Upper-cased ordinal order, as Windows sorts: '_' (0x5F) after the letters.
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma", u"_under"}));
  WCHAR small[5];
  DWORD len = 5;
  EXPECT_EQ(RegEnumKeyExW(k, 0, small, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  for (const char *v : {"zeta", "Alpha", "mid"}) ASSERT_TRUE(emu::regSetDword("HKCU\\Order", v, 1));
  std::vector<std::u16string> values;
  for (DWORD i = 0;; ++i) {
    WCHAR name[64];
    DWORD nameLen = 64, type = 0;
    if (RegEnumValueW(k, i, name, &nameLen, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
    values.emplace_back(name);
  }
  EXPECT_EQ(values, (std::vector<std::u16string>{u"zeta", u"Alpha", u"mid"}));
  DWORD subkeys = 0, valueCount = 0, maxName = 0;
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subkeys, &maxName, nullptr, &valueCount, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 4u);
  EXPECT_EQ(valueCount, 3u);
  EXPECT_EQ(maxName, 6u);
}

TEST_F(Registry, MissingKeysAndValuesAndAccessRightsGiveTheWindowsCodes) {
  HKEY k = reinterpret_cast<HKEY>(0x1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  DWORD size = 0;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", u"x", RRF_RT_ANY, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  HKEY rw = create(HKEY_CURRENT_USER, u"Rights");
  EXPECT_EQ(RegQueryValueExW(rw, u"none", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(rw, u"none"), ERROR_FILE_NOT_FOUND);

  HKEY ro = nullptr, wo = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Rights", 0, KEY_READ, &ro), ERROR_SUCCESS);
  open_.push_back(ro);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Rights", 0, KEY_WRITE | KEY_WOW64_64KEY, &wo), ERROR_SUCCESS);
  open_.push_back(wo);
  DWORD v = 5;
  EXPECT_EQ(RegSetValueExW(ro, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(wo, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&v), 4), ERROR_SUCCESS);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(wo, u"v", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(ro, u"v", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size), ERROR_SUCCESS);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(ro, u"child", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_ACCESS_DENIED);

  // Handles: a key deleted under an open handle, a key with subkeys, bogus and predefined handles.
  create(HKEY_CURRENT_USER, u"Rights\\child\\grandchild");
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Rights\\child"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Rights"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(ro, u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x7777), u"x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, InjectedFailuresComeBackAsTheStatusAndLeaveTheLastErrorAlone) {
  emu::injectFailure("RegGetValueW", ERROR_ACCESS_DENIED, 2);
  ASSERT_TRUE(emu::regSetDword("HKCU\\Inject", "v", 1));
  SetLastError(1234);
  DWORD v = 0, size = 4;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Inject", u"v", RRF_RT_REG_DWORD, nullptr, &v, &size), ERROR_SUCCESS);
  size = 4;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Inject", u"v", RRF_RT_REG_DWORD, nullptr, &v, &size),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), 1234u);
  emu::injectFailure("RegSetKeyValueW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, u"Inject", u"v", REG_DWORD, &v, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(emu::regGetDword("HKCU\\Inject", "v"), 1u);
}

TEST_F(Registry, NamesAndDataOfAnyContentSurviveTheFile) {
  const std::string name = "with space=and%percent\\back\nline \xe2\x82\xac";
  const std::string data = bytes({'\n', 0, '%', ' ', 0xFF, '\r', 0});
  ASSERT_TRUE(emu::regSetValue("HKCU\\Odd Key %41", name, 0x12345, data));
  ASSERT_TRUE(emu::regSetValue("HKCU\\Odd Key %41", "", REG_SZ, "")); // default value, empty data
  auto v = emu::regGetValue("HKCU\\odd key %41", name);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->type, 0x12345u);
  EXPECT_EQ(v->data, data);
  auto d = emu::regGetValue("HKCU\\Odd Key %41", "");
  ASSERT_TRUE(d);
  EXPECT_TRUE(d->data.empty());
  EXPECT_FALSE(emu::regKeyExists("HKCU\\Odd Key A")); // %41 is a name, not an escape
  EXPECT_FALSE(emu::regSetDword("HKXX\\nowhere", "v", 1));
  EXPECT_FALSE(emu::regSetDword("HKCU\\a\\\\b", "v", 1)); // empty component
}

TEST_F(Registry, PredefinedKeysAreTheSignExtendedWin64Values) {
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE), 0xFFFFFFFF80000002ull);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER), 0xFFFFFFFF80000001ull);
  // HKEY_CLASSES_ROOT is the machine's SOFTWARE\Classes.
  ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, u".bv", nullptr, REG_SZ, u"x", 4), ERROR_SUCCESS);
  EXPECT_EQ(emu::regGetString("HKLM\\SOFTWARE\\Classes\\.bv", ""), "x");
}

} // namespace
