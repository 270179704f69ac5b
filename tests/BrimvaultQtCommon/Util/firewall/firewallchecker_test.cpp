// FirewallChecker against the emulated firewall: what it reads, checks, adds and removes, what it logs, and that
// every COM object and string it touched is released afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <QDir>

#include <algorithm>
#include <thread>

#include "Util/firewallchecker.h"
#include "emu/com.h"
#include "emu/emu.h"
#include "logcapture.h"
#include "qtprint.h"
#include "testenv.h"

namespace {

using Lines = std::vector<std::string>;
const QString kApp = "C:/Apps/Viewer.exe";
const DWORD kDenied = static_cast<DWORD>(E_ACCESSDENIED);

// "<level> <function> <message>" of each line since the mark.
Lines fullLinesSinceMark() {
  Lines out;
  for (const auto &l : logcapture::sinceMark()) out.push_back(l.level + " " + l.function + " " + l.message);
  return out;
}
bool logged(const std::string &line) { // "<level> <function> <message>"
  const Lines l = fullLinesSinceMark();
  return std::find(l.begin(), l.end(), line) != l.end();
}
long timesLogged(const std::string &line) {
  const Lines l = logcapture::messagesSinceMark();
  return std::count(l.begin(), l.end(), line);
}
std::vector<emu::fw::Rule> stored() { return emu::fw::load().rules; }

class FirewallCheckerTest : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    emu::clearFailures();
    emu::fw::update([](emu::fw::Store &s, bool &changed) -> DWORD {
      s.rules.clear();
      changed = true;
      return 0;
    });
    logcapture::mark();
  }
  void TearDown() override {
    emu::clearFailures();
    emu::fw::setStrayEnumElements(false);
    EXPECT_EQ(emu::com::liveObjects(), 0);
    EXPECT_EQ(emu::com::liveStrings(), 0);
    EXPECT_EQ(emu::com::initDepth(), 0u);
  }
};

TEST_F(FirewallCheckerTest, AnAddedRuleIsFoundWithAnySeparatorsOrCaseInItsDirectionOnly) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  EXPECT_TRUE(logged("I addOrUpdateFirewallRule Added new rule: Viewer"));
  EXPECT_TRUE(checker.checkFirewallRule("c:\\apps\\VIEWER.EXE", "viewer", 0));
  EXPECT_FALSE(checker.checkFirewallRule(kApp, "Viewer", 1));
  EXPECT_FALSE(checker.checkFirewallRule(kApp, "Other", 0));
  EXPECT_FALSE(checker.checkFirewallRule("C:/Apps/Editor.exe", "Viewer", 0));

  const QList<FirewallRuleInfo> rules = checker.getAllRulesByName("VIEWER");
  ASSERT_EQ(rules.size(), 1);
  const FirewallRuleInfo &r = rules[0];
  EXPECT_EQ(r.name, "Viewer");
  EXPECT_EQ(r.applicationName, "C:\\Apps\\Viewer.exe");
  EXPECT_TRUE(r.allow && r.enabled);
  EXPECT_EQ(r.direction, 0);
  EXPECT_EQ(r.protocol, 256);
  EXPECT_EQ(r.profiles, 7);
  EXPECT_EQ(r.interfaceTypes, "All");
  EXPECT_EQ(r.localAddresses, "*");
  EXPECT_EQ(r.remoteAddresses, "*");
  EXPECT_TRUE(r.localPorts.isEmpty() && r.remotePorts.isEmpty());
  EXPECT_EQ(stored()[0].description, u"Rule for application: C:/Apps/Viewer.exe");
  EXPECT_EQ(timesLogged("Success initialize COM library"), 1); // once: the flag holds
}

TEST_F(FirewallCheckerTest, ASameDirectionRuleIsReplacedAndAnotherDirectionStays) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  logcapture::mark();
  ASSERT_TRUE(checker.addOrUpdateFirewallRule(kApp, "Viewer", 0, true, false));
  EXPECT_EQ(fullLinesSinceMark(), (Lines{"I addOrUpdateFirewallRule Removed existing rule: Viewer with direction: 0",
                                         "I addOrUpdateFirewallRule Updated rule: Viewer with new settings"}));
  ASSERT_EQ(stored().size(), 1u);
  EXPECT_FALSE(stored()[0].enabled);

  logcapture::mark();
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 1));
  EXPECT_EQ(fullLinesSinceMark(), (Lines{"I addOrUpdateFirewallRule Added new rule: Viewer"}));
  EXPECT_EQ(checker.getAllRulesByName("viewer").size(), 2);
}

// The new rule is made and set up before the old one goes; an add that fails puts the old rule back.
TEST_F(FirewallCheckerTest, AFailedReplacementKeepsTheOldRule) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  const uint64_t oldId = stored()[0].id;
  emu::injectFailure("CoCreateInstance", kDenied, 2); // the policy is made, the new rule is not
  logcapture::mark();
  EXPECT_FALSE(checker.addOrUpdateFirewallRule("C:/Apps/New.exe", "Viewer", 0, true, true));
  EXPECT_EQ(fullLinesSinceMark(),
            (Lines{"E addOrUpdateFirewallRule Failed to create firewall rule instance, 0x80070005"}));
  ASSERT_EQ(stored().size(), 1u);
  EXPECT_EQ(stored()[0].id, oldId);

  emu::injectFailure("INetFwRules::Add", kDenied, 1); // the new rule's add fails, putting the old one back works
  logcapture::mark();
  EXPECT_FALSE(checker.addOrUpdateFirewallRule("C:/Apps/New.exe", "Viewer", 0, true, true));
  EXPECT_EQ(fullLinesSinceMark(), (Lines{"I addOrUpdateFirewallRule Removed existing rule: Viewer with direction: 0",
                                         "E addOrUpdateFirewallRule Failed to add firewall rule: Viewer, 0x80070005",
                                         "I addOrUpdateFirewallRule Restored the existing firewall rule: Viewer"}));
  ASSERT_EQ(stored().size(), 1u);
  EXPECT_TRUE(checker.checkFirewallRule(kApp, "Viewer", 0));
  EXPECT_FALSE(checker.checkFirewallRule("C:/Apps/New.exe", "Viewer", 0));
}

// A rule that misses any property is not added, and the rule it was to replace stays.
TEST_F(FirewallCheckerTest, AFailedSetterAddsNothingAndKeepsTheOldRule) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  const std::vector<emu::fw::Rule> before = stored();
  for (const char *setter : {"put_Name", "put_Description", "put_ApplicationName", "put_Action", "put_Direction",
                             "put_Enabled", "put_Profiles", "put_InterfaceTypes"}) {
    emu::injectFailure(std::string("INetFwRule::") + setter, kDenied);
    logcapture::mark();
    EXPECT_FALSE(checker.addOrUpdateFirewallRule("C:/Apps/New.exe", "Viewer", 0, false, true)) << setter;
    emu::clearFailures();
    EXPECT_EQ(fullLinesSinceMark(),
              Lines{std::string("E addOrUpdateFirewallRule ") + setter + " failed: Viewer, 0x80070005"});
    const std::vector<emu::fw::Rule> after = stored();
    ASSERT_EQ(after.size(), 1u) << setter;
    EXPECT_EQ(after[0].id, before[0].id) << setter;
    EXPECT_EQ(after[0].applicationName, before[0].applicationName) << setter;
  }
}

TEST_F(FirewallCheckerTest, AFailedGetterNeverMakesARuleMatch) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  ASSERT_TRUE(checker.checkFirewallRule(kApp, "Viewer", 0));
  for (const char *getter : {"INetFwRule::get_Action", "INetFwRule::get_Enabled", "INetFwRule::get_ApplicationName",
                             "INetFwRule::get_Profiles"}) {
    emu::injectFailure(getter, kDenied); // the stand-in still writes a value out-parameter: it must not count
    EXPECT_FALSE(checker.checkFirewallRule(kApp, "Viewer", 0)) << getter;
    emu::clearFailures();
  }
  // An unreadable program is no "every program" either.
  emu::injectFailure("INetFwRule::get_ApplicationName", kDenied);
  EXPECT_FALSE(checker.checkFirewallRule("", "Viewer", 0));
  emu::injectFailure("INetFwRule::get_Profiles", kDenied);
  EXPECT_EQ(checker.getAllRulesByName("Viewer").value(0).profiles, 0);
  emu::clearFailures();
  // An inbound rule whose direction cannot be read is no outbound rule either.
  emu::injectFailure("INetFwRule::get_Direction", kDenied);
  EXPECT_FALSE(checker.checkFirewallRule(kApp, "Viewer", 1));
  EXPECT_FALSE(checker.checkFirewallRule(kApp, "Viewer", 0));
  const QList<FirewallRuleInfo> rules = checker.getAllRulesByName("Viewer");
  ASSERT_EQ(rules.size(), 1);
  EXPECT_FALSE(rules[0].allow);
  EXPECT_EQ(rules[0].direction, 1);
}

TEST_F(FirewallCheckerTest, ElementsThatAreNoRulesAreSkipped) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 1));
  emu::fw::setStrayEnumElements(true);
  EXPECT_EQ(checker.getAllRulesByName("Viewer").size(), 2);
  EXPECT_TRUE(checker.checkFirewallRule(kApp, "Viewer", 1));
}

// A relative program path is stored absolute, and found again by the same relative path.
TEST_F(FirewallCheckerTest, ARelativePathIsStoredAbsoluteAndFoundAgain) {
  const QString apps = QString::fromStdString(testenv::root()) + "/drive_c/Apps";
  ASSERT_TRUE(QDir().mkpath(apps));
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(apps));
  {
    FirewallChecker checker;
    EXPECT_TRUE(checker.addAllowFirewallRule("tools\\viewer.exe", "Viewer", 0));
    EXPECT_TRUE(checker.checkFirewallRule("tools\\viewer.exe", "Viewer", 0));
    EXPECT_TRUE(checker.checkFirewallRule("C:\\Apps\\Tools\\Viewer.exe", "Viewer", 0));
  }
  QDir::setCurrent(before);
  ASSERT_EQ(stored().size(), 1u);
  EXPECT_EQ(stored()[0].applicationName, u"C:\\Apps\\tools\\viewer.exe");
  EXPECT_EQ(stored()[0].description, u"Rule for application: tools\\viewer.exe");
}

// A rule without a program applies to every program: it is the rule for no path, not for the current folder.
TEST_F(FirewallCheckerTest, ARuleWithoutAProgramMatchesOnlyAnEmptyPath) {
  emu::fw::update([](emu::fw::Store &s, bool &changed) -> DWORD {
    emu::fw::Rule r;
    r.id = s.nextId++;
    r.name = u"Viewer";
    r.enabled = true;
    r.profiles = 7;
    s.rules.push_back(r);
    changed = true;
    return 0;
  });
  FirewallChecker checker;
  EXPECT_TRUE(checker.checkFirewallRule("", "Viewer", 0));
  EXPECT_FALSE(checker.checkFirewallRule(".", "Viewer", 0));
  EXPECT_FALSE(checker.checkFirewallRule(QDir::currentPath(), "Viewer", 0));
}

// Changing rules takes administrator rights; the refusal is logged and returned, and no rule changes.
TEST_F(FirewallCheckerTest, AUserWithoutAdministratorRightsChangesNoRule) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  const std::vector<emu::fw::Rule> before = stored();
  for (const emu::Account &user : {testenv::standardUser(), testenv::unelevatedUser()}) {
    testenv::ScopedAccount as(user);
    logcapture::mark();
    EXPECT_FALSE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
    EXPECT_FALSE(checker.addAllowFirewallRule(kApp, "Editor", 0));
    EXPECT_FALSE(checker.removeFirewallRule("Viewer"));
    EXPECT_EQ(fullLinesSinceMark(),
              (Lines{"E addOrUpdateFirewallRule Failed to remove existing firewall rule, 0x80070005",
                     "E addOrUpdateFirewallRule Failed to add firewall rule: Editor, 0x80070005",
                     "I removeFirewallRule Failed to remove firewall rule, Viewer, 0x80070005",
                     "I removeFirewallRule Failed to remove firewall rule, Viewer"}));
    EXPECT_TRUE(checker.checkFirewallRule(kApp, "Viewer", 0)); // reading stays open
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_EQ(stored()[0].id, before[0].id);
  }
}

TEST_F(FirewallCheckerTest, OnlyAnInitialisationOfItsOwnIsBalanced) {
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      FirewallChecker checker; // the thread runs COM in the other model: usable, nothing to balance
      EXPECT_TRUE(checker.initialize());
      EXPECT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
    }
    EXPECT_EQ(emu::com::initDepth(), 1u);
    CoUninitialize();
  }).join();
  EXPECT_EQ(timesLogged("Success initialize COM library"), 2); // RPC_E_CHANGED_MODE leaves the flag clear, so the add initialises again

  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    FirewallChecker checker; // S_FALSE counts: one CoUninitialize owed
    EXPECT_TRUE(checker.initialize());
    EXPECT_TRUE(checker.initialize());
    EXPECT_EQ(emu::com::initDepth(), 2u);
  }
  EXPECT_EQ(emu::com::initDepth(), 1u);
  CoUninitialize();

  emu::injectFailure("CoInitializeEx", static_cast<DWORD>(E_OUTOFMEMORY));
  logcapture::mark();
  FirewallChecker checker;
  EXPECT_TRUE(checker.getAllRulesByName("Viewer").isEmpty());
  EXPECT_FALSE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  EXPECT_FALSE(checker.removeFirewallRule("Viewer"));
  EXPECT_EQ(logcapture::messagesSinceMark(), Lines(3, "Failed to initialize COM library, 0x8007000e"));
}

TEST_F(FirewallCheckerTest, FailuresAreLoggedAndReturnedAtTheirLevels) {
  FirewallChecker checker;
  ASSERT_TRUE(checker.addAllowFirewallRule(kApp, "Viewer", 0));

  emu::injectFailure("CoCreateInstance", kDenied);
  logcapture::mark();
  EXPECT_TRUE(checker.getAllRulesByName("Viewer").isEmpty());
  EXPECT_FALSE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  EXPECT_FALSE(checker.removeFirewallRule("Viewer"));
  EXPECT_EQ(fullLinesSinceMark(),
            (Lines{"E getAllRulesByName Failed to create firewall policy instance, 0x80070005",
                   "E addOrUpdateFirewallRule Failed to create firewall policy instance, 0x80070005",
                   "I removeFirewallRule Failed to create firewall policy instance, 0x80070005"}));
  emu::clearFailures();

  emu::injectFailure("INetFwPolicy2::get_Rules", kDenied);
  logcapture::mark();
  EXPECT_TRUE(checker.getAllRulesByName("Viewer").isEmpty()); // silently
  EXPECT_FALSE(checker.addAllowFirewallRule(kApp, "Viewer", 0));
  EXPECT_FALSE(checker.removeFirewallRule("Viewer"));
  EXPECT_EQ(fullLinesSinceMark(), (Lines{"E addOrUpdateFirewallRule Failed to get firewall rules, 0x80070005",
                                         "I removeFirewallRule Failed to remove firewall rule, Viewer"}));
  emu::clearFailures();

  emu::injectFailure("INetFwRules::Remove", kDenied);
  logcapture::mark();
  EXPECT_FALSE(checker.addOrUpdateFirewallRule(kApp, "Viewer", 0, false, true));
  EXPECT_FALSE(checker.removeFirewallRule("Viewer"));
  EXPECT_EQ(fullLinesSinceMark(),
            (Lines{"E addOrUpdateFirewallRule Failed to remove existing firewall rule, 0x80070005",
                   "I removeFirewallRule Failed to remove firewall rule, Viewer, 0x80070005",
                   "I removeFirewallRule Failed to remove firewall rule, Viewer"}));
  EXPECT_EQ(stored().size(), 1u); // the refused removal left it
  emu::clearFailures();

  EXPECT_TRUE(checker.removeFirewallRule("Viewer"));
  EXPECT_TRUE(stored().empty());
}

} // namespace
