// File security commands, in the spirit of icacls.exe: acl (a path's owner and DACL as SDDL, and whether it is a
// reparse point) and acl-set (owner and DACL from SDDL). They act as win32ctl does, an elevated administrator, and so
// get what the path's DACL gives Administrators, as icacls from an elevated prompt would.
#include "command.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "emu/emu.h"

namespace {

using win32ctl::Args;

std::u16string wide(const std::string &text) { return emu::toUtf16(text); }
const WCHAR *w(const std::u16string &text) { return reinterpret_cast<const WCHAR *>(text.c_str()); }

int aclGet(const Args &args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: win32ctl acl <path>\n");
    return 2;
  }
  const std::u16string path = wide(args[0]);
  const DWORD attributes = GetFileAttributesW(w(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "%s: error %lu\n", args[0].c_str(), static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  const SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  const DWORD rc = GetNamedSecurityInfoW(w(path), SE_FILE_OBJECT, info, nullptr, nullptr, nullptr, nullptr, &sd);
  if (rc || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, info, &text, nullptr)) {
    std::fprintf(stderr, "%s: error %lu\n", args[0].c_str(), static_cast<unsigned long>(rc ? rc : GetLastError()));
    LocalFree(sd);
    return 1;
  }
  std::printf("%s\nreparse point: %s\n", emu::toUtf8(text).c_str(),
              (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? "yes" : "no");
  LocalFree(text);
  LocalFree(sd);
  return 0;
}

int aclSet(const Args &args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: win32ctl acl-set <path> <sddl>\n");
    return 2;
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(w(wide(args[1])), SDDL_REVISION_1, &sd, nullptr)) {
    std::fprintf(stderr, "not a security descriptor: %s\n", args[1].c_str());
    return 2;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(sd, &owner, &defaulted);
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  SECURITY_INFORMATION info = 0;
  if (owner) info |= OWNER_SECURITY_INFORMATION;
  if (present) {
    SECURITY_DESCRIPTOR_CONTROL control = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(sd)->Control;
    info |= DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                        : UNPROTECTED_DACL_SECURITY_INFORMATION);
  }
  std::u16string path = wide(args[0]);
  const DWORD rc = SetNamedSecurityInfoW(reinterpret_cast<LPWSTR>(&path[0]), SE_FILE_OBJECT, info, owner, nullptr,
                                         dacl, nullptr);
  LocalFree(sd);
  if (rc) {
    std::fprintf(stderr, "%s: error %lu\n", args[0].c_str(), static_cast<unsigned long>(rc));
    return 1;
  }
  return 0;
}

win32ctl::Command get("acl", "acl <path>  owner and DACL as SDDL, and whether it is a reparse point", &aclGet);
win32ctl::Command set("acl-set", "acl-set <path> <sddl>  set the owner (O:) and DACL (D:, P protected)", &aclSet);

} // namespace
