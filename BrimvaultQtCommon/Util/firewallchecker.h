// Windows Firewall rules for a program, through the firewall's COM objects: read the rules of a name, check that
// one lets a program through, add or replace such a rule, remove a rule by name. Failures are logged and returned
// as false or an empty list.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <QList>
#include <QObject>
#include <QString>

struct FirewallRuleInfo {
  QString name;
  QString applicationName;
  bool allow = false;
  bool enabled = false;
  qint32 direction = 1; // 0 inbound, 1 anything else
  QString localAddresses;
  QString localPorts;
  QString remoteAddresses;
  QString remotePorts;
  QString interfaceTypes;
  qint32 protocol = 0; // 256: any protocol
  qint32 profiles = 0; // 1 domain, 2 private, 4 public
};

// Used on one thread: the one whose COM initialisation it holds, which also destroys it.
class FirewallChecker : public QObject {
  Q_OBJECT

public:
  explicit FirewallChecker(QObject *parent = nullptr);
  ~FirewallChecker() override;

  bool initialize();
  QList<FirewallRuleInfo> getAllRulesByName(const QString &ruleName);
  // direction: 0 inbound, anything else outbound.
  bool checkFirewallRule(const QString &appPath, const QString &ruleName, int direction);
  bool addOrUpdateFirewallRule(const QString &appPath, const QString &ruleName, int direction, bool allow,
                               bool enabled);
  bool addAllowFirewallRule(const QString &appPath, const QString &ruleName, int direction);
  bool removeFirewallRule(const QString &ruleName);

private:
  bool m_comInitialized = false; // this object holds one CoInitializeEx of its thread
};

// A null BSTR gives an empty string.
QString bstrToQString(BSTR value);
// The caller frees the result with SysFreeString.
BSTR qStringToBstr(const QString &value);
bool isVariantTrue(VARIANT_BOOL value);
VARIANT_BOOL toVariantBool(bool value);
