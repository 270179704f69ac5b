// Security identifiers: allocation, their text form and the groups an account's token holds.
#include "security/account_internal.h"

#include <sddl.h>

#include "emu/emu.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace emu {
namespace sec {

namespace {

DWORD lengthOf(BYTE count) { return static_cast<DWORD>(offsetof(SID, SubAuthority) + count * sizeof(DWORD)); }

bool validSid(const SID *sid) {
  return sid && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

} // namespace

std::string sidText(const SID *sid) {
  unsigned long long authority = 0;
  for (BYTE b : sid->IdentifierAuthority.Value) authority = (authority << 8) | b;
  std::string text = "S-" + std::to_string(sid->Revision) + "-";
  if (authority >= (1ull << 32)) { // large authorities are written in hex, as Windows does
    char hex[20];
    std::snprintf(hex, sizeof(hex), "0x%012llX", authority);
    text += hex;
  } else {
    text += std::to_string(authority);
  }
  for (BYTE i = 0; i < sid->SubAuthorityCount; ++i) text += "-" + std::to_string(sid->SubAuthority[i]);
  return text;
}

bool sidBytes(const std::string &text, std::vector<BYTE> *bytes) {
  if (text.rfind("S-1-", 0) != 0) return false;
  std::vector<unsigned long long> parts;
  for (size_t pos = 4; pos <= text.size();) {
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str() + pos, &end, 10);
    if (end == text.c_str() + pos || (*end != '-' && *end != '\0')) return false;
    parts.push_back(v);
    pos = static_cast<size_t>(end - text.c_str()) + 1;
    if (*end == '\0') break;
  }
  if (parts.empty() || parts.size() - 1 > SID_MAX_SUB_AUTHORITIES || parts[0] >= (1ull << 48)) return false;
  const BYTE count = static_cast<BYTE>(parts.size() - 1);
  bytes->assign(lengthOf(count), 0);
  auto *sid = reinterpret_cast<SID *>(bytes->data());
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = count;
  for (int i = 0; i < 6; ++i) sid->IdentifierAuthority.Value[i] = static_cast<BYTE>(parts[0] >> (8 * (5 - i)));
  for (BYTE i = 0; i < count; ++i) {
    if (parts[i + 1] > 0xFFFFFFFFull) return false;
    const DWORD sub = static_cast<DWORD>(parts[i + 1]);
    std::memcpy(bytes->data() + offsetof(SID, SubAuthority) + i * sizeof(DWORD), &sub, sizeof(DWORD));
  }
  return true;
}

bool memberOf(const Account &account, const std::string &sid) {
  if (sid == account.userSid) return true;
  if (sid == "S-1-1-0" || sid == "S-1-5-11") return true;              // Everyone, Authenticated Users
  if (sid == "S-1-5-32-545") return account.userSid != kLocalSystemSid; // Users
  if (sid == kAdministratorsSid) return account.adminRights();         // deny-only while not elevated
  return false;
}

} // namespace sec
} // namespace emu

extern "C" BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                                DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                                DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                                DWORD nSubAuthority6, DWORD nSubAuthority7, PSID *pSid) {
  EMU_FAIL_POINT("AllocateAndInitializeSid", FALSE);
  if (!pIdentifierAuthority || !pSid || nSubAuthorityCount > 8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                         nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  auto *sid = static_cast<SID *>(std::calloc(1, emu::sec::lengthOf(nSubAuthorityCount) + sizeof(DWORD)));
  if (!sid) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = nSubAuthorityCount;
  sid->IdentifierAuthority = *pIdentifierAuthority;
  std::memcpy(reinterpret_cast<BYTE *>(sid) + offsetof(SID, SubAuthority), subs, nSubAuthorityCount * sizeof(DWORD));
  *pSid = sid;
  return TRUE;
}

extern "C" PVOID WINAPI FreeSid(PSID pSid) {
  std::free(pSid);
  return nullptr;
}

extern "C" BOOL WINAPI IsValidSid(PSID pSid) { return emu::sec::validSid(static_cast<const SID *>(pSid)); }

extern "C" DWORD WINAPI GetLengthSid(PSID pSid) {
  const auto *sid = static_cast<const SID *>(pSid);
  return emu::sec::validSid(sid) ? emu::sec::lengthOf(sid->SubAuthorityCount) : 0;
}

extern "C" BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR *StringSid) {
  EMU_FAIL_POINT("ConvertSidToStringSidW", FALSE);
  if (!Sid || !StringSid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto *sid = static_cast<const SID *>(Sid);
  if (!emu::sec::validSid(sid)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  const std::u16string text = emu::toUtf16(emu::sec::sidText(sid));
  auto *out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
  if (!out) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  *StringSid = out;
  return TRUE;
}
