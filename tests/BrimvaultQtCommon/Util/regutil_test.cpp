#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "Util/regutil.h"
#include "emu/emu.h"
#include "emu/registry.h"
#include "logcapture.h"
#include "qtprint.h"

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

// --- argument check -----------------------------------------------------------------------------

TEST_F(RegUtilTest, EmptyNamesAreRefusedWithTheInfoLineBeforeAnyRegistryCall) {
  const QString sub = "SOFTWARE\\Args", name = "v";
  emu::clearCallJournal();
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, "", name), QString());
  EXPECT_EQ(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, sub, "", 77), 77u);
  EXPECT_FALSE(RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, "", "", 1));
  EXPECT_FALSE(RegUtil::setRegMultiSzValue(HKEY_LOCAL_MACHINE, "", name, {"a"}));
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "", {"a"}));
  EXPECT_FALSE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, "", name, {"a"}));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, name, ""));
  EXPECT_EQ(registryCalls(), 0u);

  const auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 7u);
  const std::pair<const char *, const char *> expected[] = {
      {"getRegSzValue", "subKey.isEmpty(1), valueName.isEmpty(0)"},
      {"getRegDwordValue", "subKey.isEmpty(0), valueName.isEmpty(1)"},
      {"setRegDwordValue", "subKey.isEmpty(1), valueName.isEmpty(1)"},
      {"setRegMultiSzValue", "subKey.isEmpty(1), valueName.isEmpty(0)"},
      {"appendRegMultiSzValue", "subKey.isEmpty(0), valueName.isEmpty(1)"},
      {"removeRegMultiSzValue", "subKey.isEmpty(1), valueName.isEmpty(0)"},
      {"isRegMultiSzContainsValue", "subKey.isEmpty(0), valueName.isEmpty(0), valueToBeChecked.isEmpty(1)"},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].function, expected[i].first);
    EXPECT_EQ(lines[i].message, expected[i].second);
    EXPECT_EQ(lines[i].level, "I");
  }
}

// --- strings ------------------------------------------------------------------------------------

TEST_F(RegUtilTest, StringReadIsBoundedForOddSizesMissingTerminatorsAndInnerNuls) {
  const QString sub = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0000";
  const std::string key = "HKLM\\" + sub.toStdString();
  const std::string abc = emu::regUtf16Bytes("abc");
  ASSERT_TRUE(emu::regSetString(key, "DriverDesc", "Ports (COM & LPT) \xe2\x84\xa2"));
  ASSERT_TRUE(emu::regSetValue(key, "bare", REG_SZ, abc));
  ASSERT_TRUE(emu::regSetValue(key, "odd", REG_SZ, abc.substr(0, 5)));
  ASSERT_TRUE(emu::regSetValue(key, "one", REG_SZ, abc.substr(0, 1)));
  ASSERT_TRUE(emu::regSetValue(key, "inner", REG_SZ, emu::regUtf16Bytes("ab") + bytes({0, 0}) + abc));
  ASSERT_TRUE(emu::regSetValue(key, "empty", REG_SZ, ""));
  ASSERT_TRUE(emu::regSetValue(key, "long", REG_SZ, emu::regUtf16Bytes(std::string(5000, 'x'))));

  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "DriverDesc"), QString("Ports (COM & LPT) \u2122"));
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "bare"), QString("abc"));
  // The odd byte is the low half of 'c'; its high half is the terminator's first byte.
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "odd"), QString("abc"));
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "one"), QString("a"));
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "inner"), QString("ab"));
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "empty"), QString());
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "long"), QString(5000, 'x'));
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());
}

TEST_F(RegUtilTest, StringReadFailuresLogTheCallsResult) {
  const QString sub = "SOFTWARE\\StringFailures";
  ASSERT_TRUE(emu::regSetDword("HKLM\\SOFTWARE\\StringFailures", "number", 1));
  ASSERT_TRUE(emu::regSetString("HKLM\\SOFTWARE\\StringFailures", "text", "grown"));
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "number"), QString()); // type restriction
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "missing"), QString());
  // The value grew between the size query and the read: no second attempt.
  emu::injectFailure("RegGetValueW", ERROR_MORE_DATA, 2);
  EXPECT_EQ(RegUtil::getRegSzValue(HKEY_LOCAL_MACHINE, sub, "text"), QString());
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (std::vector<std::string>{"RegGetValue failed with: 0x65e", "RegGetValue failed with: 0x2",
                                      "RegGetValue failed with: 0xea"}));
}

// --- multi-strings ------------------------------------------------------------------------------

class RegUtilMultiSz : public RegUtilTest {
protected:
  const QString sub = "SOFTWARE\\Orlenta\\Multi";
  const std::string key = "HKLM\\SOFTWARE\\Orlenta\\Multi";
  static std::string multi(std::initializer_list<const char *> items) {
    std::string data;
    for (const char *s : items) data += emu::regUtf16Bytes(s) + std::string(2, '\0');
    return data + std::string(2, '\0');
  }
  std::string stored(const char *name) const {
    auto v = emu::regGetValue(key, name);
    return v && v->type == REG_MULTI_SZ ? v->data : std::string("<none>");
  }
  size_t writes() const {
    auto j = emu::callJournal();
    return static_cast<size_t>(std::count(j.begin(), j.end(), "RegSetKeyValueW"));
  }
};

TEST_F(RegUtilMultiSz, MembershipIgnoresCaseAndReadsOddOrUnterminatedData) {
  ASSERT_TRUE(emu::regSetValue(key, "list", REG_MULTI_SZ, multi({"first", "x", "LastOne"})));
  ASSERT_TRUE(emu::regSetValue(key, "bare", REG_MULTI_SZ, emu::regUtf16Bytes("a") + bytes({0, 0}) +
                                                              emu::regUtf16Bytes("bc") + "d"));
  ASSERT_TRUE(emu::regSetValue(key, "stop", REG_MULTI_SZ, emu::regUtf16Bytes("a") + bytes({0, 0, 0, 0}) +
                                                              emu::regUtf16Bytes("hidden") + bytes({0, 0, 0, 0})));
  EXPECT_TRUE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "list", "lastone"));
  EXPECT_TRUE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "LIST", "FIRST"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "list", "last"));
  EXPECT_TRUE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "bare", "BCD"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "stop", "hidden")); // after ""
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());

  ASSERT_TRUE(emu::regSetString(key, "text", "x"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "missing", "x"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "text", "x"));
  emu::injectFailure("RegGetValueW", ERROR_ACCESS_DENIED, 2);
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "list", "x"));
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (std::vector<std::string>{"RegGetValue failed with: 0x2", "RegGetValue failed with: 0x65e",
                                      "RegGetValue failed with: 0x5"}));
}

TEST_F(RegUtilMultiSz, SetWritesTheListWithoutEmptyStringsAndAnEmptyListAsOneNul) {
  EXPECT_TRUE(RegUtil::setRegMultiSzValue(HKEY_LOCAL_MACHINE, sub + "\\New\\Path", "v", {"", "ab", "", "c"}));
  auto v = emu::regGetValue(key + "\\New\\Path", "v");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->data, multi({"ab", "c"}));
  EXPECT_EQ(v->data.size(), 12u);
  EXPECT_TRUE(RegUtil::setRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "none", {}));
  EXPECT_EQ(stored("none"), bytes({0, 0}));
  emu::injectFailure("RegSetKeyValueW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegUtil::setRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "none", {"x"}));
  EXPECT_EQ(stored("none"), bytes({0, 0}));
  EXPECT_EQ(logcapture::messagesSinceMark(), std::vector<std::string>{"RegSetKeyValueW failed with: 0x5"});
}

TEST_F(RegUtilMultiSz, AppendAddsWhatTheListLacksWithoutRegardToCase) {
  EXPECT_TRUE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "fresh", {"a", "A"}));
  EXPECT_EQ(stored("fresh"), multi({"a", "A"})); // a missing value takes the list as given

  ASSERT_TRUE(emu::regSetValue(key, "one", REG_MULTI_SZ, multi({"x"})));
  EXPECT_TRUE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "one", {"X", "y", "Y", "y"}));
  EXPECT_EQ(stored("one"), multi({"x", "y"}));

  emu::clearCallJournal();
  EXPECT_TRUE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "one", {"x"}));
  EXPECT_EQ(writes(), 1u); // written back even when nothing was added
  emu::injectFailure("RegSetKeyValueW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "one", {"x"}));
  EXPECT_EQ(stored("one"), multi({"x", "y"}));
  EXPECT_EQ(logcapture::messagesSinceMark(), std::vector<std::string>{"RegSetKeyValueW failed with: 0x5"});
}

TEST_F(RegUtilMultiSz, RemoveTakesOutEveryEntryInAnyCaseAndWritesOnlyWhenSomethingWent) {
  emu::clearCallJournal();
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "missing", {"a"}));
  EXPECT_EQ(writes(), 0u);
  EXPECT_EQ(stored("missing"), "<none>");

  ASSERT_TRUE(emu::regSetValue(key, "aba", REG_MULTI_SZ, multi({"a", "b", "a"})));
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "aba", {"a"}));
  EXPECT_EQ(stored("aba"), multi({"b"}));

  // A stored "A" goes when "a" is removed, so the membership test agrees with the reported success.
  ASSERT_TRUE(emu::regSetValue(key, "upper", REG_MULTI_SZ, multi({"A", "keep", "a"})));
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "upper", {"a"}));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(HKEY_LOCAL_MACHINE, sub, "upper", "a"));
  EXPECT_EQ(stored("upper"), multi({"keep"}));

  // Emptying the list leaves a value of one NUL character, not a deleted value.
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "upper", {"KEEP"}));
  EXPECT_EQ(stored("upper"), bytes({0, 0}));

  emu::clearCallJournal();
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "aba", {"z", "bb"}));
  EXPECT_EQ(writes(), 0u);
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());
}

TEST_F(RegUtilMultiSz, AppendAndRemoveLogReadFailuresWithTheWName) {
  ASSERT_TRUE(emu::regSetValue(key, "v", REG_MULTI_SZ, multi({"a"})));
  emu::injectFailure("RegGetValueW", ERROR_ACCESS_DENIED, 1); // the size query
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "v", {"b"}));
  emu::injectFailure("RegGetValueW", ERROR_MORE_DATA, 2); // the read
  EXPECT_FALSE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "v", {"a"}));
  ASSERT_TRUE(emu::regSetDword(key, "dword", 1));
  emu::clearFailures();
  EXPECT_FALSE(RegUtil::removeRegMultiSzValue(HKEY_LOCAL_MACHINE, sub, "dword", {"a"}));
  EXPECT_EQ(stored("v"), multi({"a"}));
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (std::vector<std::string>{"RegGetValueW failed with: 0x5", "RegGetValueW failed with: 0xea",
                                      "RegGetValueW failed with: 0x65e"}));
}

// --- subkey names -------------------------------------------------------------------------------

TEST_F(RegUtilTest, SubKeyNamesListTheKeysChildrenInRegistryOrder) {
  for (const char *k : {"HKCU\\Names\\zeta", "HKCU\\Names\\Alpha\\deeper", "HKCU\\Names\\mid"})
    ASSERT_TRUE(emu::regCreateKey(k));
  ASSERT_TRUE(emu::regSetDword("HKCU\\Names", "notAKey", 1));
  EXPECT_EQ(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "names"), (QStringList{"Alpha", "mid", "zeta"}));
  EXPECT_TRUE(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "Names\\mid").isEmpty());
  EXPECT_TRUE(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "Nowhere").isEmpty());
  EXPECT_TRUE(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "").contains("Names"));
  const size_t handles = emu::openHandleCount();
  emu::injectFailure("RegEnumKeyExW", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "Names"), QStringList{"Alpha"});
  EXPECT_EQ(emu::openHandleCount(), handles);
  EXPECT_TRUE(logcapture::messagesSinceMark().empty());
}

} // namespace
