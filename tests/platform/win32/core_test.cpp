#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "emu/emu.h"
#include "testenv.h"

namespace {

struct Dummy : emu::KernelObject {
  bool *gone;
  explicit Dummy(bool *g) : gone(g) {}
  ~Dummy() override { *gone = true; }
  const char *typeName() const override { return "Dummy"; }
};

TEST(MachinePaths, DriveLettersMapUnderTheRootInEveryForm) {
  const std::string c = testenv::root() + "/drive_c";
  EXPECT_EQ(emu::hostPath("C:\\Brimvault\\log\\bvs"), c + "/Brimvault/log/bvs");
  EXPECT_EQ(emu::hostPath("c:/Brimvault/log/bvs"), c + "/Brimvault/log/bvs");
  EXPECT_EQ(emu::hostPath("C:"), c);
  EXPECT_EQ(emu::hostPath("D:\\x"), testenv::root() + "/drive_d/x");
  EXPECT_EQ(emu::hostPath("/usr/bin"), "/usr/bin");
  EXPECT_EQ(emu::windowsPath(c + "/Windows/System32"), "C:\\Windows\\System32");
  EXPECT_EQ(emu::windowsPath("/usr/bin"), "/usr/bin");
  EXPECT_EQ(emu::hostPath(TEXT("C:\\a\\\u00e9")), c + "/a/\xc3\xa9");
}

TEST(FailureInjection, EveryCallOrOnlyTheNthFailsWithTheChosenCode) {
  emu::injectFailure("CloseHandle", ERROR_ACCESS_DENIED);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  emu::injectFailure("CloseHandle", 1314, 2);
  bool gone = false;
  HANDLE a = emu::insertHandle(std::make_shared<Dummy>(&gone));
  HANDLE b = emu::insertHandle(std::make_shared<Dummy>(&gone));
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_FALSE(CloseHandle(b));
  EXPECT_EQ(GetLastError(), 1314u);
  EXPECT_TRUE(CloseHandle(b));
  emu::clearFailures();
  auto journal = emu::callJournal();
  EXPECT_GE(std::count(journal.begin(), journal.end(), "CloseHandle"), 4);
}

TEST(FailureInjection, EnvironmentSpecIsReadAsChildProcessesWouldReadIt) {
  setenv("WIN32_FAIL", "GetCurrentDirectoryW=0x5@2,HeapAlloc=8,Bogus", 1);
  emu::reloadFailureEnvironment();
  WCHAR buf[MAX_PATH];
  EXPECT_GT(GetCurrentDirectoryW(MAX_PATH, buf), 0u);
  EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buf), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_GT(GetCurrentDirectoryW(MAX_PATH, buf), 0u);
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  unsetenv("WIN32_FAIL");
  emu::reloadFailureEnvironment();
  void *p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 16);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(static_cast<char *>(p)[15], 0);
  HeapFree(GetProcessHeap(), 0, p);
}

TEST(Handles, LastReferenceClosesTheObjectAndUnknownHandlesFail) {
  bool gone = false;
  size_t before = emu::openHandleCount();
  HANDLE h = emu::insertHandle(std::make_shared<Dummy>(&gone));
  HANDLE dup = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_NE(dup, h);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(gone);
  EXPECT_TRUE(CloseHandle(dup));
  EXPECT_TRUE(gone);
  EXPECT_FALSE(CloseHandle(dup));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(emu::openHandleCount(), before);
}

TEST(LastError, IsPerThread) {
  SetLastError(42);
  std::thread([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(7);
  }).join();
  EXPECT_EQ(GetLastError(), 42u);
}

TEST(Text, BadUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(emu::toUtf16("\xFF" "a\xC3"), std::u16string(u"\xFFFD" u"a\xFFFD"));
  EXPECT_EQ(emu::toUtf8(emu::toUtf16("a\xC3\xA9\xF0\x9F\x98\x80").c_str()), "a\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(Text, BestFitTo1252MapsFullwidthFormsAndInfinityUnlessRefused) {
  auto ansi = [](const char16_t *text, DWORD flags, BOOL *used) {
    char out[16] = {};
    *used = -1;
    int n = WideCharToMultiByte(1252, flags, reinterpret_cast<LPCWSTR>(text), -1, out, sizeof(out), nullptr, used);
    return n > 0 ? std::string(out, static_cast<size_t>(n - 1)) : std::string("(failed)");
  };
  BOOL used;
  EXPECT_EQ(ansi(u"\uFF01\uFF21\uFF5E\u221E", 0, &used), "!A~8");
  EXPECT_TRUE(used) << "a best fit stands in for characters 1252 cannot represent";
  EXPECT_EQ(ansi(u"a\u00E9\u20AC", 0, &used), "a\xE9\x80");
  EXPECT_FALSE(used);
  EXPECT_EQ(ansi(u"\uFF21\u221E", WC_NO_BEST_FIT_CHARS, &used), "??");
  EXPECT_TRUE(used);
}

// UTF-8 takes only the invalid-characters flag each way; MB_PRECOMPOSED and WC_NO_BEST_FIT_CHARS are for ANSI pages.
TEST(Text, Utf8RefusesTheFlagsOfAnsiCodePages) {
  WCHAR wide[8];
  char out[8];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", -1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(MultiByteToWideChar(1252, MB_PRECOMPOSED, "abc", -1, wide, 8), 4);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, reinterpret_cast<LPCWSTR>(u"abc"), -1, out, 8, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(ProcessPaths, ModuleNameTruncatesAndCurrentDirectoryReportsItsSize) {
  WCHAR small[4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[3], 0);
  DWORD need = GetCurrentDirectoryW(0, nullptr);
  ASSERT_GT(need, 1u);
  std::u16string buf(need, u'\0');
  EXPECT_EQ(GetCurrentDirectoryW(need, buf.data()), need - 1);
}

} // namespace
