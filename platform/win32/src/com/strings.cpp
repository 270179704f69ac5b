// BSTR: a 4-byte byte count, the UTF-16 text and a terminating NUL; the pointer names the text. VARIANT clearing.
#include "com/object.h"

#include "emu/com.h"
#include "emu/emu.h"

#include <cstdlib>

namespace emu::com {
std::atomic<long> g_liveStrings{0};
long liveStrings() { return g_liveStrings.load(); }
} // namespace emu::com

namespace {

BSTR allocate(const OLECHAR *strIn, UINT ui) {
  const size_t bytes = static_cast<size_t>(ui) * sizeof(OLECHAR);
  if (bytes > 0xFFFFFFF0u) return nullptr; // the prefix holds 32 bits
  auto *block = static_cast<unsigned char *>(std::calloc(1, sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const uint32_t prefix = static_cast<uint32_t>(bytes);
  std::memcpy(block, &prefix, sizeof prefix);
  BSTR text = reinterpret_cast<BSTR>(block + sizeof prefix);
  if (strIn) std::memcpy(text, strIn, bytes);
  ++emu::com::g_liveStrings;
  return text;
}

} // namespace

// Out of memory is the one documented failure: an injected failure gives NULL.
extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui) {
  if (emu::failureFor("SysAllocStringLen")) return nullptr;
  return allocate(strIn, ui);
}

extern "C" BSTR WINAPI SysAllocString(const OLECHAR *psz) {
  if (emu::failureFor("SysAllocString") || !psz) return nullptr;
  UINT n = 0;
  while (psz[n]) ++n;
  return allocate(psz, n);
}

extern "C" void WINAPI SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  --emu::com::g_liveStrings;
  std::free(reinterpret_cast<unsigned char *>(bstrString) - sizeof(uint32_t));
}

extern "C" UINT WINAPI SysStringLen(BSTR pbstr) {
  if (!pbstr) return 0;
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<unsigned char *>(pbstr) - sizeof prefix, sizeof prefix);
  return prefix / sizeof(OLECHAR);
}

extern "C" void WINAPI VariantInit(VARIANTARG *pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY; // the value is left as it is, as documented
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

extern "C" HRESULT WINAPI VariantClear(VARIANTARG *pvarg) {
  EMU_COM_FAIL_POINT("VariantClear");
  if (!pvarg) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!(vt & VT_BYREF)) { // a reference owns nothing
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_UI8: case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_BOOL: case VT_ERROR:
      break;
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_DISPATCH:
      if (pvarg->pdispVal) pvarg->pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    default:
      return DISP_E_BADVARTYPE;
    }
  }
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
  return S_OK;
}
