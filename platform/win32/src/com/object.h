// Base of the runtime's objects: a reference count, the live-object count and the IDispatch members that late
// binding would need (not offered: callers bind early through the vtable).
#pragma once

#include <objbase.h>

#include <atomic>

namespace emu::com {

void objectMade();
void objectGone();

template <class Iface> class Object : public Iface {
public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

protected:
  Object() { objectMade(); }
  virtual ~Object() { objectGone(); }
  // QueryInterface for an object that offers IUnknown, `own` and what lies between them (IDispatch).
  HRESULT queryAs(REFIID riid, void **out, REFIID own, bool dispatch) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, own) || (dispatch && IsEqualIID(riid, IID_IDispatch))) {
      *out = static_cast<Iface *>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

private:
  std::atomic<ULONG> refs_{1};
};

template <class Iface> class DispatchObject : public Object<Iface> {
public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0; // no type information
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *,
                                   UINT *) override {
    return E_NOTIMPL;
  }
};


} // namespace emu::com

// Injected failure of a COM call: returns the chosen code as the call's HRESULT.
#define EMU_COM_FAIL_POINT(name)                                                                                     \
  do {                                                                                                               \
    if (DWORD emu_code_ = ::emu::failureFor(name)) return static_cast<HRESULT>(emu_code_);                           \
  } while (0)
