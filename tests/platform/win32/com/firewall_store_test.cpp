// The firewall's rule objects over the machine's store, and the store as other processes (win32ctl) see it.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <netfw.h>

#include <QProcess>
#include <QStringList>

#include <memory>
#include <string>

#include "emu/com.h"
#include "emu/emu.h"
#include "testenv.h"

namespace {

struct Ctl {
  int exitCode = -1;
  std::string out;
};

QProcess *startCtl(const QStringList &args) {
  auto *p = new QProcess;
  p->start(QString::fromStdString(testenv::binDir() + "/win32ctl"), args);
  return p;
}
Ctl finish(QProcess *p) {
  Ctl r;
  if (p->waitForFinished(30000) && p->exitStatus() == QProcess::NormalExit) r.exitCode = p->exitCode();
  r.out = p->readAllStandardOutput().toStdString();
  delete p;
  return r;
}
Ctl win32ctl(const QStringList &args) { return finish(startCtl(args)); }

std::u16string take(BSTR b) { // the text, and the string freed
  std::u16string s = b ? std::u16string(b, SysStringLen(b)) : u"<null>";
  SysFreeString(b);
  return s;
}

class FirewallStore : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    emu::fw::update([](emu::fw::Store &s, bool &changed) -> DWORD {
      s.rules.clear();
      changed = true;
      return 0;
    });
    INetFwPolicy2 *policy = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                               reinterpret_cast<void **>(&policy)),
              S_OK);
    ASSERT_EQ(policy->get_Rules(&rules), S_OK);
    policy->Release();
  }
  void TearDown() override {
    if (rules) rules->Release();
    emu::clearFailures();
    EXPECT_EQ(emu::com::liveObjects(), 0);
    EXPECT_EQ(emu::com::liveStrings(), 0);
    CoUninitialize();
  }
  INetFwRule *newRule(const char16_t *name, NET_FW_RULE_DIRECTION dir) {
    INetFwRule *r = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                               reinterpret_cast<void **>(&r)),
              S_OK);
    BSTR n = SysAllocString(name);
    EXPECT_EQ(r->put_Name(n), S_OK);
    SysFreeString(n);
    EXPECT_EQ(r->put_Direction(dir), S_OK);
    return r;
  }
  HRESULT withName(const char16_t *name, HRESULT (INetFwRules::*call)(BSTR)) {
    BSTR n = SysAllocString(name);
    HRESULT hr = (rules->*call)(n);
    SysFreeString(n);
    return hr;
  }
  INetFwRules *rules = nullptr;
};

TEST_F(FirewallStore, NewRuleHasTheDocumentedDefaultsAndEachPutIsChecked) {
  INetFwRule *r = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                             reinterpret_cast<void **>(&r)),
            S_OK);
  BSTR b = nullptr;
  LONG n = 0;
  VARIANT_BOOL on = VARIANT_TRUE;
  NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
  NET_FW_RULE_DIRECTION dir = NET_FW_RULE_DIR_OUT;
  EXPECT_EQ(r->get_Name(&b), S_OK);
  EXPECT_EQ(take(b), u"<null>");
  r->get_LocalPorts(&b);
  EXPECT_EQ(take(b), u"<null>");
  r->get_LocalAddresses(&b);
  EXPECT_EQ(take(b), u"*");
  r->get_RemoteAddresses(&b);
  EXPECT_EQ(take(b), u"*");
  r->get_InterfaceTypes(&b);
  EXPECT_EQ(take(b), u"All");
  r->get_Protocol(&n);
  EXPECT_EQ(n, NET_FW_IP_PROTOCOL_ANY);
  r->get_Profiles(&n);
  EXPECT_EQ(n, NET_FW_PROFILE2_ALL);
  r->get_Enabled(&on);
  EXPECT_EQ(on, VARIANT_FALSE);
  r->get_Action(&action);
  EXPECT_EQ(action, NET_FW_ACTION_ALLOW);
  r->get_Direction(&dir);
  EXPECT_EQ(dir, NET_FW_RULE_DIR_IN);

  // Ports need TCP or UDP first; a name is required and is never "all"; values outside their enumerations fail.
  BSTR ports = SysAllocString(u"80"), all = SysAllocString(u"ALL"), types = SysAllocString(u"Lan,All");
  EXPECT_EQ(r->put_LocalPorts(ports), E_INVALIDARG);
  EXPECT_EQ(r->put_Protocol(NET_FW_IP_PROTOCOL_TCP), S_OK);
  EXPECT_EQ(r->put_LocalPorts(ports), S_OK);
  EXPECT_EQ(r->put_Protocol(NET_FW_IP_PROTOCOL_ANY), E_INVALIDARG);
  EXPECT_EQ(r->put_Name(all), E_INVALIDARG);
  EXPECT_EQ(r->put_Name(nullptr), E_INVALIDARG);
  EXPECT_EQ(r->put_InterfaceTypes(types), E_INVALIDARG);
  EXPECT_EQ(r->put_Direction(NET_FW_RULE_DIR_MAX), E_INVALIDARG);
  EXPECT_EQ(r->put_Profiles(8), E_INVALIDARG);
  EXPECT_EQ(r->put_Action(NET_FW_ACTION_MAX), E_INVALIDARG);
  EXPECT_EQ(rules->Add(r), E_INVALIDARG); // still without a name
  SysFreeString(ports);
  SysFreeString(all);
  SysFreeString(types);
  r->Release();
}

TEST_F(FirewallStore, ItemAndRemoveTakeTheFirstRuleOfANameAndBoundObjectsWriteThrough) {
  INetFwRule *in = newRule(u"App", NET_FW_RULE_DIR_IN), *out = newRule(u"app", NET_FW_RULE_DIR_OUT);
  ASSERT_EQ(rules->Add(in), S_OK);
  ASSERT_EQ(rules->Add(out), S_OK);
  EXPECT_EQ(rules->Add(out), E_UNEXPECTED); // already in the collection
  LONG count = 0;
  rules->get_Count(&count);
  EXPECT_EQ(count, 2);

  // Changes take administrator rights: adding, removing, and a put on a rule in the collection; reading does not.
  {
    testenv::ScopedAccount user(testenv::unelevatedUser());
    INetFwRule *other = newRule(u"Other", NET_FW_RULE_DIR_IN);
    EXPECT_EQ(rules->Add(other), E_ACCESSDENIED);
    EXPECT_EQ(out->put_Enabled(VARIANT_TRUE), E_ACCESSDENIED);
    EXPECT_EQ(withName(u"App", &INetFwRules::Remove), E_ACCESSDENIED);
    EXPECT_EQ(rules->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
    other->Release();
  }

  // The added object is bound to the stored rule: a put reaches the store.
  EXPECT_EQ(out->put_Enabled(VARIANT_TRUE), S_OK);
  ASSERT_EQ(emu::fw::load().rules.size(), 2u);
  EXPECT_TRUE(emu::fw::load().rules[1].enabled);

  INetFwRule *item = nullptr;
  BSTR name = SysAllocString(u"APP");
  ASSERT_EQ(rules->Item(name, &item), S_OK);
  NET_FW_RULE_DIRECTION dir = NET_FW_RULE_DIR_MAX;
  item->get_Direction(&dir);
  EXPECT_EQ(dir, NET_FW_RULE_DIR_IN);
  EXPECT_EQ(rules->Add(item), E_UNEXPECTED);
  item->Release();
  SysFreeString(name);

  EXPECT_EQ(withName(u"App", &INetFwRules::Remove), S_OK);
  ASSERT_EQ(emu::fw::load().rules.size(), 1u);
  EXPECT_EQ(emu::fw::load().rules[0].direction, NET_FW_RULE_DIR_OUT);
  EXPECT_EQ(withName(u"missing", &INetFwRules::Remove), S_OK); // no such rule: no effect
  EXPECT_EQ(emu::fw::load().rules.size(), 1u);
  name = SysAllocString(u"missing");
  item = reinterpret_cast<INetFwRule *>(1);
  EXPECT_EQ(rules->Item(name, &item), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(item, nullptr);
  SysFreeString(name);

  // A removed rule's object keeps its values and can be added again.
  EXPECT_EQ(withName(u"App", &INetFwRules::Remove), S_OK);
  EXPECT_TRUE(emu::fw::load().rules.empty());
  ASSERT_EQ(rules->Add(out), S_OK);
  ASSERT_EQ(emu::fw::load().rules.size(), 1u);
  EXPECT_TRUE(emu::fw::load().rules[0].enabled);
  in->Release();
  out->Release();
}

// win32ctl is another process of the machine: both see one list, and concurrent writers lose nothing.
TEST_F(FirewallStore, RulesAreSharedWithOtherProcesses) {
  ASSERT_EQ(win32ctl({"firewall-add", "name=Viewer", "dir=in", "action=allow", "program=C:\\Apps\\viewer.exe"})
                .exitCode,
            0);
  IUnknown *unknown = nullptr;
  IEnumVARIANT *en = nullptr;
  ASSERT_EQ(rules->get__NewEnum(&unknown), S_OK);
  ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(&en)), S_OK);
  unknown->Release();
  VARIANT v;
  VariantInit(&v);
  ULONG fetched = 0;
  ASSERT_EQ(en->Next(1, &v, &fetched), S_OK);
  ASSERT_EQ(v.vt, VT_DISPATCH);
  INetFwRule *seen = nullptr;
  ASSERT_EQ(v.pdispVal->QueryInterface(IID_INetFwRule, reinterpret_cast<void **>(&seen)), S_OK);
  BSTR app = nullptr;
  seen->get_ApplicationName(&app);
  EXPECT_EQ(take(app), u"C:\\Apps\\viewer.exe");
  VARIANT_BOOL on = VARIANT_FALSE;
  seen->get_Enabled(&on);
  EXPECT_EQ(on, VARIANT_TRUE); // netsh enables what it adds
  seen->Release();
  VariantClear(&v);
  EXPECT_EQ(en->Next(1, &v, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  en->Release();

  INetFwRule *mine = newRule(u"Editor", NET_FW_RULE_DIR_OUT);
  ASSERT_EQ(rules->Add(mine), S_OK);
  mine->Release();
  std::vector<QProcess *> writers;
  for (int i = 0; i < 4; ++i)
    writers.push_back(startCtl({"firewall-add", QString("name=Batch%1").arg(i), "dir=out", "action=block"}));
  for (QProcess *p : writers) EXPECT_EQ(finish(p).exitCode, 0);
  Ctl list = win32ctl({"firewall-list", "name=editor"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.out.find("Rule Name:                            Editor\n"), std::string::npos);
  EXPECT_NE(list.out.find("Direction:                            Out\n"), std::string::npos);
  EXPECT_EQ(emu::fw::load().rules.size(), 6u);

  Ctl del = win32ctl({"firewall-delete", "name=all", "dir=out"});
  EXPECT_EQ(del.exitCode, 0);
  EXPECT_NE(del.out.find("Deleted 5 rule(s)."), std::string::npos);
  LONG count = 0;
  rules->get_Count(&count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(win32ctl({"firewall-list", "name=Editor"}).exitCode, 1);
}

} // namespace
