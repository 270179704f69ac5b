// Automation strings and variants (oleaut32) (Linux build only).
#pragma once

#include "oaidl.h"

extern "C" {
BSTR WINAPI SysAllocString(const OLECHAR *psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);
void WINAPI VariantInit(VARIANTARG *pvarg);
HRESULT WINAPI VariantClear(VARIANTARG *pvarg);
}
