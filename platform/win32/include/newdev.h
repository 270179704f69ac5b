// Stand-in for the Windows SDK's newdev.h: driver updates for Plug and Play devices.
#pragma once
#include "bvwin/base.h"

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

#ifdef __cplusplus
extern "C" {
#endif
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);
#ifdef __cplusplus
}
#endif
