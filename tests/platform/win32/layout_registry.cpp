// Registry types, access rights, value types and flags; compiles against the stand-in and mingw-w64.
#include <windows.h>

static_assert(sizeof(HKEY) == 8 && sizeof(REGSAM) == 4 && sizeof(LSTATUS) == 4, "registry types");
static_assert(REG_NONE == 0 && REG_SZ == 1 && REG_EXPAND_SZ == 2 && REG_BINARY == 3 && REG_DWORD == 4 &&
                  REG_MULTI_SZ == 7 && REG_QWORD == 11,
              "value types");
static_assert(KEY_QUERY_VALUE == 0x1 && KEY_SET_VALUE == 0x2 && KEY_CREATE_SUB_KEY == 0x4 &&
                  KEY_ENUMERATE_SUB_KEYS == 0x8 && KEY_WOW64_64KEY == 0x100 && KEY_WOW64_32KEY == 0x200,
              "key rights");
static_assert(KEY_READ == 0x20019 && KEY_WRITE == 0x20006 && KEY_ALL_ACCESS == 0xF003F, "combined key rights");
static_assert(REG_OPTION_NON_VOLATILE == 0 && REG_CREATED_NEW_KEY == 1 && REG_OPENED_EXISTING_KEY == 2, "options");
static_assert(RRF_RT_REG_SZ == 0x2 && RRF_RT_REG_EXPAND_SZ == 0x4 && RRF_RT_REG_DWORD == 0x10 &&
                  RRF_RT_REG_MULTI_SZ == 0x20 && RRF_RT_ANY == 0xFFFF && RRF_RT_DWORD == 0x18 &&
                  RRF_NOEXPAND == 0x10000000 && RRF_ZEROONFAILURE == 0x20000000,
              "RegGetValue flags");
static_assert(ERROR_MORE_DATA == 234 && ERROR_NO_MORE_ITEMS == 259 && ERROR_UNSUPPORTED_TYPE == 1630 &&
                  ERROR_DATATYPE_MISMATCH == 1629 && ERROR_KEY_DELETED == 1018,
              "registry error codes");
