// Sizes, offsets and values of the core Win32 types and constants; compiles against the stand-in and mingw-w64.
#include <windows.h>

#include <cstddef>

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(UINT) == 4, "32-bit ints");
static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(HANDLE) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(SIZE_T) == 8 && sizeof(LPARAM) == 8, "Win64");
static_assert(sizeof(BOOL) == 4 && sizeof(HRESULT) == 4 && sizeof(LSTATUS) == 4, "int-sized results");
static_assert(sizeof(GUID) == 16 && sizeof(FILETIME) == 8 && sizeof(LARGE_INTEGER) == 8, "value types");
static_assert(sizeof(RECT) == 16 && sizeof(POINT) == 8 && offsetof(RECT, right) == 8, "geometry");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24 && offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor) == 8, "SA");
static_assert(INFINITE == 0xFFFFFFFF && MAX_PATH == 260, "limits");
static_assert(ERROR_SUCCESS == 0 && ERROR_FILE_NOT_FOUND == 2 && ERROR_ACCESS_DENIED == 5 &&
                  ERROR_INVALID_HANDLE == 6 && ERROR_INVALID_PARAMETER == 87 && ERROR_INSUFFICIENT_BUFFER == 122 &&
                  ERROR_MORE_DATA == 234 && ERROR_NO_MORE_ITEMS == 259 && ERROR_ALREADY_EXISTS == 183,
              "error codes");
static_assert(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT == 1063 && ERROR_PROCESS_ABORTED == 1067 &&
                  ERROR_SHUTDOWN_IN_PROGRESS == 1115 && ERROR_INVALID_EXE_SIGNATURE == 191 &&
                  ERROR_CALL_NOT_IMPLEMENTED == 120 && WAIT_TIMEOUT == 258,
              "service codes");
static_assert(HEAP_ZERO_MEMORY == 8 && CP_UTF8 == 65001 && LPTR == 0x40, "kernel32 flags");
static_assert(NO_ERROR == 0 && S_OK == 0 && sizeof(S_OK) == 4, "success codes");

// Predefined keys and pseudo-handles are integer casts, not constant expressions. With the handle types standing for
// integers in this scope, their macros become constants that can be compared.
namespace handle_values {
using HKEY = ULONG_PTR;
using HANDLE = ULONG_PTR;
static_assert(HKEY_LOCAL_MACHINE == 0xFFFFFFFF80000002ull, "HKEY_LOCAL_MACHINE");
static_assert(INVALID_HANDLE_VALUE == ~ULONG_PTR(0), "INVALID_HANDLE_VALUE");
} // namespace handle_values
