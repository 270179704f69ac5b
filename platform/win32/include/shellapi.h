// Stand-in for the SDK's shellapi.h (Linux build only): starting programs through the shell.
#pragma once
#include "windows.h"

#define SEE_MASK_DEFAULT 0x00000000
#define SEE_MASK_NOCLOSEPROCESS 0x00000040
#define SEE_MASK_FLAG_NO_UI 0x00000400
#define SEE_MASK_NOASYNC 0x00000100
#define SEE_MASK_FLAG_DDEWAIT SEE_MASK_NOASYNC
#define SEE_MASK_NO_CONSOLE 0x00008000

typedef struct _SHELLEXECUTEINFOW {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCWSTR lpVerb;
  LPCWSTR lpFile;
  LPCWSTR lpParameters;
  LPCWSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void *lpIDList;
  LPCWSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  union {
    HANDLE hIcon;
    HANDLE hMonitor;
  };
  HANDLE hProcess;
} SHELLEXECUTEINFOW, *LPSHELLEXECUTEINFOW;

extern "C" {

// "open" (or no verb) and "runas" start a program; hInstApp gets a value above 32 on success, an SE_ERR code on
// failure.
BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW *pExecInfo);

} // extern "C"

#ifdef UNICODE
#define SHELLEXECUTEINFO SHELLEXECUTEINFOW
#define LPSHELLEXECUTEINFO LPSHELLEXECUTEINFOW
#define ShellExecuteEx ShellExecuteExW
#endif
