// Win64 base types, calling-convention macros and TEXT() for the Linux build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>
#include <cstring>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define WINAPIV
#define NTAPI
#define STDMETHODCALLTYPE
#define DECLSPEC_IMPORT
#define __stdcall
#define __cdecl
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Reserved_

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define __TEXT(quote) u##quote
#define TEXT(quote) __TEXT(quote)

typedef int BOOL;
typedef BOOL *PBOOL, *LPBOOL;
typedef unsigned char BYTE, UCHAR, BOOLEAN;
typedef BYTE *PBYTE, *LPBYTE, *PUCHAR;
typedef BOOLEAN *PBOOLEAN;
typedef char CHAR, CCHAR;
typedef CHAR *PCHAR, *LPSTR, *PSTR;
typedef const CHAR *LPCSTR, *PCSTR;
typedef char16_t WCHAR;
typedef WCHAR *PWCHAR, *LPWSTR, *PWSTR, *NWPSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
#ifdef UNICODE
typedef WCHAR TCHAR;
#else
typedef char TCHAR;
#endif
typedef TCHAR *LPTSTR;
typedef const TCHAR *LPCTSTR;

typedef short SHORT;
typedef unsigned short USHORT, WORD;
typedef USHORT *PUSHORT;
typedef WORD *PWORD, *LPWORD;
typedef int INT;
typedef unsigned int UINT;
typedef INT *PINT, *LPINT;
typedef UINT *PUINT;
typedef int32_t LONG;
typedef uint32_t ULONG, DWORD;
typedef LONG *PLONG, *LPLONG;
typedef ULONG *PULONG;
typedef DWORD *PDWORD, *LPDWORD;
typedef int64_t LONGLONG, LONG64, INT64;
typedef uint64_t ULONGLONG, DWORD64, ULONG64, UINT64, DWORDLONG;
typedef ULONGLONG *PULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;

typedef int64_t INT_PTR, LONG_PTR, SSIZE_T;
typedef uint64_t UINT_PTR, ULONG_PTR, DWORD_PTR, SIZE_T;
typedef ULONG_PTR *PULONG_PTR;
typedef SIZE_T *PSIZE_T;
typedef LONG_PTR LPARAM, LRESULT;
typedef UINT_PTR WPARAM;
typedef LONG HRESULT;
typedef LONG LSTATUS;
typedef LONG NTSTATUS;

typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID, *PCVOID;
typedef PVOID HANDLE;
typedef HANDLE *PHANDLE, *LPHANDLE;

#define DECLARE_HANDLE(name) struct name##__ { int unused; }; typedef struct name##__ *name
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HKEY);
DECLARE_HANDLE(HMONITOR);
DECLARE_HANDLE(HWINEVENTHOOK);
DECLARE_HANDLE(HDC);
DECLARE_HANDLE(HICON);
DECLARE_HANDLE(HMENU);
DECLARE_HANDLE(SC_HANDLE);
DECLARE_HANDLE(SERVICE_STATUS_HANDLE);
typedef HINSTANCE HMODULE;
typedef HKEY *PHKEY;
typedef HANDLE HLOCAL, HGLOBAL;
typedef int (*FARPROC)();

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef union _LARGE_INTEGER {
  struct { DWORD LowPart; LONG HighPart; } u;
  struct { DWORD LowPart; LONG HighPart; };
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct { DWORD LowPart; DWORD HighPart; } u;
  struct { DWORD LowPart; DWORD HighPart; };
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;
typedef GUID IID, CLSID;
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const IID &

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct tagPOINT { LONG x; LONG y; } POINT, *PPOINT, *LPPOINT;
typedef struct tagRECT { LONG left; LONG top; LONG right; LONG bottom; } RECT, *PRECT, *LPRECT;
typedef const RECT *LPCRECT;
typedef struct tagSIZE { LONG cx; LONG cy; } SIZE, *PSIZE, *LPSIZE;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x) & 0x0000FFFF) | (7 << 16) | 0x80000000)))
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)

#define ZeroMemory(dst, len) memset((dst), 0, (len))
#define SecureZeroMemory(dst, len) memset((dst), 0, (len))
#define CopyMemory(dst, src, len) memcpy((dst), (src), (len))
#define FillMemory(dst, len, fill) memset((dst), (fill), (len))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define _countof(a) (sizeof(a) / sizeof((a)[0]))
#define UNREFERENCED_PARAMETER(p) (void)(p)

#define WINBASEAPI
#define WINADVAPI
#define WINUSERAPI
#define WINAPI_INLINE inline

// Standard access rights shared by every kind of securable object.
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK *PACCESS_MASK;
#ifndef DELETE
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#endif
