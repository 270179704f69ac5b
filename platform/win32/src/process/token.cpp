// Access tokens: each carries a session id, that of the process it was opened on or the one set on it, and the
// account (user and elevation) of that process.
#include "process/process_internal.h"
#include "security/account_internal.h"

#include <cstring>
#include <vector>

namespace emu {
namespace proc {

namespace {

struct TokenObject : KernelObject {
  DWORD session = 0;
  TOKEN_TYPE type = TokenPrimary;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  DWORD access = 0;
  Account account;
  const char *typeName() const override { return "Token"; }
};

std::shared_ptr<TokenObject> tokenFromHandle(HANDLE h) {
  auto token = lookupHandleAs<TokenObject>(h);
  if (!token) SetLastError(ERROR_INVALID_HANDLE);
  return token;
}

constexpr DWORD kMaximumAllowed = 0x02000000;

DWORD grantedAccess(DWORD desired, DWORD existing) {
  if (desired == 0) return existing;
  if (desired & kMaximumAllowed) return TOKEN_ALL_ACCESS;
  return desired;
}

} // namespace

bool sessionOfPrimaryToken(HANDLE h, DWORD *session) {
  auto token = tokenFromHandle(h);
  if (!token) return false;
  if (token->type != TokenPrimary) {
    SetLastError(ERROR_BAD_TOKEN_TYPE);
    return false;
  }
  const DWORD needed = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY;
  if ((token->access & needed) != needed) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  *session = token->session;
  return true;
}

} // namespace proc

namespace sec {

bool accountOfToken(HANDLE token, Account *account) {
  auto t = proc::tokenFromHandle(token);
  if (!t) return false;
  *account = t->account;
  return true;
}

HANDLE makeToken(const Account &account, DWORD session) {
  auto token = std::make_shared<proc::TokenObject>();
  token->session = session;
  token->access = TOKEN_ALL_ACCESS;
  token->account = account;
  return insertHandle(token);
}

} // namespace sec
} // namespace emu

using emu::proc::TokenObject;

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  EMU_FAIL_POINT("OpenProcessToken", FALSE);
  if (!TokenHandle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD access = 0;
  auto st = emu::proc::processFromHandle(ProcessHandle, &access);
  if (!st) return FALSE;
  if (!(access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  auto token = std::make_shared<TokenObject>();
  token->session = st->session;
  token->access = emu::proc::grantedAccess(DesiredAccess, TOKEN_ALL_ACCESS);
  if (!emu::accountOf(static_cast<DWORD>(st->pid), &token->account)) token->account = emu::Account();
  *TokenHandle = emu::insertHandle(token);
  return TRUE;
}

extern "C" BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess, LPSECURITY_ATTRIBUTES,
                                        SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                                        PHANDLE phNewToken) {
  EMU_FAIL_POINT("DuplicateTokenEx", FALSE);
  auto source = emu::proc::tokenFromHandle(hExistingToken);
  if (!source) return FALSE;
  if (!phNewToken || (TokenType != TokenPrimary && TokenType != TokenImpersonation) ||
      ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(source->access & TOKEN_DUPLICATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  auto token = std::make_shared<TokenObject>();
  token->session = source->session;
  token->account = source->account;
  token->type = TokenType;
  token->level = ImpersonationLevel;
  token->access = emu::proc::grantedAccess(dwDesiredAccess, source->access);
  *phNewToken = emu::insertHandle(token);
  return TRUE;
}

extern "C" BOOL WINAPI SetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength) {
  EMU_FAIL_POINT("SetTokenInformation", FALSE);
  auto token = emu::proc::tokenFromHandle(TokenHandle);
  if (!token) return FALSE;
  if (TokenInformationClass != TokenSessionId || !TokenInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (TokenInformationLength != sizeof(DWORD)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (!(token->access & TOKEN_ADJUST_SESSIONID)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Setting the session takes the Act as part of the operating system privilege, which only LocalSystem holds.
  if (emu::currentAccount().userSid != emu::kLocalSystemSid) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  std::memcpy(&token->session, TokenInformation, sizeof(DWORD));
  return TRUE;
}

extern "C" BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength,
                                           PDWORD ReturnLength) {
  EMU_FAIL_POINT("GetTokenInformation", FALSE);
  auto token = emu::proc::tokenFromHandle(TokenHandle);
  if (!token) return FALSE;
  if (!ReturnLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(token->access & TOKEN_QUERY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::vector<BYTE> bytes(sizeof(DWORD));
  DWORD value = 0;
  switch (TokenInformationClass) {
  case TokenUser: {
    // The SID follows the structure in the caller's buffer; its pointer is fixed up once it is copied there.
    std::vector<BYTE> sid;
    if (!emu::sec::sidBytes(token->account.userSid, &sid)) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
    bytes.assign(sizeof(TOKEN_USER), 0);
    bytes.insert(bytes.end(), sid.begin(), sid.end());
    break;
  }
  case TokenElevation:
    value = token->account.elevated ? 1 : 0;
    break;
  case TokenElevationType:
    value = token->account.userSid == emu::kLocalSystemSid || !token->account.administrator ? TokenElevationTypeDefault
            : token->account.elevated                                                     ? TokenElevationTypeFull
                                                                                          : TokenElevationTypeLimited;
    break;
  case TokenSessionId:
    value = token->session;
    break;
  case TokenType:
    value = static_cast<DWORD>(token->type);
    break;
  case TokenImpersonationLevel:
    if (token->type != TokenImpersonation) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    value = static_cast<DWORD>(token->level);
    break;
  default:
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (TokenInformationClass != TokenUser) std::memcpy(bytes.data(), &value, sizeof(DWORD));
  *ReturnLength = static_cast<DWORD>(bytes.size());
  if (!TokenInformation || TokenInformationLength < bytes.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(TokenInformation, bytes.data(), bytes.size());
  if (TokenInformationClass == TokenUser) {
    auto *user = static_cast<TOKEN_USER *>(TokenInformation);
    user->User.Sid = static_cast<BYTE *>(TokenInformation) + sizeof(TOKEN_USER);
    user->User.Attributes = 0;
  }
  return TRUE;
}

extern "C" BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
  EMU_FAIL_POINT("CheckTokenMembership", FALSE);
  if (!SidToCheck || !IsMember || !IsValidSid(SidToCheck)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  emu::Account account = emu::currentAccount(); // no token: the caller's own
  if (TokenHandle) {
    auto token = emu::proc::tokenFromHandle(TokenHandle);
    if (!token) return FALSE;
    if (token->type != TokenImpersonation) {
      SetLastError(ERROR_NO_IMPERSONATION_TOKEN);
      return FALSE;
    }
    if (!(token->access & TOKEN_QUERY)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    account = token->account;
  }
  *IsMember = emu::sec::memberOf(account, emu::sec::sidText(static_cast<const SID *>(SidToCheck))) ? TRUE : FALSE;
  return TRUE;
}
