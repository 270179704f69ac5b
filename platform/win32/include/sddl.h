// Stand-in for the SDK's sddl.h (Linux build only): SIDs and security descriptors as text.
#pragma once
#include "windows.h"

#define SDDL_REVISION_1 1

extern "C" {

// The "S-1-..." text of a SID, in LocalAlloc memory the caller frees with LocalFree.
BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR *StringSid);
// SDDL text to a self-relative security descriptor in LocalAlloc memory, and back.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize);
BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                                 DWORD RequestedStringSDRevision,
                                                                 SECURITY_INFORMATION SecurityInformation,
                                                                 LPWSTR *StringSecurityDescriptor,
                                                                 PULONG StringSecurityDescriptorLen);

} // extern "C"

#ifdef UNICODE
#define ConvertSidToStringSid ConvertSidToStringSidW
#define ConvertStringSecurityDescriptorToSecurityDescriptor ConvertStringSecurityDescriptorToSecurityDescriptorW
#define ConvertSecurityDescriptorToStringSecurityDescriptor ConvertSecurityDescriptorToStringSecurityDescriptorW
#endif
