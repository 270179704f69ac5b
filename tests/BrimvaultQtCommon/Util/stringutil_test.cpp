#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

#include "Util/stringutil.h"
#include "qtprint.h"

namespace {

// A heap copy of exactly n characters, so that a read past the end is caught by the address sanitizer.
std::unique_ptr<WCHAR[]> exact(std::initializer_list<WCHAR> chars) {
  std::unique_ptr<WCHAR[]> p(new WCHAR[chars.size()]);
  std::copy(chars.begin(), chars.end(), p.get());
  return p;
}

// The first n UTF-16 units of a Windows wide buffer (WCHAR is wchar_t there, char16_t on the emulated machine).
std::u16string units(const WCHAR *p, size_t n) { return std::u16string(reinterpret_cast<const char16_t *>(p), n); }

TEST(StringUtilMultiSz, ReadingStopsAtTheFirstEmptyStringAndNeverPassesTheByteSize) {
  EXPECT_TRUE(StringUtil::multiSzToStringList(nullptr, 0).isEmpty());
  EXPECT_TRUE(StringUtil::multiSzToStringList(nullptr, 1).isEmpty());
  auto nul = exact({0});
  EXPECT_TRUE(StringUtil::multiSzToStringList(nul.get(), 2).isEmpty());

  auto inner = exact({u'a', 0, 0, u'b', 0, 0});
  EXPECT_EQ(StringUtil::multiSzToStringList(inner.get(), 12), QStringList{"a"});

  // The last string ends exactly at the end, without its NUL and without the final empty string.
  auto open = exact({u'a', u'b', 0, u'c', u'd'});
  EXPECT_EQ(StringUtil::multiSzToStringList(open.get(), 10), (QStringList{"ab", "cd"}));
  // An odd byte count ignores the last byte; a byte size shorter than the buffer bounds the read.
  EXPECT_EQ(StringUtil::multiSzToStringList(open.get(), 9), (QStringList{"ab", "c"}));
  EXPECT_EQ(StringUtil::multiSzToStringList(open.get(), 3), QStringList{"a"});

  auto wide = exact({0xD83D, 0xDE00, 0, u'\u00e9', 0, 0}); // a surrogate pair and a non-ASCII letter
  EXPECT_EQ(StringUtil::multiSzToStringList(wide.get(), 12), (QStringList{"\U0001F600", "\u00e9"}));
}

TEST(StringUtilMultiSz, WritingDropsEmptyStringsAndSizesInBytes) {
  DWORD size = 0;
  auto buf = StringUtil::stringListToMultiSz({"ab", "c"}, size);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(units(buf.get(), 6), std::u16string(u"ab\0c\0\0", 6));

  buf = StringUtil::stringListToMultiSz({}, size);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(buf[0], 0);
  buf = StringUtil::stringListToMultiSz({"", "x", ""}, size);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(units(buf.get(), 3), std::u16string(u"x\0\0", 3));

  const QStringList list{"", "first", "\U0001F600 two", "", "caf\u00e9"};
  buf = StringUtil::stringListToMultiSz(list, size);
  EXPECT_EQ(size, static_cast<DWORD>(2 * (5 + 1) + 2 * (6 + 1) + 2 * (4 + 1) + 2));
  EXPECT_EQ(StringUtil::multiSzToStringList(buf.get(), size), (QStringList{"first", "\U0001F600 two", "caf\u00e9"}));
}

TEST(StringUtilText, GuidTextIsUpperCaseZeroPaddedAndKeepsTheLastFieldsByteOrder) {
  EXPECT_EQ(StringUtil::guidToString(GUID{}), "00000000-0000-0000-0000-000000000000");
  const GUID ports = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  EXPECT_EQ(StringUtil::guidToString(ports), "4D36E978-E325-11CE-BFC1-08002BE10318");
  EXPECT_EQ(StringUtil::guidToString(GUID{0xABCD, 0xA, 0xB0, {1, 2, 3, 4, 5, 6, 7, 8}}),
            "0000ABCD-000A-00B0-0102-030405060708");
}

TEST(StringUtilText, CaseInsensitiveEquality) {
  EXPECT_TRUE(StringUtil::isEqualIgnoreCase("C:\\Program Files\\App.EXE", "c:\\program files\\app.exe"));
  EXPECT_TRUE(StringUtil::isEqualIgnoreCase("\u00c9T\u00c9", "\u00e9t\u00e9"));
  EXPECT_FALSE(StringUtil::isEqualIgnoreCase("rule", "rule "));
}

TEST(StringUtilText, BoundedCopyNeedsRoomForTheNul) {
  WCHAR buf[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_FALSE(StringUtil::copyToWcharBuffer("abc", buf, 3)); // exactly capacity characters
  EXPECT_EQ(buf[0], u'#');
  EXPECT_FALSE(StringUtil::copyToWcharBuffer("", buf, 0));
  EXPECT_FALSE(StringUtil::copyToWcharBuffer("", buf, -5));
  EXPECT_EQ(buf[0], u'#');
  EXPECT_TRUE(StringUtil::copyToWcharBuffer("", buf, 1));
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], u'#');
  EXPECT_TRUE(StringUtil::copyToWcharBuffer("abc", buf, 4));
  EXPECT_EQ(units(buf, 4), std::u16string(u"abc\0", 4));
  EXPECT_FALSE(StringUtil::copyToWcharBuffer("a", nullptr, 10));
}

} // namespace
