// Firewall commands, in the manner of "netsh advfirewall firewall show rule / add rule / delete rule":
// key=value arguments, the rules of the machine's store, "Ok." on success.
#include "command.h"

#include <windows.h>

#include "emu/com.h"

#include <QString>
#include <QStringList>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

using win32ctl::Args;
namespace fw = emu::fw;

bool same(const std::string &a, const char *b) { return QString::fromStdString(a).compare(b, Qt::CaseInsensitive) == 0; }
bool same(const std::u16string &a, const std::string &b) {
  return QString::fromStdU16String(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// key=value pairs, keys without regard to case; false (with a message) for anything else or an unknown key.
bool parse(const Args &args, std::initializer_list<const char *> known, std::map<std::string, std::string> &out) {
  for (const std::string &a : args) {
    const size_t eq = a.find('=');
    std::string key = eq == std::string::npos ? a : a.substr(0, eq);
    for (char &c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool ok = eq != std::string::npos;
    bool isKnown = false;
    for (const char *k : known) isKnown = isKnown || key == k;
    if (!ok || !isKnown) {
      std::fprintf(stderr, "win32ctl: '%s' is not a valid argument here\n", a.c_str());
      return false;
    }
    out[key] = a.substr(eq + 1);
  }
  return true;
}

std::string profilesText(long p) {
  if (p == 0x7FFFFFFF || p == 7) return "Domain,Private,Public";
  std::string out;
  if (p & 1) out += "Domain,";
  if (p & 2) out += "Private,";
  if (p & 4) out += "Public,";
  if (!out.empty()) out.pop_back();
  return out;
}

std::string protocolText(long p) {
  if (p == 256) return "Any";
  if (p == 6) return "TCP";
  if (p == 17) return "UDP";
  return std::to_string(p);
}

std::string orAny(const std::u16string &s) { return s.empty() || s == u"*" ? "Any" : fw::utf8(s); }

void show(const fw::Rule &r) {
  auto line = [](const char *label, const std::string &value) { std::printf("%-38s%s\n", label, value.c_str()); };
  line("Rule Name:", fw::utf8(r.name));
  std::printf("----------------------------------------------------------------------\n");
  line("Enabled:", r.enabled ? "Yes" : "No");
  line("Direction:", r.direction == 1 ? "In" : "Out");
  line("Profiles:", profilesText(r.profiles));
  line("Grouping:", fw::utf8(r.grouping));
  line("LocalIP:", orAny(r.localAddresses));
  line("RemoteIP:", orAny(r.remoteAddresses));
  line("Protocol:", protocolText(r.protocol));
  if (r.protocol == 6 || r.protocol == 17) {
    line("LocalPort:", orAny(r.localPorts));
    line("RemotePort:", orAny(r.remotePorts));
  }
  line("Edge traversal:", r.edgeTraversal ? "Yes" : "No");
  if (!r.applicationName.empty()) line("Program:", fw::utf8(r.applicationName));
  line("InterfaceTypes:", r.interfaceTypes == u"All" ? "Any" : fw::utf8(r.interfaceTypes));
  line("Action:", r.action == 1 ? "Allow" : "Block");
  std::printf("\n");
}

bool direction(const std::string &text, long &out) {
  if (same(text, "in")) out = 1;
  else if (same(text, "out")) out = 2;
  else return false;
  return true;
}

// "name=all" selects every rule; dir= and program= narrow the choice.
bool selected(const fw::Rule &r, const std::map<std::string, std::string> &opt) {
  const std::string &name = opt.at("name");
  if (!same(name, "all") && !same(r.name, name)) return false;
  long dir = 0;
  if (opt.count("dir") && direction(opt.at("dir"), dir) && r.direction != dir) return false;
  if (opt.count("program") && !same(r.applicationName, opt.at("program"))) return false;
  return true;
}

int firewallList(const Args &args) {
  std::map<std::string, std::string> opt{{"name", "all"}};
  if (!parse(args, {"name", "dir", "program"}, opt)) return 2;
  int shown = 0;
  for (const fw::Rule &r : fw::load().rules) {
    if (!selected(r, opt)) continue;
    show(r);
    ++shown;
  }
  if (shown == 0) {
    std::printf("No rules match the specified criteria.\n");
    return 1;
  }
  std::printf("Ok.\n");
  return 0;
}

int firewallAdd(const Args &args) {
  std::map<std::string, std::string> opt;
  if (!parse(args,
             {"name", "dir", "action", "program", "enable", "profile", "protocol", "localport", "remoteport", "localip",
              "remoteip", "description", "interfacetype"},
             opt))
    return 2;
  fw::Rule r;
  r.enabled = true; // netsh's default, unlike a new rule object's
  bool ok = opt.count("name") && opt.count("dir") && opt.count("action") && direction(opt["dir"], r.direction);
  if (ok) {
    r.name = fw::utf16(opt["name"]);
    r.action = same(opt["action"], "allow") ? 1 : same(opt["action"], "block") ? 0 : -1;
  }
  auto text = [&](const char *key, std::u16string &field) {
    if (opt.count(key)) field = same(opt[key], "any") ? std::u16string(u"*") : fw::utf16(opt[key]);
  };
  if (opt.count("program")) r.applicationName = fw::utf16(opt["program"]);
  if (opt.count("description")) r.description = fw::utf16(opt["description"]);
  if (opt.count("enable")) r.enabled = same(opt["enable"], "yes");
  if (opt.count("protocol")) {
    const std::string &p = opt["protocol"];
    r.protocol = same(p, "any") ? 256 : same(p, "tcp") ? 6 : same(p, "udp") ? 17 : std::strtol(p.c_str(), nullptr, 10);
  }
  text("localip", r.localAddresses);
  text("remoteip", r.remoteAddresses);
  text("localport", r.localPorts);
  text("remoteport", r.remotePorts);
  if (r.localPorts == u"*") r.localPorts.clear();
  if (r.remotePorts == u"*") r.remotePorts.clear();
  if (opt.count("profile") && !same(opt["profile"], "any")) {
    r.profiles = 0;
    for (const QString &p : QString::fromStdString(opt["profile"]).split(u',')) {
      const std::string item = p.trimmed().toStdString();
      r.profiles |= same(item, "domain") ? 1 : same(item, "private") ? 2 : same(item, "public") ? 4 : 0x100;
    }
  }
  if (opt.count("interfacetype")) {
    const std::string &t = opt["interfacetype"];
    r.interfaceTypes = same(t, "any") ? u"All" : same(t, "ras") ? u"RemoteAccess" : fw::utf16(t);
  }
  if (!ok || fw::checkRule(r) != 0) {
    std::fprintf(stderr, "usage: win32ctl firewall-add name=<rule> dir=in|out action=allow|block [program=<path>] "
                         "[enable=yes|no] [profile=any|domain,private,public] [protocol=any|tcp|udp|<n>] "
                         "[localport=..] [remoteport=..] [localip=..] [remoteip=..] [description=..] "
                         "[interfacetype=any|lan|wireless|ras]\n");
    return 2;
  }
  DWORD rc = fw::update([&](fw::Store &s, bool &changed) -> DWORD {
    r.id = s.nextId++;
    s.rules.push_back(r);
    changed = true;
    return 0;
  });
  if (rc != 0) {
    std::fprintf(stderr, "win32ctl: the rule could not be stored (%u)\n", static_cast<unsigned>(rc));
    return 1;
  }
  std::printf("Ok.\n");
  return 0;
}

int firewallDelete(const Args &args) {
  std::map<std::string, std::string> opt;
  if (!parse(args, {"name", "dir", "program"}, opt) || !opt.count("name")) {
    std::fprintf(stderr, "usage: win32ctl firewall-delete name=<rule>|all [dir=in|out] [program=<path>]\n");
    return 2;
  }
  size_t deleted = 0;
  DWORD rc = fw::update([&](fw::Store &s, bool &changed) -> DWORD {
    const size_t before = s.rules.size();
    std::vector<fw::Rule> kept;
    for (fw::Rule &r : s.rules)
      if (!selected(r, opt)) kept.push_back(std::move(r));
    s.rules = std::move(kept);
    deleted = before - s.rules.size();
    changed = deleted > 0;
    return 0;
  });
  if (rc != 0) {
    std::fprintf(stderr, "win32ctl: the rules could not be stored (%u)\n", static_cast<unsigned>(rc));
    return 1;
  }
  if (deleted == 0) {
    std::printf("No rules match the specified criteria.\n");
    return 1;
  }
  std::printf("\nDeleted %zu rule(s).\nOk.\n", deleted);
  return 0;
}

win32ctl::Command list("firewall-list", "firewall-list [name=<rule>|all] [dir=in|out] [program=<path>]  show rules",
                       &firewallList);
win32ctl::Command add("firewall-add",
                      "firewall-add name=<rule> dir=in|out action=allow|block [program=..] [enable=yes|no] ...  add a "
                      "rule",
                      &firewallAdd);
win32ctl::Command del("firewall-delete", "firewall-delete name=<rule>|all [dir=in|out] [program=..]  delete rules",
                      &firewallDelete);

} // namespace
