// The machine's ANSI code page and its heaps, as the USB enumerator and the device tools use them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "emu/heap.h"

namespace {

std::string toAnsi(const std::u16string &text, DWORD flags, BOOL *usedDefault) {
  char out[16] = {};
  int n = WideCharToMultiByte(CP_ACP, flags, reinterpret_cast<LPCWSTR>(text.c_str()), -1, out, sizeof(out), nullptr,
                              usedDefault);
  return n > 0 ? std::string(out, static_cast<size_t>(n - 1)) : std::string("<failed>");
}

TEST(AnsiCodePage, IsWindows1252WithBestFitOnlyWhenAllowed) {
  BOOL used = FALSE;
  EXPECT_EQ(toAnsi(u"A\u20ACe\u00E9", WC_NO_BEST_FIT_CHARS, &used), "A\x80""e\xE9");
  EXPECT_FALSE(used);
  EXPECT_EQ(toAnsi(u"\u0100\u4E2D", WC_NO_BEST_FIT_CHARS, &used), "??");
  EXPECT_TRUE(used);
  EXPECT_EQ(toAnsi(u"\u0100", 0, &used), "A");

  WCHAR wide[4] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80\x9F", -1, wide, 4), 3);
  EXPECT_EQ(wide[0], 0x20AC);
  EXPECT_EQ(wide[1], 0x0178);

  char small[2];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(u"abc"), -1, small, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3", 1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  BOOL dummy = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<LPCWSTR>(u"a"), -1, nullptr, 0, nullptr, &dummy), 0);
}

TEST(Heaps, CountLiveBlocksAndRefuseBlocksTheyDoNotHold) {
  HANDLE heap = HeapCreate(0, 0, 0);
  ASSERT_NE(heap, nullptr);
  void *a = HeapAlloc(heap, HEAP_ZERO_MEMORY, 32);
  void *b = HeapAlloc(GetProcessHeap(), 0, 8);
  EXPECT_EQ(emu::heapLiveBlocks(heap), 1u);
  EXPECT_EQ(static_cast<const char *>(a)[31], 0);
  const size_t invalid = emu::heapInvalidFrees();
  EXPECT_FALSE(HeapFree(heap, 0, b)); // another heap's block
  EXPECT_TRUE(HeapFree(heap, 0, a));
  EXPECT_FALSE(HeapFree(heap, 0, a)); // twice
  EXPECT_EQ(emu::heapInvalidFrees(), invalid + 2);
  EXPECT_EQ(HeapAlloc(nullptr, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HeapAlloc(heap, 0, 8);
  EXPECT_TRUE(HeapDestroy(heap)); // takes its live blocks with it
  EXPECT_FALSE(HeapDestroy(GetProcessHeap()));
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, b));
}

TEST(Crt, StricmpFoldsAsciiOnlyAndSscanfSReadsHexFields) {
  EXPECT_EQ(_stricmp("{abc}\\0001", "{ABC}\\0001"), 0);
  EXPECT_NE(_stricmp("\xE9", "\xC9"), 0);
  EXPECT_LT(_stricmp("abc", "abd"), 0);
  unsigned v = 0, d = 0, s = 0, r = 0;
  EXPECT_EQ(sscanf_s("PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&1", "PCI\\VEN_%x&DEV_%x&SUBSYS_%x&REV_%x", &v, &d,
                     &s, &r),
            4);
  EXPECT_EQ(v, 0x8086u);
  EXPECT_EQ(r, 0x10u);
  EXPECT_EQ(sscanf_s("USB\\ROOT_HUB30", "PCI\\VEN_%x&DEV_%x&SUBSYS_%x&REV_%x", &v, &d, &s, &r), 0);
}

} // namespace
