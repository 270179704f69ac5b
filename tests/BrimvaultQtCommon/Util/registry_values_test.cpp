// Registry values through RegUtil, checked with the plain registry calls only: the same test runs against the
// emulated machine and against a real registry (Windows, or Wine in scripts/windows).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "Util/regutil.h"
#include "qtprint.h"

namespace {

const QString kSub = "SOFTWARE\\Orlenta\\BrimvaultTest\\values";

struct Stored {
  DWORD type = REG_NONE;
  std::u16string bytes; // UTF-16 units, or the raw bytes packed two by two
  DWORD size = 0;
};

Stored read(const QString &name) {
  Stored s;
  BYTE data[512] = {0};
  DWORD size = sizeof(data);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, reinterpret_cast<const WCHAR *>(kSub.utf16()),
                   reinterpret_cast<const WCHAR *>(name.utf16()), RRF_RT_ANY | RRF_NOEXPAND, &s.type, data,
                   &size) != ERROR_SUCCESS)
    return s;
  s.size = size;
  s.bytes.assign(reinterpret_cast<const char16_t *>(data), size / 2);
  return s;
}

class RegistryValues : public ::testing::Test {
protected:
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Orlenta\\BrimvaultTest")); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Orlenta\\BrimvaultTest")); }
};

TEST_F(RegistryValues, DwordsAreStoredAsFourLittleEndianBytesUnderAKeyTheWriteMakes) {
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, kSub, "exitCode", 7), 7u); // no key yet
  ASSERT_TRUE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, kSub, "exitCode", 0x40010004));
  const Stored s = read("exitCode");
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(s.size, 4u);
  EXPECT_EQ(s.bytes, std::u16string({char16_t(0x0004), char16_t(0x4001)}));
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, kSub, "EXITCODE", 0), 0x40010004u); // names ignore case
}

TEST_F(RegistryValues, MultiStringsKeepEveryEntryAndEndWithTwoNuls) {
  const QStringList first{"oem12.inf", "Port \u00e9\u4e2d"};
  ASSERT_TRUE(RegUtil::setRegMultiSzValue(HKEY_LOCAL_MACHINE, kSub, "UpperFilters", first));
  Stored s = read("UpperFilters");
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(s.bytes, u"oem12.inf" + std::u16string(1, 0) + u"Port \u00e9\u4e2d" + std::u16string(2, 0));
  EXPECT_TRUE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, kSub, "UpperFilters", "OEM12.INF"));

  ASSERT_TRUE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, kSub, "UpperFilters", {"brim.inf"}));
  ASSERT_TRUE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, kSub, "UpperFilters", {"oem12.inf"}));
  s = read("UpperFilters");
  EXPECT_EQ(s.bytes, u"Port \u00e9\u4e2d" + std::u16string(1, 0) + u"brim.inf" + std::u16string(2, 0));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, kSub, "UpperFilters", "oem12.inf"));
}

TEST_F(RegistryValues, StringsAndSubKeysReadBack) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const WCHAR *>((kSub + "\\0001").utf16()), 0,
                            nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::u16string desc = u"USB Serial Device (COM5)";
  ASSERT_EQ(RegSetValueExW(key, TEXT("DriverDesc"), 0, REG_SZ, reinterpret_cast<const BYTE *>(desc.c_str()),
                           DWORD((desc.size() + 1) * sizeof(char16_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, kSub + "\\0001", "DriverDesc"), "USB Serial Device (COM5)");
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, kSub + "\\0001", "missing"), "");
  EXPECT_EQ(RegUtil::getSubKeyNames(HKEY_LOCAL_MACHINE, kSub), QStringList{"0001"});
}

} // namespace
