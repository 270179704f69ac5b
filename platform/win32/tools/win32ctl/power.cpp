// Power commands, in the spirit of powercfg.exe: power-list (/list), power-query (/query <scheme> SUB_PROCESSOR),
// power-setactive (/setactive), power-setac (/setacvalueindex), and the display language that PDH names follow.
#include "command.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "emu/emu.h"
#include "emu/power.h"

using namespace emu::power;

namespace {

struct Alias {
  const char *name;
  const GUID *guid;
};
// powercfg's aliases for the usual schemes and the processor settings.
const Alias kSchemeAliases[] = {{"SCHEME_BALANCED", &kBalanced}, {"SCHEME_MIN", &kHighPerformance},
                                {"SCHEME_MAX", &kPowerSaver}};
const Alias kSettingAliases[] = {{"PROCTHROTTLEMIN", &kThrottleMinimum}, {"PROCTHROTTLEMAX", &kThrottleMaximum},
                                 {"PERFINCPOL", &kPerfIncreasePolicy}};

bool sameText(const std::string &a, const char *b) {
  std::string bb(b);
  if (a.size() != bb.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(bb[i]))) return false;
  return true;
}

bool resolve(const std::string &text, const Alias *aliases, size_t count, GUID *out) {
  for (size_t i = 0; i < count; ++i)
    if (sameText(text, aliases[i].name)) {
      *out = *aliases[i].guid;
      return true;
    }
  return parseGuid(text, out);
}

bool resolveScheme(const std::string &text, GUID *out) {
  if (sameText(text, "SCHEME_CURRENT")) {
    *out = load().active;
    return true;
  }
  return resolve(text, kSchemeAliases, std::size(kSchemeAliases), out);
}

const char *settingLabel(const GUID &g) {
  if (sameGuid(g, kThrottleMinimum)) return "Minimum processor state";
  if (sameGuid(g, kThrottleMaximum)) return "Maximum processor state";
  if (sameGuid(g, kPerfIncreasePolicy)) return "Processor performance increase policy";
  return "Setting";
}

int powerList(const win32ctl::Args &args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: win32ctl power-list\n");
    return 2;
  }
  const Machine m = load();
  std::printf("Existing Power Schemes (* Active)\n-----------------------------------\n");
  for (const Scheme &s : m.schemes)
    std::printf("Power Scheme GUID: %s  (%s)%s\n", guidText(s.guid).c_str(), emu::toUtf8(s.name.c_str()).c_str(),
                sameGuid(s.guid, m.active) ? " *" : "");
  return 0;
}

int powerQuery(const win32ctl::Args &args) {
  GUID scheme{};
  if (args.size() > 1 || !resolveScheme(args.empty() ? "SCHEME_CURRENT" : args[0], &scheme)) {
    std::fprintf(stderr, "usage: win32ctl power-query [scheme GUID or alias]\n");
    return 2;
  }
  const Machine m = load();
  const Scheme *s = m.find(scheme);
  if (!s) {
    std::fprintf(stderr, "win32ctl: the power scheme %s does not exist\n", guidText(scheme).c_str());
    return 1;
  }
  std::printf("Power Scheme GUID: %s  (%s)\n", guidText(s->guid).c_str(), emu::toUtf8(s->name.c_str()).c_str());
  std::printf("  Subgroup GUID: %s  (Processor power management)\n", guidText(kProcessorSubgroup).c_str());
  for (const Setting &v : s->settings) {
    std::printf("    Power Setting GUID: %s  (%s)\n", guidText(v.setting).c_str(), settingLabel(v.setting));
    std::printf("      Minimum Possible Setting: 0x%08x\n      Maximum Possible Setting: 0x%08x\n",
                static_cast<unsigned>(v.minimum), static_cast<unsigned>(v.maximum));
    std::printf("    Current AC Power Setting Index: 0x%08x\n    Current DC Power Setting Index: 0x%08x\n",
                static_cast<unsigned>(v.ac), static_cast<unsigned>(v.dc));
  }
  return 0;
}

int powerSetActive(const win32ctl::Args &args) {
  GUID scheme{};
  if (args.size() != 1 || !resolveScheme(args[0], &scheme)) {
    std::fprintf(stderr, "usage: win32ctl power-setactive <scheme GUID or alias>\n");
    return 2;
  }
  const DWORD rc = update([&](Machine &m, bool &changed) -> DWORD {
    if (!m.find(scheme)) return ERROR_FILE_NOT_FOUND;
    m.active = scheme;
    ++m.applied;
    changed = true;
    return ERROR_SUCCESS;
  });
  if (rc) std::fprintf(stderr, "win32ctl: the power scheme %s does not exist\n", args[0].c_str());
  return rc ? 1 : 0;
}

int powerSetAc(const win32ctl::Args &args) {
  GUID scheme{}, setting{};
  char *end = nullptr;
  const unsigned long value = args.size() == 3 ? std::strtoul(args[2].c_str(), &end, 0) : 0;
  if (args.size() != 3 || !resolveScheme(args[0], &scheme) ||
      !resolve(args[1], kSettingAliases, std::size(kSettingAliases), &setting) || !end || *end || value > 0xFFFFFFFFul) {
    std::fprintf(stderr, "usage: win32ctl power-setac <scheme> <PROCTHROTTLEMIN|PROCTHROTTLEMAX|PERFINCPOL|GUID> "
                         "<value>\n");
    return 2;
  }
  const DWORD rc = update([&](Machine &m, bool &changed) -> DWORD {
    Scheme *s = m.find(scheme);
    Setting *v = s ? s->find(kProcessorSubgroup, setting) : nullptr;
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (value < v->minimum || value > v->maximum) return ERROR_INVALID_PARAMETER;
    v->ac = static_cast<DWORD>(value);
    changed = true;
    return ERROR_SUCCESS;
  });
  if (rc == ERROR_INVALID_PARAMETER)
    std::fprintf(stderr, "win32ctl: %lu is outside the setting's range\n", value);
  else if (rc)
    std::fprintf(stderr, "win32ctl: no such scheme or setting\n");
  return rc ? 1 : 0;
}

int displayLanguage(const win32ctl::Args &args) {
  if (args.size() > 1) {
    std::fprintf(stderr, "usage: win32ctl display-language [tag, e.g. en-US or de-DE]\n");
    return 2;
  }
  if (args.empty()) {
    std::printf("%s\n", load().displayLanguage.c_str());
    return 0;
  }
  update([&](Machine &m, bool &changed) -> DWORD {
    changed = m.displayLanguage != args[0];
    m.displayLanguage = args[0];
    return ERROR_SUCCESS;
  });
  return 0;
}

win32ctl::Command list("power-list", "power-list  the power schemes, * marks the active one (powercfg /list)",
                       &powerList);
win32ctl::Command query("power-query", "power-query [scheme]  the scheme's processor settings (powercfg /query)",
                        &powerQuery);
win32ctl::Command setActive("power-setactive", "power-setactive <scheme>  make a scheme active (powercfg /setactive)",
                            &powerSetActive);
win32ctl::Command setAc("power-setac",
                        "power-setac <scheme> <setting> <value>  set an AC value (powercfg /setacvalueindex)",
                        &powerSetAc);
win32ctl::Command language("display-language",
                           "display-language [tag]  show or set the display language that counter names follow",
                           &displayLanguage);

} // namespace
