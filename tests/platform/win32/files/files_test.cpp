// Files and folders of the stand-in: a host link is a reparse point and goes as a link; owners and DACLs are kept
// in machine state, inherited by what is made below, and checked for the calling account.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <unistd.h>

#include "emu/emu.h"
#include "testenv.h"

namespace {

namespace fs = std::filesystem;

std::u16string w(const std::string &text) { return emu::toUtf16(text); }
const WCHAR *p(const std::u16string &text) { return reinterpret_cast<const WCHAR *>(text.c_str()); }

std::string rightsOf(const std::string &path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(p(w(path)), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         nullptr, nullptr, &sd);
  if (rc) return "error " + std::to_string(rc);
  std::string out = ConvertSecurityDescriptorToStringSecurityDescriptorW(
                        sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)
                        ? emu::toUtf8(text)
                        : "<unconvertible>";
  LocalFree(text);
  LocalFree(sd);
  return out;
}

DWORD setRights(const std::string &path, const std::string &sddl, SECURITY_INFORMATION info) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(p(w(sddl)), SDDL_REVISION_1, &sd, nullptr))
    return GetLastError();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(sd, &owner, &defaulted);
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::u16string name = w(path);
  const DWORD rc = SetNamedSecurityInfoW(reinterpret_cast<LPWSTR>(&name[0]), SE_FILE_OBJECT, info, owner, nullptr,
                                         dacl, nullptr);
  LocalFree(sd);
  return rc;
}

TEST(FileSystem, AHostLinkIsAReparsePointThatGoesAsALink) {
  const std::string target = emu::hostPath("C:\\target"), link = "C:\\link";
  fs::create_directories(target);
  testenv::writeFile(target + "/kept.txt", "kept");
  ASSERT_EQ(::symlink(target.c_str(), emu::hostPath(link).c_str()), 0);

  EXPECT_EQ(GetFileAttributesW(p(w(link))),
            static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(p(w("C:\\lin*")), &entry);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(entry.dwReserved0, static_cast<DWORD>(IO_REPARSE_TAG_SYMLINK));
  EXPECT_FALSE(FindNextFileW(find, &entry));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  FindClose(find);

  EXPECT_FALSE(DeleteFileW(p(w(link)))); // a folder link is no file
  EXPECT_TRUE(RemoveDirectoryW(p(w(link))));
  EXPECT_EQ(GetFileAttributesW(p(w(link))), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(testenv::readFile(target + "/kept.txt"), "kept");
}

TEST(FileSystem, OwnersAndRightsAreKeptInheritedAndChecked) {
  emu::Account user = testenv::standardUser();
  user.userSid = "S-1-5-21-1-2-3-1002";
  const std::string top = "C:\\top", inner = "C:\\top\\inner";
  {
    testenv::ScopedAccount as(user);
    ASSERT_TRUE(CreateDirectoryW(p(w(top)), nullptr));
    EXPECT_EQ(rightsOf(top), "O:" + user.userSid + "D:NO_ACCESS_CONTROL"); // nothing above it is modelled
    EXPECT_EQ(setRights(top, "O:BA", OWNER_SECURITY_INFORMATION), static_cast<DWORD>(ERROR_INVALID_OWNER));
  }
  {
    testenv::ScopedAccount as(emu::localSystemAccount());
    ASSERT_EQ(setRights(top, "O:BAD:(A;OICI;FA;;;SY)(D;;DC;;;BU)(A;OICI;0x1200a9;;;BU)",
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION),
              0u);
    ASSERT_TRUE(CreateDirectoryW(p(w(inner)), nullptr));
    EXPECT_EQ(rightsOf(top), "O:BAD:PAI(A;OICI;FA;;;SY)(D;;DC;;;BU)(A;OICI;0x1200a9;;;BU)"); // set: auto-inherited
    EXPECT_EQ(rightsOf(inner), "O:SYD:AI(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)");
  }
  testenv::ScopedAccount as(user);
  EXPECT_FALSE(CreateDirectoryW(p(w(inner + "\\x")), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(MoveFileExW(p(w(inner)), p(w("C:\\moved")), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(rightsOf(inner).substr(0, 5), "O:SYD");
}

} // namespace
