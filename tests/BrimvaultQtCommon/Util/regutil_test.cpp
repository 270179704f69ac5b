#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "Util/regutil.h"
#include "emu/emu.h"
#include "emu/registry.h"
#include "logcapture.h"

namespace {

const char kServerKey[] = "HKLM\\SOFTWARE\\Orlenta\\Brimvault\\server";
const QString kServerSubKey = "SOFTWARE\\Orlenta\\Brimvault\\server";
constexpr DWORD kAllBits = static_cast<DWORD>(-1);

class RegUtilTest : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    emu::clearFailures();
    logcapture::mark();
  }
  void TearDown() override { emu::clearFailures(); }

  static std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
  }
  static size_t registryCalls() {
    auto j = emu::callJournal();
    return static_cast<size_t>(
        std::count_if(j.begin(), j.end(), [](const std::string &c) { return c.rfind("Reg", 0) == 0; }));
  }
};

// --- 32-bit values: the service's own road ------------------------------------------------------

TEST_F(RegUtilTest, DwordWriteCreatesTheWholePathAndStoresFourLittleEndianBytes) {
  ASSERT_FALSE(emu::regKeyExists("HKLM\\SOFTWARE\\Orlenta"));
  EXPECT_TRUE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, kServerSubKey, "exitCode", 0x40010004));
  auto stored = emu::regGetValue(kServerKey, "exitCode");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(stored->data, bytes({0x04, 0x00, 0x01, 0x40}));
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, kServerSubKey, "exitCode", 0), 0x40010004u);

  // A second write finds the key open-able and replaces the value without creating anything.
  emu::clearCallJournal();
  EXPECT_TRUE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, kServerSubKey, "exitCode", 0));
  auto journal = emu::callJournal();
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "RegCreateKeyExW"), 0);
  EXPECT_EQ(emu::regGetDword(kServerKey, "exitCode"), 0u);
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());
}

TEST_F(RegUtilTest, DwordReadGivesTheDefaultUnchangedAndSilentlyWhenTheValueCannotBeRead) {
  const QString sub = "SOFTWARE\\Orlenta\\DwordDefaults";
  const std::string key = "HKLM\\" + sub.toStdString();
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "exitCode", kAllBits), kAllBits); // no key
  ASSERT_TRUE(emu::regCreateKey(key));
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "exitCode", 7), 7u); // no value
  ASSERT_TRUE(emu::regSetString(key, "text", "12"));
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "text", kAllBits), kAllBits); // wrong type
  ASSERT_TRUE(emu::regSetValue(key, "short", REG_DWORD, bytes({1, 2})));
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "short", 9), 9u); // not 4 bytes
  ASSERT_TRUE(emu::regSetDword(key, "mhz", 2904));
  emu::injectFailure("RegGetValueW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "mhz", kAllBits), kAllBits);
  emu::clearFailures();
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "mhz", kAllBits), 2904u);
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());
}

TEST_F(RegUtilTest, DwordWriteFailuresLogTheFailedCallAndLeaveTheRegistryAsItWas) {
  ASSERT_TRUE(emu::regSetDword(kServerKey, "exitCode", 5));
  const size_t handles = emu::openHandleCount();

  // Neither open nor create: only the create is logged.
  emu::injectFailure("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  emu::injectFailure("RegCreateKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, kServerSubKey, "exitCode", 0));
  auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "RegCreateKeyEx failed with: 0x5");
  EXPECT_EQ(lines[0].level, "I");
  EXPECT_EQ(lines[0].function, "setRegDwordValue");

  // The open fails but the create opens the existing key: success, nothing logged.
  emu::clearFailures();
  emu::injectFailure("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  logcapture::mark();
  EXPECT_TRUE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, kServerSubKey, "exitCode", 6));
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());
  EXPECT_EQ(emu::regGetDword(kServerKey, "exitCode"), 6u);

  // The write itself fails: logged, false, and the key handle is closed all the same.
  emu::clearFailures();
  emu::injectFailure("RegSetValueExW", ERROR_ACCESS_DENIED);
  logcapture::mark();
  EXPECT_FALSE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, kServerSubKey, "exitCode", 0));
  EXPECT_EQ(logcapture::messagesSinceMark(), std::vector<std::string>{"RegSetValueEx failed with: 0x5"});
  EXPECT_EQ(emu::regGetDword(kServerKey, "exitCode"), 6u);
  EXPECT_EQ(emu::openHandleCount(), handles);
}

TEST_F(RegUtilTest, KeyAndValueNamesMatchWithoutRegardToCase) {
  ASSERT_TRUE(emu::regSetDword("HKLM\\SOFTWARE\\CaseTest\\Server", "ExitCode", 3));
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, "software\\casetest\\SERVER", "EXITCODE", 0), 3u);
  EXPECT_TRUE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\CASETEST\\server", "exitcode", 4));
  // One value, still under the name it was made with.
  EXPECT_EQ(emu::regValueNames("HKLM\\SOFTWARE\\CaseTest\\Server"), std::vector<std::string>{"ExitCode"});
  EXPECT_EQ(emu::regGetDword("HKLM\\SOFTWARE\\CaseTest\\Server", "ExitCode"), 4u);
}

} // namespace
