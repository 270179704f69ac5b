#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "Util/regutil.h"
#include "emu/emu.h"
#include "emu/registry.h"
#include "logcapture.h"
#include "qtprint.h"
#include "testenv.h"

namespace {

using Lines = std::vector<std::string>;
const char kKey[] = "HKLM\\SOFTWARE\\Orlenta\\Brimvault\\server";
const QString kSub = "SOFTWARE\\Orlenta\\Brimvault\\server";
const HKEY kLM = HKEY_LOCAL_MACHINE;

std::string bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }
std::string multi(std::initializer_list<const char *> items) {
  std::string data;
  for (const char *s : items) data += emu::regUtf16Bytes(s) + bytes({0, 0});
  return data + bytes({0, 0});
}
std::string stored(const char *name) {
  auto v = emu::regGetValue(kKey, name);
  return v ? v->data : "<none>";
}
long calls(const char *name) {
  auto j = emu::callJournal();
  return std::count_if(j.begin(), j.end(), [&](const std::string &c) { return c.rfind(name, 0) == 0; });
}

class RegUtilTest : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    emu::clearFailures();
    emu::clearCallJournal();
    logcapture::mark();
  }
  void TearDown() override { emu::clearFailures(); }
};

TEST_F(RegUtilTest, DwordWriteMakesThePathAndTheReadFallsBackToTheDefaultSilently) {
  emu::regDeleteTree("HKLM\\SOFTWARE\\Orlenta");
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "exitCode", 0xFFFFFFFF), 0xFFFFFFFFu); // no key yet
  EXPECT_TRUE(RegUtil::setRegDwordValue(kLM, kSub, "exitCode", 0x40010004));
  EXPECT_EQ(emu::regGetValue(kKey, "exitCode")->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(stored("exitCode"), bytes({0x04, 0x00, 0x01, 0x40}));
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "EXITCODE", 0), 0x40010004u);

  ASSERT_TRUE(emu::regSetString(kKey, "text", "12"));
  ASSERT_TRUE(emu::regSetValue(kKey, "short", REG_DWORD, bytes({1, 2})));
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "missing", 7), 7u);
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "text", 0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "short", 9), 9u);
  emu::injectFailure("RegGetValueW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "exitCode", 3), 3u);
  EXPECT_EQ(logcapture::messagesSinceMark(), Lines{});
}

TEST_F(RegUtilTest, DwordWriteFailuresLogTheFailedCallAndLeaveTheValue) {
  ASSERT_TRUE(emu::regSetDword(kKey, "exitCode", 5));
  const size_t handles = emu::openHandleCount();
  emu::injectFailure("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  emu::injectFailure("RegCreateKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegUtil::setRegDwordValue(kLM, kSub, "exitCode", 0));
  auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 1u); // the failed open is not logged
  EXPECT_EQ(lines[0].message, "RegCreateKeyEx failed with: 0x5");
  EXPECT_EQ(lines[0].level, "I");
  EXPECT_EQ(lines[0].function, "setRegDwordValue");

  emu::clearFailures(); // the create opens the key the open could not
  emu::injectFailure("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(RegUtil::setRegDwordValue(kLM, kSub, "exitCode", 6));
  emu::clearFailures();
  emu::injectFailure("RegSetValueExW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegUtil::setRegDwordValue(kLM, kSub, "exitCode", 0));
  EXPECT_EQ(emu::regGetDword(kKey, "exitCode"), 6u);
  EXPECT_EQ(emu::openHandleCount(), handles); // the key was closed on the failure path too
  EXPECT_EQ(logcapture::messagesSinceMark(),
            (Lines{"RegCreateKeyEx failed with: 0x5", "RegSetValueEx failed with: 0x5"}));

  // A caller without administrator rights is refused by the machine itself; reading stays open.
  logcapture::mark();
  {
    testenv::ScopedAccount user(testenv::standardUser());
    EXPECT_FALSE(RegUtil::setRegDwordValue(kLM, kSub, "exitCode", 0));
    EXPECT_FALSE(RegUtil::appendRegMultiSzValue(kLM, kSub, "list", {"a"}));
    EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "exitCode", 0), 6u);
  }
  EXPECT_EQ(emu::regGetDword(kKey, "exitCode"), 6u);
  EXPECT_EQ(stored("list"), "<none>");
  Lines described;
  for (const auto &l : logcapture::sinceMark()) described.push_back(l.level + " " + l.function + " " + l.message);
  EXPECT_EQ(described, (Lines{"I setRegDwordValue RegCreateKeyEx failed with: 0x5",
                              "I setRegMultiSzValue RegSetKeyValueW failed with: 0x5"}));
}

TEST_F(RegUtilTest, EmptyNamesAreRefusedWithTheInfoLineBeforeAnyRegistryCall) {
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, "", "v"), QString());
  EXPECT_EQ(RegUtil::getRegDwordValue(kLM, kSub, "", 77), 77u);
  EXPECT_FALSE(RegUtil::setRegDwordValue(kLM, "", "", 1));
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(kLM, kSub, "", {"a"}));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "v", ""));
  EXPECT_EQ(calls("Reg"), 0);
  const auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].message, "subKey.isEmpty(1), valueName.isEmpty(0)");
  EXPECT_EQ(lines[1].message, "subKey.isEmpty(0), valueName.isEmpty(1)");
  EXPECT_EQ(lines[2].message, "subKey.isEmpty(1), valueName.isEmpty(1)");
  EXPECT_EQ(lines[4].message, "subKey.isEmpty(0), valueName.isEmpty(0), valueToBeChecked.isEmpty(1)");
  EXPECT_EQ(lines[1].function, "getRegDwordValue");
  EXPECT_EQ(lines[3].function, "appendRegMultiSzValue");
}

TEST_F(RegUtilTest, StringReadIsBoundedForOddSizesMissingTerminatorsAndInnerNuls) {
  const std::string abc = emu::regUtf16Bytes("abc");
  ASSERT_TRUE(emu::regSetString(kKey, "DriverDesc", "Ports (COM & LPT) \xe2\x84\xa2"));
  ASSERT_TRUE(emu::regSetValue(kKey, "bare", REG_SZ, abc));
  ASSERT_TRUE(emu::regSetValue(kKey, "odd", REG_SZ, abc.substr(0, 5)));
  ASSERT_TRUE(emu::regSetValue(kKey, "one", REG_SZ, abc.substr(0, 1)));
  ASSERT_TRUE(emu::regSetValue(kKey, "inner", REG_SZ, emu::regUtf16Bytes("ab") + bytes({0, 0}) + abc));
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "DriverDesc"), QString("Ports (COM & LPT) \u2122"));
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "bare"), QString("abc"));
  // The odd byte is the low half of 'c'; the terminator after it completes the character.
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "odd"), QString("abc"));
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "one"), QString("a"));
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "inner"), QString("ab"));
  EXPECT_EQ(logcapture::messagesSinceMark(), Lines{});

  ASSERT_TRUE(emu::regSetDword(kKey, "number", 1));
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "number"), QString()); // type restriction
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "missing"), QString());
  emu::injectFailure("RegGetValueW", ERROR_MORE_DATA, 2); // grown since the size query: no second attempt
  EXPECT_EQ(RegUtil::getRegSzValue(kLM, kSub, "bare"), QString());
  EXPECT_EQ(logcapture::messagesSinceMark(), (Lines{"RegGetValue failed with: 0x65e", "RegGetValue failed with: 0x2",
                                                    "RegGetValue failed with: 0xea"}));
}

TEST_F(RegUtilTest, MembershipIgnoresCaseStopsAtAnEmptyStringAndReadsUnterminatedData) {
  ASSERT_TRUE(emu::regSetValue(kKey, "list", REG_MULTI_SZ, multi({"first", "x", "LastOne"})));
  ASSERT_TRUE(emu::regSetValue(kKey, "bare", REG_MULTI_SZ, emu::regUtf16Bytes("a") + bytes({0, 0}) +
                                                               emu::regUtf16Bytes("bc") + "d"));
  ASSERT_TRUE(emu::regSetValue(kKey, "stop", REG_MULTI_SZ, multi({"a", "", "hidden"})));
  EXPECT_TRUE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "list", "lastone"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "list", "last"));
  EXPECT_TRUE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "bare", "BCD"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "stop", "hidden"));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "missing", "x"));
  EXPECT_EQ(logcapture::messagesSinceMark(), Lines{"RegGetValue failed with: 0x2"});
}

TEST_F(RegUtilTest, AppendAddsWhatTheListLacksWithoutRegardToCase) {
  EXPECT_TRUE(RegUtil::appendRegMultiSzValue(kLM, kSub, "fresh", {"a", "A"}));
  EXPECT_EQ(stored("fresh"), multi({"a", "A"})); // a missing value takes the list as given
  ASSERT_TRUE(emu::regSetValue(kKey, "one", REG_MULTI_SZ, multi({"x"})));
  EXPECT_TRUE(RegUtil::appendRegMultiSzValue(kLM, kSub, "one", {"X", "", "y", "Y", "y"}));
  EXPECT_EQ(stored("one"), multi({"x", "y"}));
  emu::clearCallJournal();
  EXPECT_TRUE(RegUtil::appendRegMultiSzValue(kLM, kSub, "one", {"x"}));
  EXPECT_EQ(calls("RegSetKeyValueW"), 1); // written back although nothing was added

  emu::injectFailure("RegSetKeyValueW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(kLM, kSub, "one", {"z"}));
  emu::injectFailure("RegGetValueW", ERROR_ACCESS_DENIED, 1); // the size query
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(kLM, kSub, "one", {"z"}));
  emu::injectFailure("RegGetValueW", ERROR_MORE_DATA, 2); // the read
  EXPECT_FALSE(RegUtil::appendRegMultiSzValue(kLM, kSub, "one", {"z"}));
  EXPECT_EQ(stored("one"), multi({"x", "y"}));
  EXPECT_EQ(logcapture::messagesSinceMark(), (Lines{"RegSetKeyValueW failed with: 0x5",
                                                    "RegGetValueW failed with: 0x5", "RegGetValueW failed with: 0xea"}));
}

TEST_F(RegUtilTest, RemoveTakesOutEveryEntryInAnyCaseAndWritesOnlyWhenSomethingWent) {
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(kLM, kSub, "missing", {"a"}));
  ASSERT_TRUE(emu::regSetValue(kKey, "aba", REG_MULTI_SZ, multi({"a", "b", "a"})));
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(kLM, kSub, "aba", {"z", "bb"}));
  EXPECT_EQ(calls("RegSetKeyValueW"), 0);
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(kLM, kSub, "aba", {"a"}));
  EXPECT_EQ(stored("aba"), multi({"b"}));

  // A stored "A" goes when "a" is removed, so the membership test agrees with the reported success.
  ASSERT_TRUE(emu::regSetValue(kKey, "upper", REG_MULTI_SZ, multi({"A", "keep", "a"})));
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(kLM, kSub, "upper", {"a"}));
  EXPECT_FALSE(RegUtil::isRegMultiSzContainsValue(kLM, kSub, "upper", "a"));
  EXPECT_EQ(stored("upper"), multi({"keep"}));
  // Emptying the list leaves a value of one NUL character, not a deleted value.
  EXPECT_TRUE(RegUtil::removeRegMultiSzValue(kLM, kSub, "upper", {"KEEP"}));
  EXPECT_EQ(stored("upper"), bytes({0, 0}));
  EXPECT_EQ(stored("missing"), "<none>");

  ASSERT_TRUE(emu::regSetDword(kKey, "dword", 1));
  EXPECT_FALSE(RegUtil::removeRegMultiSzValue(kLM, kSub, "dword", {"a"}));
  EXPECT_EQ(logcapture::messagesSinceMark(), Lines{"RegGetValueW failed with: 0x65e"});
}

TEST_F(RegUtilTest, SubKeyNamesListTheKeysChildrenInRegistryOrder) {
  for (const char *k : {"HKCU\\Names\\zeta", "HKCU\\Names\\Alpha\\deeper", "HKCU\\Names\\mid"})
    ASSERT_TRUE(emu::regCreateKey(k));
  EXPECT_EQ(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "names"), (QStringList{"Alpha", "mid", "zeta"}));
  EXPECT_TRUE(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "Names\\mid").isEmpty());
  EXPECT_TRUE(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "Nowhere").isEmpty());
  EXPECT_TRUE(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "").contains("Names"));
  const size_t handles = emu::openHandleCount();
  emu::injectFailure("RegEnumKeyExW", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(RegUtil::getSubKeyNames(HKEY_CURRENT_USER, "Names"), QStringList{"Alpha"});
  EXPECT_EQ(emu::openHandleCount(), handles);
  EXPECT_EQ(logcapture::messagesSinceMark(), Lines{});
}

} // namespace
