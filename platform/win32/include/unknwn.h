// IUnknown, the root of every COM interface (Linux build only). Interfaces are abstract classes whose virtual
// functions come in the order of the Windows vtables; identities are explicit IID constants.
#pragma once

#include "wtypes.h"

extern "C" const IID IID_IUnknown;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown *LPUNKNOWN;
