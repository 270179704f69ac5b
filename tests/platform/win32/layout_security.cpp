// Sizes, offsets and values of the SID, token and shell types and constants; compiles against the stand-in and
// mingw-w64.
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstddef>

static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == 6 && sizeof(SID) == 12 && offsetof(SID, IdentifierAuthority) == 2 &&
                  offsetof(SID, SubAuthority) == 8,
              "SID");
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16 && offsetof(SID_AND_ATTRIBUTES, Attributes) == 8 &&
                  sizeof(TOKEN_USER) == 16 && sizeof(TOKEN_ELEVATION) == 4,
              "TOKEN_USER");
static_assert(SECURITY_BUILTIN_DOMAIN_RID == 32 && DOMAIN_ALIAS_RID_ADMINS == 544 && SECURITY_LOCAL_SYSTEM_RID == 18 &&
                  TokenUser == 1 && TokenElevation == 20 && TokenElevationTypeLimited == 3,
              "SID and token constants");
static_assert(sizeof(SHELLEXECUTEINFOW) == 112 && offsetof(SHELLEXECUTEINFOW, fMask) == 4 &&
                  offsetof(SHELLEXECUTEINFOW, lpVerb) == 16 && offsetof(SHELLEXECUTEINFOW, lpParameters) == 32 &&
                  offsetof(SHELLEXECUTEINFOW, nShow) == 48 && offsetof(SHELLEXECUTEINFOW, hInstApp) == 56 &&
                  offsetof(SHELLEXECUTEINFOW, dwHotKey) == 88 && offsetof(SHELLEXECUTEINFOW, hProcess) == 104,
              "SHELLEXECUTEINFOW");
static_assert(SEE_MASK_NOCLOSEPROCESS == 0x40 && SEE_MASK_NOASYNC == 0x100 && SEE_MASK_NO_CONSOLE == 0x8000 &&
                  ERROR_CANCELLED == 1223 && ERROR_NO_IMPERSONATION_TOKEN == 1309 && ERROR_INVALID_SID == 1337,
              "shell and security constants");
