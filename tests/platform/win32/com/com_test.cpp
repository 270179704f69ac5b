// The COM runtime: apartments per thread, object creation, strings and variants, and the live counts.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <netfw.h>

#include <thread>

#include "emu/com.h"
#include "emu/emu.h"

namespace {

using emu::com::Apartment;

TEST(ComApartments, CountPerThreadAndRefuseTheOtherModel) {
  EXPECT_EQ(emu::com::currentApartment(), Apartment::None);
  void *p = reinterpret_cast<void *>(1);
  EXPECT_EQ(CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2, &p),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(p, nullptr);

  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE); // owes no CoUninitialize
  EXPECT_EQ(emu::com::initDepth(), 2u);

  // Another thread has an apartment of its own.
  std::thread([] {
    EXPECT_EQ(emu::com::currentApartment(), Apartment::None);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(emu::com::currentApartment(), Apartment::MultiThreaded);
    CoUninitialize();
  }).join();

  CoUninitialize();
  EXPECT_EQ(emu::com::currentApartment(), Apartment::SingleThreaded);
  CoUninitialize();
  EXPECT_EQ(emu::com::currentApartment(), Apartment::None);
  CoUninitialize(); // one too many changes nothing
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

TEST(ComCreation, FindsClassesByClsidAndFailsTheDocumentedWay) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  void *p = nullptr;
  const CLSID unknown = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_LOCAL_SERVER, IID_INetFwRule, &p), REGDB_E_CLASSNOTREG);
  IUnknown *outer = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void **>(&outer)),
            S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_NetFwRule, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);

  // One object answers for each of its interfaces, counted once.
  INetFwRule *rule = nullptr;
  IDispatch *dispatch = nullptr;
  ASSERT_EQ(outer->QueryInterface(IID_INetFwRule, reinterpret_cast<void **>(&rule)), S_OK);
  ASSERT_EQ(rule->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&dispatch)), S_OK);
  EXPECT_EQ(emu::com::liveObjects(), 1);
  EXPECT_EQ(outer->Release(), 2u);
  EXPECT_EQ(rule->Release(), 1u);
  EXPECT_EQ(dispatch->Release(), 0u);
  EXPECT_EQ(emu::com::liveObjects(), 0);
  emu::injectFailure("CoCreateInstance", static_cast<DWORD>(E_OUTOFMEMORY));
  EXPECT_EQ(CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), E_OUTOFMEMORY);
  emu::clearFailures();
  CoUninitialize();
}

TEST(ComStrings, BstrIsLengthPrefixedUtf16AndVariantClearReleasesWhatItHolds) {
  BSTR s = SysAllocString(u"h\u00e9llo");
  ASSERT_NE(s, nullptr);
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char *>(s) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(s[5], 0);
  BSTR inner = SysAllocStringLen(u"a\0b", 3); // an embedded NUL is text
  EXPECT_EQ(SysStringLen(inner), 3u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(emu::com::liveStrings(), 2);
  SysFreeString(s);
  SysFreeString(nullptr);

  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  ASSERT_EQ(CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void **>(&v.pdispVal)),
            S_OK);
  v.vt = VT_DISPATCH;
  EXPECT_EQ(emu::com::liveObjects(), 1);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(emu::com::liveObjects(), 0);
  v.vt = VT_BSTR;
  v.bstrVal = inner;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(emu::com::liveStrings(), 0);
  v.vt = 0x00FF;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  CoUninitialize();
}

// Interface and class identities as Microsoft publishes them.
TEST(ComIdentities, MatchTheDocumentedValues) {
  auto is = [](const GUID &g, uint32_t d1, uint16_t d2, uint16_t d3, std::initializer_list<int> d4) {
    GUID want{d1, d2, d3, {}};
    size_t i = 0;
    for (int b : d4) want.Data4[i++] = static_cast<uint8_t>(b);
    return IsEqualGUID(g, want);
  };
  EXPECT_TRUE(is(IID_IUnknown, 0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}));
  EXPECT_TRUE(is(IID_IDispatch, 0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}));
  EXPECT_TRUE(is(IID_IEnumVARIANT, 0x00020404, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}));
  EXPECT_TRUE(is(CLSID_NetFwPolicy2, 0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}));
  EXPECT_TRUE(is(IID_INetFwPolicy2, 0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}));
  EXPECT_TRUE(is(CLSID_NetFwRule, 0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}));
  EXPECT_TRUE(is(IID_INetFwRule, 0xAF230D27, 0xBABA, 0x4E42, {0xAC, 0xED, 0xF5, 0x24, 0xF2, 0x2C, 0xFC, 0xE2}));
  EXPECT_TRUE(is(IID_INetFwRules, 0x9C4C6277, 0x5027, 0x441E, {0xAF, 0xAE, 0xCA, 0x1F, 0x54, 0x2D, 0xA0, 0x09}));
}

} // namespace
