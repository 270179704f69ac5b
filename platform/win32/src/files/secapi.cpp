// advapi32's security descriptors of files and folders: SDDL both ways, the parts of a descriptor, and the owner and
// DACL of a named file or folder, kept in the machine's state (files/store.h).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "emu/emu.h"
#include "files/store.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace emu::files {
namespace {

// A named object's key: links on the way and at the end are followed, as opening it by name does.
DWORD objectKey(LPCWSTR name, std::string *k) {
  std::string host = hostPath(name);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  struct stat st;
  if (stat(host.c_str(), &st) != 0) {
    const size_t slash = host.find_last_of('/');
    return errno == ENOENT && slash != std::string::npos && stat(host.substr(0, slash ? slash : 1).c_str(), &st) == 0
               ? ERROR_FILE_NOT_FOUND
               : ERROR_PATH_NOT_FOUND;
  }
  char resolved[4096];
  *k = realpath(host.c_str(), resolved) ? std::string(resolved) : key(host);
  return 0;
}

// The parts asked for, self-relative, in LocalAlloc memory.
PSECURITY_DESCRIPTOR localCopy(const Descriptor &d, SECURITY_INFORMATION info, DWORD *size) {
  Descriptor part;
  if (info & OWNER_SECURITY_INFORMATION) part.owner = d.owner;
  if (info & DACL_SECURITY_INFORMATION) {
    part.daclPresent = d.daclPresent;
    part.nullDacl = d.nullDacl;
    part.protectedDacl = d.protectedDacl;
    part.autoInherited = d.autoInherited;
    part.dacl = d.dacl;
  }
  const std::vector<BYTE> bytes = toBytes(part);
  if (size) *size = static_cast<DWORD>(bytes.size());
  void *out = LocalAlloc(0, bytes.size());
  if (out) std::memcpy(out, bytes.data(), bytes.size());
  return out;
}

} // namespace
} // namespace emu::files

using namespace emu;
using namespace emu::files;

extern "C" BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                            DWORD StringSDRevision,
                                                                            PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                                            PULONG SecurityDescriptorSize) {
  EMU_FAIL_POINT("ConvertStringSecurityDescriptorToSecurityDescriptorW", FALSE);
  if (!StringSecurityDescriptor || !SecurityDescriptor) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (StringSDRevision != SDDL_REVISION_1) return SetLastError(ERROR_UNKNOWN_REVISION), FALSE;
  Descriptor d;
  if (!parseSddl(toUtf8(StringSecurityDescriptor), &d)) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  DWORD size = 0;
  *SecurityDescriptor =
      localCopy(d, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &size);
  if (!*SecurityDescriptor) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), FALSE;
  if (SecurityDescriptorSize) *SecurityDescriptorSize = size;
  return TRUE;
}

extern "C" BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                                            DWORD RequestedStringSDRevision,
                                                                            SECURITY_INFORMATION SecurityInformation,
                                                                            LPWSTR *StringSecurityDescriptor,
                                                                            PULONG StringSecurityDescriptorLen) {
  EMU_FAIL_POINT("ConvertSecurityDescriptorToStringSecurityDescriptorW", FALSE);
  if (!SecurityDescriptor || !StringSecurityDescriptor) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (RequestedStringSDRevision != SDDL_REVISION_1) return SetLastError(ERROR_UNKNOWN_REVISION), FALSE;
  Descriptor d;
  if (!fromBytes(SecurityDescriptor, &d)) return SetLastError(ERROR_INVALID_SECURITY_DESCR), FALSE;
  const std::u16string text = toUtf16(sddlOf(d, SecurityInformation));
  auto *out = static_cast<WCHAR *>(LocalAlloc(0, (text.size() + 1) * sizeof(WCHAR)));
  if (!out) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), FALSE;
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  *StringSecurityDescriptor = out;
  if (StringSecurityDescriptorLen) *StringSecurityDescriptorLen = static_cast<ULONG>(text.size() + 1);
  return TRUE;
}

extern "C" BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pOwner,
                                                  LPBOOL lpbOwnerDefaulted) {
  EMU_FAIL_POINT("GetSecurityDescriptorOwner", FALSE);
  const auto *h = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(pSecurityDescriptor);
  if (!h || !pOwner || !lpbOwnerDefaulted) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (h->Revision != SECURITY_DESCRIPTOR_REVISION) return SetLastError(ERROR_UNKNOWN_REVISION), FALSE;
  *pOwner = h->Owner ? static_cast<BYTE *>(pSecurityDescriptor) + h->Owner : nullptr;
  *lpbOwnerDefaulted = (h->Control & SE_OWNER_DEFAULTED) != 0;
  return TRUE;
}

extern "C" BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent,
                                                 PACL *pDacl, LPBOOL lpbDaclDefaulted) {
  EMU_FAIL_POINT("GetSecurityDescriptorDacl", FALSE);
  const auto *h = static_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(pSecurityDescriptor);
  if (!h || !lpbDaclPresent || !pDacl || !lpbDaclDefaulted) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (h->Revision != SECURITY_DESCRIPTOR_REVISION) return SetLastError(ERROR_UNKNOWN_REVISION), FALSE;
  *lpbDaclPresent = (h->Control & SE_DACL_PRESENT) != 0;
  *pDacl = *lpbDaclPresent && h->Dacl ? reinterpret_cast<PACL>(static_cast<BYTE *>(pSecurityDescriptor) + h->Dacl)
                                      : nullptr;
  *lpbDaclDefaulted = (h->Control & SE_DACL_DEFAULTED) != 0;
  return TRUE;
}

extern "C" DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                              SECURITY_INFORMATION SecurityInfo, PSID *ppsidOwner, PSID *ppsidGroup,
                                              PACL *ppDacl, PACL *ppSacl, PSECURITY_DESCRIPTOR *ppSecurityDescriptor) {
  if (DWORD injected = failureFor("GetNamedSecurityInfoW")) return injected;
  if (!pObjectName || ObjectType != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  if (!ppSecurityDescriptor && (ppsidOwner || ppsidGroup || ppDacl || ppSacl)) return ERROR_INVALID_PARAMETER;
  if (SecurityInfo & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) return ERROR_NOT_SUPPORTED;
  std::string k;
  if (DWORD rc = objectKey(pObjectName, &k)) return rc;
  const Records records = load();
  if (!(granted(records, currentAccount(), k) & READ_CONTROL)) return ERROR_ACCESS_DENIED;
  PSECURITY_DESCRIPTOR sd = localCopy(effective(records, k), SecurityInfo, nullptr);
  if (!sd) return ERROR_NOT_ENOUGH_MEMORY;
  BOOL present = FALSE, defaulted = FALSE;
  if (ppsidOwner) GetSecurityDescriptorOwner(sd, ppsidOwner, &defaulted);
  if (ppsidGroup) *ppsidGroup = nullptr;
  if (ppDacl) GetSecurityDescriptorDacl(sd, &present, ppDacl, &defaulted);
  if (ppSacl) *ppSacl = nullptr;
  if (ppSecurityDescriptor) *ppSecurityDescriptor = sd;
  else LocalFree(sd);
  return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                              SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID, PACL pDacl,
                                              PACL) {
  if (DWORD injected = failureFor("SetNamedSecurityInfoW")) return injected;
  if (!pObjectName || ObjectType != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  if (SecurityInfo & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)) return ERROR_NOT_SUPPORTED;
  std::string owner;
  if ((SecurityInfo & OWNER_SECURITY_INFORMATION) && !sidFrom(psidOwner, &owner)) return ERROR_INVALID_OWNER;
  std::vector<Ace> aces;
  if ((SecurityInfo & DACL_SECURITY_INFORMATION) && pDacl && !aclFrom(pDacl, &aces)) return ERROR_INVALID_ACL;
  std::string k;
  if (DWORD rc = objectKey(pObjectName, &k)) return rc;
  const Account account = currentAccount();
  return update([&](Records &records, bool &changed) -> DWORD {
    DWORD wanted = 0;
    if (SecurityInfo & OWNER_SECURITY_INFORMATION) wanted |= WRITE_OWNER;
    if (SecurityInfo & DACL_SECURITY_INFORMATION) wanted |= WRITE_DAC;
    if ((granted(records, account, k) & wanted) != wanted) return ERROR_ACCESS_DENIED;
    if (!owner.empty() && !mayOwn(account, owner)) return ERROR_INVALID_OWNER;
    auto it = records.find(k);
    Descriptor sd = it != records.end() ? it->second.sd : Descriptor();
    if (sd.owner.empty()) sd.owner = effective(records, k).owner;
    if (!owner.empty()) sd.owner = owner;
    if (SecurityInfo & DACL_SECURITY_INFORMATION) {
      sd.daclPresent = true;
      sd.nullDacl = pDacl == nullptr;
      sd.autoInherited = pDacl != nullptr; // the object now follows the inheritance model
      sd.dacl.clear();
      for (const Ace &a : aces)
        if (!(a.flags & INHERITED_ACE)) sd.dacl.push_back(a); // inherited entries come from the folder above
    }
    if (SecurityInfo & PROTECTED_DACL_SECURITY_INFORMATION) sd.protectedDacl = true;
    else if (SecurityInfo & UNPROTECTED_DACL_SECURITY_INFORMATION) sd.protectedDacl = false;
    put(records, k, sd);
    changed = true;
    return ERROR_SUCCESS;
  });
}

extern "C" BOOL WINAPI GetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION RequestedInformation,
                                        PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                                        LPDWORD lpnLengthNeeded) {
  EMU_FAIL_POINT("GetFileSecurityW", FALSE);
  if (!lpFileName || !lpnLengthNeeded || (nLength && !pSecurityDescriptor))
    return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(lpFileName, SE_FILE_OBJECT,
                                         RequestedInformation & ~PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         nullptr, nullptr, &sd);
  if (rc) return SetLastError(rc), FALSE;
  Descriptor d;
  fromBytes(sd, &d);
  const std::vector<BYTE> bytes = toBytes(d);
  LocalFree(sd);
  *lpnLengthNeeded = static_cast<DWORD>(bytes.size());
  if (nLength < bytes.size()) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  std::memcpy(pSecurityDescriptor, bytes.data(), bytes.size());
  return TRUE;
}
