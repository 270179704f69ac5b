// Stand-in for the Windows SDK header of this name: the power scheme calls (the AC value calls live in the SDK's
// powersetting.h, which powrprof.h includes).
#pragma once
#include "windows.h"

extern "C" {

DWORD WINAPI PowerGetActiveScheme(HKEY UserRootPowerKey, GUID **ActivePolicyGuid);
DWORD WINAPI PowerSetActiveScheme(HKEY UserRootPowerKey, const GUID *SchemeGuid);
DWORD WINAPI PowerReadFriendlyName(HKEY RootPowerKey, const GUID *SchemeGuid, const GUID *SubGroupOfPowerSettingsGuid,
                                   const GUID *PowerSettingGuid, PUCHAR Buffer, LPDWORD BufferSize);
DWORD WINAPI PowerReadACValueIndex(HKEY RootPowerKey, const GUID *SchemeGuid, const GUID *SubGroupOfPowerSettingsGuid,
                                   const GUID *PowerSettingGuid, LPDWORD AcValueIndex);
DWORD WINAPI PowerWriteACValueIndex(HKEY RootPowerKey, const GUID *SchemeGuid, const GUID *SubGroupOfPowerSettingsGuid,
                                    const GUID *PowerSettingGuid, DWORD AcValueIndex);

} // extern "C"
