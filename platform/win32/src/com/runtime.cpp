// COM apartments per thread, the class table behind CoCreateInstance and the live-object count.
#include "com/object.h"

#include "emu/com.h"
#include "emu/emu.h"
#include "firewall/objects.h"

extern "C" const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const IID IID_IEnumVARIANT = {0x00020404, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace emu::com {

namespace {

std::atomic<long> g_liveObjects{0};

// The calling thread's apartment: moveTo is its only writer.
struct ThreadCom {
  Apartment apartment = Apartment::None;
  unsigned depth = 0;
  void moveTo(Apartment next) { apartment = next; }
};
thread_local ThreadCom t_com;

} // namespace

void objectMade() { ++g_liveObjects; }
void objectGone() { --g_liveObjects; }
long liveObjects() { return g_liveObjects.load(); }

Apartment currentApartment() { return t_com.apartment; }
unsigned initDepth() { return t_com.depth; }
const char *nameOf(Apartment a) {
  switch (a) {
  case Apartment::SingleThreaded: return "STA";
  case Apartment::MultiThreaded: return "MTA";
  default: return "none";
  }
}

} // namespace emu::com

using emu::com::Apartment;

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  EMU_COM_FAIL_POINT("CoInitializeEx");
  if (pvReserved) return E_INVALIDARG;
  const DWORD known = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (dwCoInit & ~known) return E_INVALIDARG;
  const Apartment wanted =
      (dwCoInit & COINIT_APARTMENTTHREADED) ? Apartment::SingleThreaded : Apartment::MultiThreaded;
  auto &t = emu::com::t_com;
  if (t.depth == 0) {
    t.moveTo(wanted);
    t.depth = 1;
    return S_OK;
  }
  if (t.apartment != wanted) return RPC_E_CHANGED_MODE; // counts for nothing: no CoUninitialize owed
  ++t.depth;
  return S_FALSE;
}

extern "C" void WINAPI CoUninitialize(void) {
  (void)emu::failureFor("CoUninitialize"); // journalled; the call has no way to fail
  auto &t = emu::com::t_com;
  if (t.depth == 0) return; // unbalanced: Windows ignores it too
  if (--t.depth == 0) t.moveTo(Apartment::None);
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID *ppv) {
  EMU_COM_FAIL_POINT("CoCreateInstance");
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (emu::com::t_com.depth == 0) return CO_E_NOTINITIALIZED;
  // Every class here is an in-process server.
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  IUnknown *object = emu::fw::makeObject(rclsid);
  if (!object) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter) {
    object->Release();
    return CLASS_E_NOAGGREGATION;
  }
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}
