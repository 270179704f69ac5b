// COM and firewall types and constants; compiles against the stand-in and mingw-w64.
#include <windows.h>
#include <objbase.h>
#include <netfw.h>

#include <cstddef>

static_assert(sizeof(GUID) == 16 && sizeof(OLECHAR) == 2 && sizeof(BSTR) == 8 && sizeof(VARTYPE) == 2 &&
                  sizeof(VARIANT_BOOL) == 2,
              "COM base types");
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, vt) == 0 && offsetof(VARIANT, pdispVal) == 8 &&
                  offsetof(VARIANT, bstrVal) == 8 && offsetof(VARIANT, lVal) == 8,
              "VARIANT");
static_assert(VARIANT_TRUE == -1 && VARIANT_FALSE == 0, "VARIANT_BOOL values");
static_assert(VT_EMPTY == 0 && VT_I4 == 3 && VT_BSTR == 8 && VT_DISPATCH == 9 && VT_BOOL == 11 && VT_UNKNOWN == 13 &&
                  VT_BYREF == 0x4000,
              "variant types");
static_assert(COINIT_APARTMENTTHREADED == 2 && COINIT_MULTITHREADED == 0 && COINIT_DISABLE_OLE1DDE == 4 &&
                  CLSCTX_INPROC_SERVER == 1 && CLSCTX_LOCAL_SERVER == 4,
              "apartment models and class contexts");
static_assert(RPC_E_CHANGED_MODE == (HRESULT)0x80010106 && CO_E_NOTINITIALIZED == (HRESULT)0x800401F0 &&
                  REGDB_E_CLASSNOTREG == (HRESULT)0x80040154 && CLASS_E_NOAGGREGATION == (HRESULT)0x80040110 &&
                  E_NOINTERFACE == (HRESULT)0x80004002 && DISP_E_BADVARTYPE == (HRESULT)0x80020008,
              "COM results");
static_assert(NET_FW_ACTION_BLOCK == 0 && NET_FW_ACTION_ALLOW == 1 && NET_FW_RULE_DIR_IN == 1 &&
                  NET_FW_RULE_DIR_OUT == 2,
              "firewall actions and directions");
static_assert(NET_FW_PROFILE2_DOMAIN == 1 && NET_FW_PROFILE2_PRIVATE == 2 && NET_FW_PROFILE2_PUBLIC == 4 &&
                  NET_FW_PROFILE2_ALL == 0x7FFFFFFF,
              "firewall profiles");
static_assert(NET_FW_IP_PROTOCOL_TCP == 6 && NET_FW_IP_PROTOCOL_UDP == 17,
              "firewall protocols");
