// Stand-in for the SDK's sddl.h (Linux build only): SIDs as text.
#pragma once
#include "windows.h"

extern "C" {

// The "S-1-..." text of a SID, in LocalAlloc memory the caller frees with LocalFree.
BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR *StringSid);

} // extern "C"

#ifdef UNICODE
#define ConvertSidToStringSid ConvertSidToStringSidW
#endif
