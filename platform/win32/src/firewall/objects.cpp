// INetFwPolicy2, INetFwRules, IEnumVARIANT over the rules, and INetFwRule over the machine's rule store.
// A rule object is either new (its own copy, made by CoCreateInstance) or bound to a stored rule by id (from Item,
// the enumerator or Add): bound objects read the store on every get and write through it on every put.
#include "firewall/objects.h"

#include <netfw.h>

#include "com/object.h"
#include "emu/account.h"
#include "emu/com.h"
#include "emu/emu.h"

#include <QString>

#include <atomic>
#include <memory>
#include <vector>

extern "C" const IID IID_INetFwRule = {0xAF230D27, 0xBABA, 0x4E42, {0xAC, 0xED, 0xF5, 0x24, 0xF2, 0x2C, 0xFC, 0xE2}};
extern "C" const IID IID_INetFwRules = {0x9C4C6277, 0x5027, 0x441E, {0xAF, 0xAE, 0xCA, 0x1F, 0x54, 0x2D, 0xA0, 0x09}};
extern "C" const IID IID_INetFwPolicy2 = {0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};
extern "C" const CLSID CLSID_NetFwRule = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};
extern "C" const CLSID CLSID_NetFwPolicy2 = {
    0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};

namespace emu::fw {

namespace {

std::atomic<bool> g_stray{false};

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

std::u16string text(BSTR b) { return b ? std::u16string(b, SysStringLen(b)) : std::u16string(); }
bool sameName(const std::u16string &a, const std::u16string &b) {
  return QString::fromStdU16String(a).compare(QString::fromStdU16String(b), Qt::CaseInsensitive) == 0;
}
// The first rule of that name in enumeration order: the one Item gives and Remove takes.
std::vector<Rule>::iterator findByName(Store &s, const std::u16string &name) {
  for (auto it = s.rules.begin(); it != s.rules.end(); ++it)
    if (sameName(it->name, name)) return it;
  return s.rules.end();
}

class RuleObject final : public com::DispatchObject<INetFwRule> {
public:
  explicit RuleObject(Rule rule = Rule{}, uint64_t id = 0) : rule_(std::move(rule)), id_(id) {}

  // Its current values: the stored rule while it exists, else the last copy.
  const Rule &current() {
    if (id_ == 0) return rule_;
    Store s = load();
    for (const Rule &r : s.rules)
      if (r.id == id_) rule_ = r;
    return rule_;
  }
  void bindTo(uint64_t id) { id_ = id; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override {
    return queryAs(riid, out, IID_INetFwRule, true);
  }

#define RULE_TEXT(Prop, member)                                                                                   \
  HRESULT STDMETHODCALLTYPE get_##Prop(BSTR *out) override {                                                      \
    return getText("INetFwRule::get_" #Prop, out, &Rule::member);                                                 \
  }                                                                                                               \
  HRESULT STDMETHODCALLTYPE put_##Prop(BSTR value) override {                                                     \
    EMU_COM_FAIL_POINT("INetFwRule::put_" #Prop);                                                                 \
    return change([&](Rule &r) { r.member = text(value); });                                                      \
  }
  HRESULT STDMETHODCALLTYPE get_Name(BSTR *out) override {
    return getText("INetFwRule::get_Name", out, &Rule::name);
  }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Name");
    if (!value || !*value) return E_INVALIDARG; // a rule's name is required
    return change([&](Rule &r) { r.name = text(value); });
  }
  RULE_TEXT(Description, description)
  RULE_TEXT(ApplicationName, applicationName)
  RULE_TEXT(ServiceName, serviceName)
  RULE_TEXT(LocalPorts, localPorts)
  RULE_TEXT(RemotePorts, remotePorts)
  RULE_TEXT(IcmpTypesAndCodes, icmpTypesAndCodes)
  RULE_TEXT(InterfaceTypes, interfaceTypes)
  RULE_TEXT(Grouping, grouping)
#undef RULE_TEXT

  // Addresses: an empty list means any address.
  HRESULT STDMETHODCALLTYPE get_LocalAddresses(BSTR *out) override {
    return getText("INetFwRule::get_LocalAddresses", out, &Rule::localAddresses);
  }
  HRESULT STDMETHODCALLTYPE put_LocalAddresses(BSTR value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_LocalAddresses");
    return change([&](Rule &r) { r.localAddresses = value && *value ? text(value) : u"*"; });
  }
  HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR *out) override {
    return getText("INetFwRule::get_RemoteAddresses", out, &Rule::remoteAddresses);
  }
  HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_RemoteAddresses");
    return change([&](Rule &r) { r.remoteAddresses = value && *value ? text(value) : u"*"; });
  }

  HRESULT STDMETHODCALLTYPE get_Protocol(LONG *out) override {
    return give("INetFwRule::get_Protocol", out, static_cast<LONG>(current().protocol));
  }
  HRESULT STDMETHODCALLTYPE put_Protocol(LONG value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Protocol");
    return change([&](Rule &r) { r.protocol = value; });
  }
  HRESULT STDMETHODCALLTYPE get_Direction(NET_FW_RULE_DIRECTION *out) override {
    return give("INetFwRule::get_Direction", out, static_cast<NET_FW_RULE_DIRECTION>(current().direction));
  }
  HRESULT STDMETHODCALLTYPE put_Direction(NET_FW_RULE_DIRECTION value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Direction");
    return change([&](Rule &r) { r.direction = value; });
  }
  // Interfaces by friendly name are not kept: the rule applies to every interface.
  HRESULT STDMETHODCALLTYPE get_Interfaces(VARIANT *out) override {
    EMU_COM_FAIL_POINT("INetFwRule::get_Interfaces");
    if (!out) return E_POINTER;
    VariantInit(out);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Interfaces(VARIANT value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Interfaces");
    return value.vt == VT_EMPTY ? S_OK : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL *out) override {
    return give("INetFwRule::get_Enabled", out, current().enabled ? VARIANT_TRUE : VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Enabled");
    return change([&](Rule &r) { r.enabled = value != VARIANT_FALSE; });
  }
  HRESULT STDMETHODCALLTYPE get_Profiles(LONG *out) override {
    return give("INetFwRule::get_Profiles", out, static_cast<LONG>(current().profiles));
  }
  HRESULT STDMETHODCALLTYPE put_Profiles(LONG value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Profiles");
    return change([&](Rule &r) { r.profiles = value; });
  }
  HRESULT STDMETHODCALLTYPE get_EdgeTraversal(VARIANT_BOOL *out) override {
    return give("INetFwRule::get_EdgeTraversal", out, current().edgeTraversal ? VARIANT_TRUE : VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE put_EdgeTraversal(VARIANT_BOOL value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_EdgeTraversal");
    return change([&](Rule &r) { r.edgeTraversal = value != VARIANT_FALSE; });
  }
  HRESULT STDMETHODCALLTYPE get_Action(NET_FW_ACTION *out) override {
    return give("INetFwRule::get_Action", out, static_cast<NET_FW_ACTION>(current().action));
  }
  HRESULT STDMETHODCALLTYPE put_Action(NET_FW_ACTION value) override {
    EMU_COM_FAIL_POINT("INetFwRule::put_Action");
    return change([&](Rule &r) { r.action = value; });
  }

private:
  // A string out-parameter is NULL after a failure, as COM requires of what the caller would have to free.
  HRESULT getText(const char *call, BSTR *out, std::u16string Rule::*member) {
    EMU_COM_FAIL_POINT(call);
    if (!out) return E_POINTER;
    const std::u16string &v = current().*member;
    *out = nullptr; // not set: a null string
    if (v.empty()) return S_OK;
    *out = SysAllocStringLen(v.data(), static_cast<UINT>(v.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  // A value out-parameter is written even when the call is made to fail: nothing promises what a failed call leaves
  // there, and the rule's own value is the one a careless caller would take for a good answer.
  template <class T> static HRESULT give(const char *call, T *out, T value) {
    const DWORD failed = emu::failureFor(call);
    if (!out) return failed ? static_cast<HRESULT>(failed) : E_POINTER;
    *out = value;
    return static_cast<HRESULT>(failed);
  }
  // Each change is checked before it is kept, as the firewall commits and checks a rule at every put. The name
  // is checked only once the rule has one: a new rule starts without.
  template <class F> HRESULT change(F apply) {
    auto valid = [](const Rule &r) {
      Rule probe = r;
      if (probe.name.empty()) probe.name = u"-";
      return checkRule(probe) == 0;
    };
    Rule next = current();
    apply(next);
    if (!valid(next)) return E_INVALIDARG;
    if (id_ == 0) {
      rule_ = next;
      return S_OK;
    }
    DWORD rc = update([&](Store &s, bool &changed) -> DWORD {
      for (Rule &r : s.rules) {
        if (r.id != id_) continue;
        if (!currentIsAdministrator()) return static_cast<DWORD>(E_ACCESSDENIED);
        Rule edited = r;
        apply(edited);
        if (!valid(edited)) return static_cast<DWORD>(E_INVALIDARG);
        r = edited;
        changed = true;
        rule_ = edited;
        return 0;
      }
      rule_ = next; // the stored rule is gone: only the copy changes
      return 0;
    });
    return rc == 0 ? S_OK : (rc & 0x80000000u) ? static_cast<HRESULT>(rc) : HRESULT_FROM_WIN32(rc);
  }

public:
  uint64_t boundId() const { return id_; }

private:
  Rule rule_;
  uint64_t id_ = 0;
};

class RuleEnum final : public com::Object<IEnumVARIANT> {
public:
  explicit RuleEnum(std::vector<Rule> rules, size_t at = 0) : rules_(std::move(rules)), at_(at) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override {
    return queryAs(riid, out, IID_IEnumVARIANT, false);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, VARIANT *rgVar, ULONG *pCeltFetched) override {
    EMU_COM_FAIL_POINT("IEnumVARIANT::Next");
    if (!rgVar || (celt > 1 && !pCeltFetched)) return E_INVALIDARG;
    ULONG got = 0;
    for (; got < celt && !exhausted(); ++got) {
      VARIANT &v = rgVar[got];
      VariantInit(&v);
      v.llVal = 0;
      v.pRecInfo = nullptr;
      if (g_stray && stray_ < 2) { // the malformed elements first, then the rule
        v.vt = stray_++ == 0 ? VT_I4 : VT_DISPATCH;
        continue;
      }
      stray_ = 0;
      const Rule &r = rules_[at_++];
      v.vt = VT_DISPATCH;
      v.pdispVal = new RuleObject(r, r.id);
    }
    if (pCeltFetched) *pCeltFetched = got;
    return got == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    EMU_COM_FAIL_POINT("IEnumVARIANT::Skip");
    const size_t left = rules_.size() - at_;
    at_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    at_ = 0;
    stray_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **ppEnum) override {
    EMU_COM_FAIL_POINT("IEnumVARIANT::Clone");
    if (!ppEnum) return E_POINTER;
    *ppEnum = new RuleEnum(rules_, at_);
    return S_OK;
  }

private:
  bool exhausted() const { return at_ >= rules_.size(); }
  std::vector<Rule> rules_; // the rules as they were when the enumeration began
  size_t at_;
  int stray_ = 0;
};

class Rules final : public com::DispatchObject<INetFwRules> {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override {
    return queryAs(riid, out, IID_INetFwRules, true);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG *count) override {
    EMU_COM_FAIL_POINT("INetFwRules::get_Count");
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(load().rules.size());
    return S_OK;
  }
  // Stores a copy of the rule's values as a new rule, which the object is bound to from then on. An object whose
  // rule is in the collection is refused; one whose rule was removed may come back.
  HRESULT STDMETHODCALLTYPE Add(INetFwRule *rule) override {
    EMU_COM_FAIL_POINT("INetFwRules::Add");
    if (!currentIsAdministrator()) return E_ACCESSDENIED;
    auto *ours = dynamic_cast<RuleObject *>(rule);
    if (!ours) return E_INVALIDARG;
    Rule copy = ours->current();
    if (checkRule(copy) != 0) return E_INVALIDARG;
    DWORD rc = update([&](Store &s, bool &changed) -> DWORD {
      for (const Rule &r : s.rules)
        if (ours->boundId() != 0 && r.id == ours->boundId()) return static_cast<DWORD>(E_UNEXPECTED); // already in
      copy.id = s.nextId++;
      s.rules.push_back(copy);
      changed = true;
      return 0;
    });
    if (rc != 0) return (rc & 0x80000000u) ? static_cast<HRESULT>(rc) : HRESULT_FROM_WIN32(rc);
    ours->bindTo(copy.id);
    return S_OK;
  }
  // Takes the first rule of that name only; no such rule is no change.
  HRESULT STDMETHODCALLTYPE Remove(BSTR name) override {
    EMU_COM_FAIL_POINT("INetFwRules::Remove");
    if (!currentIsAdministrator()) return E_ACCESSDENIED;
    if (!name || !*name) return E_INVALIDARG;
    DWORD rc = update([&](Store &s, bool &changed) -> DWORD {
      auto it = findByName(s, text(name));
      if (it == s.rules.end()) return 0;
      s.rules.erase(it);
      changed = true;
      return 0;
    });
    return rc == 0 ? S_OK : HRESULT_FROM_WIN32(rc);
  }
  HRESULT STDMETHODCALLTYPE Item(BSTR name, INetFwRule **rule) override {
    EMU_COM_FAIL_POINT("INetFwRules::Item");
    if (!rule) return E_POINTER;
    *rule = nullptr;
    if (!name) return E_INVALIDARG;
    Store s = load();
    auto it = findByName(s, text(name));
    if (it == s.rules.end()) return kNotFound;
    *rule = new RuleObject(*it, it->id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown **newEnum) override {
    EMU_COM_FAIL_POINT("INetFwRules::get__NewEnum");
    if (!newEnum) return E_POINTER;
    *newEnum = new RuleEnum(load().rules);
    return S_OK;
  }
};

// The policy's profile settings are not modelled: only the rules are.
class Policy final : public com::DispatchObject<INetFwPolicy2> {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override {
    return queryAs(riid, out, IID_INetFwPolicy2, true);
  }
  HRESULT STDMETHODCALLTYPE get_CurrentProfileTypes(LONG *out) override {
    EMU_COM_FAIL_POINT("INetFwPolicy2::get_CurrentProfileTypes");
    if (!out) return E_POINTER;
    *out = NET_FW_PROFILE2_PRIVATE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *enabled) override {
    EMU_COM_FAIL_POINT("INetFwPolicy2::get_FirewallEnabled");
    if (!enabled) return E_POINTER;
    *enabled = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_FirewallEnabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExcludedInterfaces(NET_FW_PROFILE_TYPE2, VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_BlockAllInboundTraffic(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL *) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(NET_FW_PROFILE_TYPE2, VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2,
                                                                             VARIANT_BOOL *) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(NET_FW_PROFILE_TYPE2,
                                                                             VARIANT_BOOL) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules **rules) override {
    EMU_COM_FAIL_POINT("INetFwPolicy2::get_Rules");
    if (!rules) return E_POINTER;
    *rules = new Rules;
    return S_OK;
  }
};

} // namespace

void setStrayEnumElements(bool on) { g_stray = on; }

IUnknown *makeObject(REFCLSID clsid) {
  if (IsEqualCLSID(clsid, CLSID_NetFwPolicy2)) return new Policy;
  if (IsEqualCLSID(clsid, CLSID_NetFwRule)) return new RuleObject;
  return nullptr;
}

} // namespace emu::fw
