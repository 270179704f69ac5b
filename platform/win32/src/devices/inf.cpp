// INF files of the driver store: [Version], [Manufacturer] and the models sections with descriptions and hardware
// ids, %string% substitution from [Strings]. Publishing copies a package to C:\Windows\INF as oemN.inf.
#include "devices/store.h"

#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

#include "emu/devices.h"
#include "emu/emu.h"

namespace emu::dev {

namespace {

using Section = std::vector<std::pair<std::string, std::string>>; // key (may be empty), value

std::string trim(const std::string &t) {
  size_t b = t.find_first_not_of(" \t\r\n"), e = t.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
}

std::string lower(std::string t) {
  for (char &c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return t;
}

// Drops a comment that starts outside quotes.
std::string uncomment(const std::string &line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ';' && !quoted) return line.substr(0, i);
  }
  return line;
}

std::string unquote(const std::string &t) {
  std::string v = trim(t);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

std::map<std::string, Section> sections(const std::string &text) {
  std::map<std::string, Section> out;
  std::istringstream in(text);
  std::string line, current;
  bool inSection = false;
  while (std::getline(in, line)) {
    line = trim(uncomment(line));
    if (line.empty()) continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      current = lower(trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
      inSection = true;
      out[current];
      continue;
    }
    if (!inSection) continue;
    size_t eq = std::string::npos;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == '=' && !quoted) {
        eq = i;
        break;
      }
    }
    if (eq == std::string::npos) out[current].push_back({"", trim(line)});
    else out[current].push_back({trim(line.substr(0, eq)), trim(line.substr(eq + 1))});
  }
  return out;
}

std::string substitute(const std::string &t, const std::map<std::string, Section> &secs) {
  std::string v = unquote(t);
  if (v.size() >= 2 && v.front() == '%' && v.back() == '%') {
    auto it = secs.find("strings");
    if (it != secs.end())
      for (const auto &kv : it->second)
        if (sameText(kv.first, v.substr(1, v.size() - 2))) return unquote(kv.second);
  }
  return v;
}

std::vector<std::string> splitCommas(const std::string &t) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : t) {
    if (c == ',') out.push_back(trim(cur)), cur.clear();
    else cur += c;
  }
  out.push_back(trim(cur));
  return out;
}

struct KnownClass {
  const char *name;
  const GUID *guid;
};
const KnownClass kClasses[] = {{"USB", &GUID_DEVCLASS_USB},       {"USBDevice", &GUID_DEVCLASS_USBDEVICE},
                               {"WPD", &GUID_DEVCLASS_WPD},       {"Ports", &GUID_DEVCLASS_PORTS},
                               {"Modem", &GUID_DEVCLASS_MODEM},   {"System", &GUID_DEVCLASS_SYSTEM},
                               {"Net", &GUID_DEVCLASS_NET},       {"DiskDrive", &GUID_DEVCLASS_DISKDRIVE},
                               {"HIDClass", &GUID_DEVCLASS_HIDCLASS}};

} // namespace

bool parseInf(const std::string &text, Package *out) {
  auto secs = sections(text);
  auto version = secs.find("version");
  if (version == secs.end()) return false;
  Package p;
  bool haveGuid = false;
  for (const auto &kv : version->second) {
    std::string k = lower(kv.first);
    if (k == "class") p.className = substitute(kv.second, secs);
    else if (k == "classguid") haveGuid = parseGuid(substitute(kv.second, secs), &p.classGuid);
    else if (k == "provider") p.provider = substitute(kv.second, secs);
    else if (k == "driverver") {
      std::vector<std::string> parts = splitCommas(kv.second);
      p.date = parts[0];
      if (parts.size() > 1) p.version = parts[1];
    }
  }
  if (!haveGuid)
    for (const KnownClass &kc : kClasses)
      if (!p.className.empty() && sameText(kc.name, p.className)) p.classGuid = *kc.guid, haveGuid = true;
  if (!haveGuid && p.className.empty()) return false;

  auto mfgs = secs.find("manufacturer");
  if (mfgs != secs.end())
    for (const auto &kv : mfgs->second) {
      std::string manufacturer = kv.first.empty() ? std::string() : substitute(kv.first, secs);
      std::vector<std::string> parts = splitCommas(kv.second);
      std::string base = lower(parts[0]), name = base;
      // A decorated section for this architecture wins over the plain one.
      for (size_t i = 1; i < parts.size(); ++i)
        if (lower(parts[i]).rfind("ntamd64", 0) == 0 && secs.count(base + "." + lower(parts[i])))
          name = base + "." + lower(parts[i]);
      auto models = secs.find(name);
      if (models == secs.end()) continue;
      for (const auto &m : models->second) {
        std::vector<std::string> fields = splitCommas(m.second);
        Model model;
        model.description = substitute(m.first, secs);
        model.manufacturer = manufacturer.empty() ? parts[0] : manufacturer;
        model.section = fields[0];
        for (size_t i = 1; i < fields.size(); ++i)
          if (!fields[i].empty()) model.hardwareIds.push_back(fields[i]);
        p.models.push_back(model);
      }
    }
  p.infText = text;
  *out = std::move(p);
  return true;
}

DWORD publishInf(Tree &t, const std::string &path, std::string *published, bool *existed) {
  std::string host = hostPath(path);
  std::ifstream in(host, std::ios::binary);
  if (!in) return ERROR_FILE_NOT_FOUND;
  std::stringstream ss;
  ss << in.rdbuf();
  Package p;
  if (!parseInf(ss.str(), &p)) return ERROR_GENERAL_SYNTAX;
  if (existed) *existed = false;
  for (const Package &have : t.packages)
    if (have.infText == p.infText) {
      *published = have.published;
      if (existed) *existed = true;
      return 0;
    }
  for (unsigned n = 0;; ++n) {
    std::string name = "oem" + std::to_string(n) + ".inf";
    if (!t.package(name)) {
      p.published = name;
      break;
    }
  }
  size_t slash = host.find_last_of('/');
  p.original = slash == std::string::npos ? host : host.substr(slash + 1);
  // Windows keeps the published copy in %windir%\INF.
  std::string folder = hostPath(std::string("C:\\Windows\\INF"));
  for (size_t i = 1; i <= folder.size(); ++i)
    if (i == folder.size() || folder[i] == '/') mkdir(folder.substr(0, i).c_str(), 0777);
  std::ofstream(folder + "/" + p.published, std::ios::binary) << p.infText;
  *published = p.published;
  t.packages.push_back(std::move(p));
  return 0;
}

} // namespace emu::dev
