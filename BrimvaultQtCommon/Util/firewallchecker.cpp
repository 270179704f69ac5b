#include "Util/firewallchecker.h"

#include <objbase.h>

// The firewall's IIDs and CLSIDs are defined in this source (as selectany constants), since mingw-w64's libraries
// lack them; a second definition elsewhere is merged, not a clash.
#include <initguid.h>

#include <netfw.h>

#include "Log/hostpath.h"
#include "Log/log.h"
#include "Util/stringutil.h"

namespace {

unsigned int hex(HRESULT hr) { return static_cast<unsigned int>(hr); }

// One interface pointer, released when the holder goes; receive() hands its slot to an out-parameter.
template <class T> class ComRef {
public:
  ComRef() = default;
  ComRef(const ComRef &) = delete;
  ComRef &operator=(const ComRef &) = delete;
  ~ComRef() { reset(); }
  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T **receive() {
    reset();
    return &p_;
  }
  void **receiveVoid() { return reinterpret_cast<void **>(receive()); }
  void swap(ComRef &other) {
    T *mine = p_;
    p_ = other.p_;
    other.p_ = mine;
  }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

private:
  T *p_ = nullptr;
};

// One BSTR, freed when the holder goes.
class BstrHolder {
public:
  BstrHolder() = default;
  explicit BstrHolder(BSTR owned) : b_(owned) {}
  BstrHolder(const BstrHolder &) = delete;
  BstrHolder &operator=(const BstrHolder &) = delete;
  ~BstrHolder() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR *receive() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  QString text() const { return bstrToQString(b_); }

private:
  BSTR b_ = nullptr;
};

// One VARIANT, cleared (so a held dispatch pointer is released) when the holder goes or is reused.
class VariantHolder {
public:
  VariantHolder() { VariantInit(&v_); }
  VariantHolder(const VariantHolder &) = delete;
  VariantHolder &operator=(const VariantHolder &) = delete;
  ~VariantHolder() { VariantClear(&v_); }
  VARIANT *get() { return &v_; }
  VARIANT *reuse() {
    VariantClear(&v_);
    return &v_;
  }

private:
  VARIANT v_;
};

NET_FW_RULE_DIRECTION directionFor(int direction) { return direction == 0 ? NET_FW_RULE_DIR_IN : NET_FW_RULE_DIR_OUT; }

// The stored program path: absolute, backslashes.
QString programPath(const QString &appPath) { return nativeSeparators(absoluteWindowsPath(appPath)); }

// The form of a path for comparison. No path stays no path: a rule without a program applies to every program and
// must not pass for one in the current folder.
QString comparablePath(const QString &path) { return path.isEmpty() ? QString() : programPath(path); }

HRESULT makePolicy(ComRef<INetFwPolicy2> &policy) {
  return CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                          policy.receiveVoid());
}

// The record of one rule. A field whose getter failed keeps its start value, one that no check accepts (block,
// disabled, outbound, empty, 0), and a record with any getter failed is marked as blocking, so an incomplete read
// can never look like a match.
FirewallRuleInfo readRule(INetFwRule *rule, const QString &name) {
  FirewallRuleInfo info;
  info.name = name;
  bool complete = true;
  auto text = [&](HRESULT (STDMETHODCALLTYPE INetFwRule::*getter)(BSTR *), QString &field) {
    BstrHolder value;
    if (SUCCEEDED((rule->*getter)(value.receive())))
      field = value.text();
    else
      complete = false;
  };
  text(&INetFwRule::get_ApplicationName, info.applicationName);
  text(&INetFwRule::get_RemoteAddresses, info.remoteAddresses);
  text(&INetFwRule::get_RemotePorts, info.remotePorts);
  text(&INetFwRule::get_LocalPorts, info.localPorts);
  text(&INetFwRule::get_LocalAddresses, info.localAddresses);
  text(&INetFwRule::get_InterfaceTypes, info.interfaceTypes);
  // What a failed getter leaves in its out-parameter is never used.
  auto read = [&](HRESULT hr) {
    complete = complete && SUCCEEDED(hr);
    return SUCCEEDED(hr);
  };
  LONG profiles = 0, protocol = 0;
  NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
  if (read(rule->get_Profiles(&profiles))) info.profiles = profiles;
  const bool allowRead = read(rule->get_Action(&action)) && action == NET_FW_ACTION_ALLOW;
  if (read(rule->get_Enabled(&enabled))) info.enabled = isVariantTrue(enabled);
  if (read(rule->get_Direction(&direction))) info.direction = direction == NET_FW_RULE_DIR_IN ? 0 : 1;
  if (read(rule->get_Protocol(&protocol))) info.protocol = protocol;
  info.allow = complete && allowRead;
  return info;
}

} // namespace

QString bstrToQString(BSTR value) {
  if (!value) return QString();
  return QString::fromUtf16(reinterpret_cast<const char16_t *>(value));
}

BSTR qStringToBstr(const QString &value) { return SysAllocString(reinterpret_cast<const OLECHAR *>(value.utf16())); }

bool isVariantTrue(VARIANT_BOOL value) { return value == VARIANT_TRUE; }

VARIANT_BOOL toVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

FirewallChecker::FirewallChecker(QObject *parent) : QObject(parent) {}

FirewallChecker::~FirewallChecker() {
  if (m_comInitialized) CoUninitialize();
}

bool FirewallChecker::initialize() {
  if (m_comInitialized) return true;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
    LOGE("Failed to initialize COM library, 0x%x", hex(hr));
    return false;
  }
  // RPC_E_CHANGED_MODE: COM is usable in the thread's other model, but there is nothing of ours to balance.
  if (SUCCEEDED(hr)) m_comInitialized = true;
  LOGI("Success initialize COM library");
  return true;
}

QList<FirewallRuleInfo> FirewallChecker::getAllRulesByName(const QString &ruleName) {
  QList<FirewallRuleInfo> result;
  if (!m_comInitialized && !initialize()) return result;

  ComRef<INetFwPolicy2> policy;
  HRESULT hr = makePolicy(policy);
  if (FAILED(hr)) {
    LOGE("Failed to create firewall policy instance, 0x%x", hex(hr));
    return result;
  }
  ComRef<INetFwRules> rules;
  ComRef<IUnknown> enumUnknown;
  ComRef<IEnumVARIANT> enumerator;
  if (FAILED(policy->get_Rules(rules.receive())) || FAILED(rules->get__NewEnum(enumUnknown.receive())) ||
      !enumUnknown || FAILED(enumUnknown->QueryInterface(IID_IEnumVARIANT, enumerator.receiveVoid())))
    return result;

  VariantHolder element;
  ULONG fetched = 0;
  while (enumerator->Next(1, element.reuse(), &fetched) == S_OK && fetched == 1) {
    VARIANT *v = element.get();
    // A collection may hold something other than a rule: skip it rather than follow it.
    if (v->vt != VT_DISPATCH || !v->pdispVal) continue;
    ComRef<INetFwRule> rule;
    if (FAILED(v->pdispVal->QueryInterface(IID_INetFwRule, rule.receiveVoid())) || !rule) continue;
    BstrHolder name;
    if (FAILED(rule->get_Name(name.receive()))) continue;
    const QString stored = name.text();
    if (StringUtil::isEqualIgnoreCase(stored, ruleName)) result.append(readRule(rule.get(), stored));
  }
  return result;
}

bool FirewallChecker::checkFirewallRule(const QString &appPath, const QString &ruleName, int direction) {
  const QString wantedPath = comparablePath(appPath);
  const int wantedDirection = direction == 0 ? 0 : 1;
  for (const FirewallRuleInfo &r : getAllRulesByName(ruleName)) {
    if (!r.allow || !r.enabled) continue;
    if (!StringUtil::isEqualIgnoreCase(comparablePath(r.applicationName), wantedPath)) continue;
    if (r.direction != wantedDirection || r.protocol != 256) continue;
    if (r.localAddresses != QLatin1String("*") || !r.localPorts.isEmpty()) continue;
    if (r.remoteAddresses != QLatin1String("*") || !r.remotePorts.isEmpty()) continue;
    if (r.profiles != 7 || !StringUtil::isEqualIgnoreCase(r.interfaceTypes, QStringLiteral("All"))) continue;
    return true;
  }
  return false;
}

bool FirewallChecker::addOrUpdateFirewallRule(const QString &appPath, const QString &ruleName, int direction,
                                              bool allow, bool enabled) {
  if (!m_comInitialized && !initialize()) return false;
  const QString path = programPath(appPath);
  const QByteArray nameUtf8 = ruleName.toUtf8();
  const char *nameText = nameUtf8.constData();

  ComRef<INetFwPolicy2> policy;
  HRESULT hr = makePolicy(policy);
  if (FAILED(hr)) {
    LOGE("Failed to create firewall policy instance, 0x%x", hex(hr));
    return false;
  }
  ComRef<INetFwRules> rules;
  hr = policy->get_Rules(rules.receive());
  if (FAILED(hr)) {
    LOGE("Failed to get firewall rules, 0x%x", hex(hr));
    return false;
  }
  BstrHolder name(qStringToBstr(ruleName));

  // A rule of this name in the same direction is replaced; one in the other direction stays beside the new one.
  ComRef<INetFwRule> old;
  {
    ComRef<INetFwRule> found;
    NET_FW_RULE_DIRECTION foundDirection = NET_FW_RULE_DIR_MAX;
    if (SUCCEEDED(rules->Item(name.get(), found.receive())) && found &&
        SUCCEEDED(found->get_Direction(&foundDirection)) && foundDirection == directionFor(direction))
      old.swap(found);
  }

  // The new rule is made and set up before the old one goes, so a failure here leaves the firewall as it was. A rule
  // that misses any property is not added: without its program it would admit every program, without its action
  // it would allow what was to be blocked.
  ComRef<INetFwRule> rule;
  hr = CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule, rule.receiveVoid());
  if (FAILED(hr)) {
    LOGE("Failed to create firewall rule instance, 0x%x", hex(hr));
    return false;
  }
  bool complete = true;
  const auto failed = [&complete](HRESULT result) {
    complete = complete && SUCCEEDED(result);
    return FAILED(result);
  };
  if (failed(hr = rule->put_Name(name.get()))) LOGE("put_Name failed: %s, 0x%x", nameText, hex(hr));
  {
    BstrHolder description(qStringToBstr(QStringLiteral("Rule for application: %1").arg(appPath)));
    if (failed(hr = rule->put_Description(description.get())))
      LOGE("put_Description failed: %s, 0x%x", nameText, hex(hr));
  }
  {
    BstrHolder application(qStringToBstr(path));
    if (failed(hr = rule->put_ApplicationName(application.get())))
      LOGE("put_ApplicationName failed: %s, 0x%x", nameText, hex(hr));
  }
  if (failed(hr = rule->put_Action(allow ? NET_FW_ACTION_ALLOW : NET_FW_ACTION_BLOCK)))
    LOGE("put_Action failed: %s, 0x%x", nameText, hex(hr));
  if (failed(hr = rule->put_Direction(directionFor(direction))))
    LOGE("put_Direction failed: %s, 0x%x", nameText, hex(hr));
  if (failed(hr = rule->put_Enabled(toVariantBool(enabled))))
    LOGE("put_Enabled failed: %s, 0x%x", nameText, hex(hr));
  if (failed(hr = rule->put_Profiles(NET_FW_PROFILE2_DOMAIN | NET_FW_PROFILE2_PRIVATE | NET_FW_PROFILE2_PUBLIC)))
    LOGE("put_Profiles failed: %s, 0x%x", nameText, hex(hr));
  {
    BstrHolder types(qStringToBstr(QStringLiteral("All")));
    if (failed(hr = rule->put_InterfaceTypes(types.get())))
      LOGE("put_InterfaceTypes failed: %s, 0x%x", nameText, hex(hr));
  }
  if (!complete) return false;

  if (old) {
    hr = rules->Remove(name.get());
    if (FAILED(hr)) {
      LOGE("Failed to remove existing firewall rule, 0x%x", hex(hr));
      return false;
    }
    LOGI("Removed existing rule: %s with direction: %d", nameText, direction);
  }
  hr = rules->Add(rule.get());
  if (FAILED(hr)) {
    LOGE("Failed to add firewall rule: %s, 0x%x", nameText, hex(hr));
    if (old) {
      const HRESULT back = rules->Add(old.get());
      if (FAILED(back))
        LOGE("Failed to restore the existing firewall rule: %s, 0x%x", nameText, hex(back));
      else
        LOGI("Restored the existing firewall rule: %s", nameText);
    }
    return false;
  }
  if (old)
    LOGI("Updated rule: %s with new settings", nameText);
  else
    LOGI("Added new rule: %s", nameText);
  return true;
}

bool FirewallChecker::addAllowFirewallRule(const QString &appPath, const QString &ruleName, int direction) {
  return addOrUpdateFirewallRule(appPath, ruleName, direction, true, true);
}

bool FirewallChecker::removeFirewallRule(const QString &ruleName) {
  if (!m_comInitialized && !initialize()) return false;
  const QByteArray nameUtf8 = ruleName.toUtf8();
  ComRef<INetFwPolicy2> policy;
  HRESULT hr = makePolicy(policy);
  if (FAILED(hr)) {
    LOGI("Failed to create firewall policy instance, 0x%x", hex(hr));
    return false;
  }
  ComRef<INetFwRules> rules;
  if (FAILED(policy->get_Rules(rules.receive()))) {
    LOGI("Failed to remove firewall rule, %s", nameUtf8.constData());
    return false;
  }
  BstrHolder name(qStringToBstr(ruleName));
  hr = rules->Remove(name.get());
  if (FAILED(hr)) {
    LOGI("Failed to remove firewall rule, %s, 0x%x", nameUtf8.constData(), hex(hr));
    LOGI("Failed to remove firewall rule, %s", nameUtf8.constData());
    return false;
  }
  return true;
}
