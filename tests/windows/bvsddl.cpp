// bvsddl: a path's owner and DACL as SDDL, and whether it is a reparse point, for the Windows smoke (plain Win32,
// Windows only).
//
//   bvsddl <path>                 prints the lines below
//   bvsddl --set <path> <sddl>    sets the owner (O:) and DACL (D:, protected with P) from SDDL, then prints <path>
//   bvsddl --mklink <link> <dir>  makes <link> a symbolic link to the folder <dir>, then prints <link> as above
//
// Output is one "key: value" line each, so a script can grep them:
//   path: C:\Brimvault\log\bvs
//   attributes: 0x10
//   reparse-point: no            (yes, with "reparse-tag: 0x..." from the folder's listing)
//   sddl: O:BAD:PAI(A;OICI;FA;;;SY)...
// Exit codes: 0 done; 1 a Windows call failed (its error on stderr); 2 bad command line.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdio>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int failed(const char *call) {
  std::fprintf(stderr, "%s failed: error %lu\n", call, static_cast<unsigned long>(GetLastError()));
  return kExitFailed;
}

// UTF-16 to UTF-8 for printing.
void printWide(const char *key, const WCHAR *text) {
  char out[4096] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof(out) - 1, nullptr, nullptr);
  std::printf("%s: %s\n", key, out);
}

int show(const WCHAR *path) {
  printWide("path", path);
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failed("GetFileAttributesW");
  std::printf("attributes: 0x%lx\n", static_cast<unsigned long>(attributes));
  const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  std::printf("reparse-point: %s\n", reparse ? "yes" : "no");
  if (reparse) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(path, &entry); // the entry itself: its tag is in dwReserved0
    if (find != INVALID_HANDLE_VALUE) {
      std::printf("reparse-tag: 0x%lx\n", static_cast<unsigned long>(entry.dwReserved0));
      FindClose(find);
    }
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  const SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  const DWORD rc = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, info, nullptr, nullptr, nullptr, nullptr, &sd);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return failed("GetNamedSecurityInfoW");
  }
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, info, &text, nullptr)) {
    LocalFree(sd);
    return failed("ConvertSecurityDescriptorToStringSecurityDescriptorW");
  }
  printWide("sddl", text);
  LocalFree(text);
  LocalFree(sd);
  return 0;
}

// Owner and DACL from SDDL, as the service sets its folders'.
int set(const WCHAR *path, const WCHAR *sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
    return failed("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorOwner(sd, &owner, &defaulted);
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  GetSecurityDescriptorControl(sd, &control, &revision);
  SECURITY_INFORMATION info = owner ? OWNER_SECURITY_INFORMATION : 0;
  if (present)
    info |= DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  WCHAR name[MAX_PATH];
  lstrcpynW(name, path, MAX_PATH);
  const DWORD rc = SetNamedSecurityInfoW(name, SE_FILE_OBJECT, info, owner, nullptr, dacl, nullptr);
  LocalFree(sd);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return failed("SetNamedSecurityInfoW");
  }
  return show(path);
}

} // namespace

int main() {
  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return failed("CommandLineToArgvW");
  int rc = kExitUsage;
  if (argc == 2) {
    rc = show(argv[1]);
  } else if (argc == 4 && lstrcmpW(argv[1], TEXT("--set")) == 0) {
    rc = set(argv[2], argv[3]);
  } else if (argc == 4 && lstrcmpW(argv[1], TEXT("--mklink")) == 0) {
    rc = CreateSymbolicLinkW(argv[2], argv[3], SYMBOLIC_LINK_FLAG_DIRECTORY) ? show(argv[2])
                                                                              : failed("CreateSymbolicLinkW");
  } else {
    std::fprintf(stderr, "usage: bvsddl <path> | bvsddl --set <path> <sddl> | bvsddl --mklink <link> <folder>\n");
  }
  LocalFree(argv);
  std::fflush(stdout);
  return rc;
}
