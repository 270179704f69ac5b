// The firewall's rules in <root>/firewall/rules: one block of "key=value" lines per rule, values percent-encoded,
// replaced whole under the area's lock (core/statefile), so every process of the machine sees one list.
#include "emu/com.h"

#include <windows.h>

#include "core/statefile.h"
#include "emu/emu.h"

#include <QChar>
#include <QString>
#include <QStringList>

#include <cstdlib>
#include <mutex>

namespace emu::fw {

namespace {

const char kFile[] = "firewall/rules";
const char kMagic[] = "BVFW 1";

std::string escape(const std::string &s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == '%' || c == 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string unescape(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The fields in file order; one table serves writing and reading.
struct Field {
  const char *key;
  std::u16string Rule::*text;
  long Rule::*number;
  bool Rule::*flag;
};
const Field kFields[] = {
    {"name", &Rule::name, nullptr, nullptr},
    {"description", &Rule::description, nullptr, nullptr},
    {"application", &Rule::applicationName, nullptr, nullptr},
    {"service", &Rule::serviceName, nullptr, nullptr},
    {"protocol", nullptr, &Rule::protocol, nullptr},
    {"localports", &Rule::localPorts, nullptr, nullptr},
    {"remoteports", &Rule::remotePorts, nullptr, nullptr},
    {"localaddresses", &Rule::localAddresses, nullptr, nullptr},
    {"remoteaddresses", &Rule::remoteAddresses, nullptr, nullptr},
    {"icmp", &Rule::icmpTypesAndCodes, nullptr, nullptr},
    {"direction", nullptr, &Rule::direction, nullptr},
    {"interfacetypes", &Rule::interfaceTypes, nullptr, nullptr},
    {"enabled", nullptr, nullptr, &Rule::enabled},
    {"grouping", &Rule::grouping, nullptr, nullptr},
    {"profiles", nullptr, &Rule::profiles, nullptr},
    {"edgetraversal", nullptr, nullptr, &Rule::edgeTraversal},
    {"action", nullptr, &Rule::action, nullptr},
};

std::string serialize(const Store &s) {
  std::string out = std::string(kMagic) + " " + std::to_string(s.nextId) + "\n";
  for (const Rule &r : s.rules) {
    out += "rule " + std::to_string(r.id) + "\n";
    for (const Field &f : kFields) {
      out += f.key;
      out += '=';
      if (f.text) out += escape(utf8(r.*f.text));
      if (f.number) out += std::to_string(r.*f.number);
      if (f.flag) out += r.*f.flag ? "1" : "0";
      out += '\n';
    }
  }
  return out;
}

// A damaged line loses that line only; a file without the magic line is an empty firewall.
Store parse(const std::string &text) {
  Store s;
  if (text.compare(0, sizeof kMagic - 1, kMagic) != 0) return s;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      first = false;
      s.nextId = std::strtoull(line.c_str() + sizeof kMagic - 1, nullptr, 10);
      continue;
    }
    if (line.compare(0, 5, "rule ") == 0) {
      s.rules.emplace_back();
      s.rules.back().id = std::strtoull(line.c_str() + 5, nullptr, 10);
      continue;
    }
    const size_t eq = line.find('=');
    if (s.rules.empty() || eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    Rule &r = s.rules.back();
    for (const Field &f : kFields) {
      if (key != f.key) continue;
      if (f.text) r.*f.text = utf16(unescape(value));
      if (f.number) r.*f.number = std::strtol(value.c_str(), nullptr, 10);
      if (f.flag) r.*f.flag = value == "1";
    }
  }
  for (const Rule &r : s.rules)
    if (r.id >= s.nextId) s.nextId = r.id + 1;
  return s;
}

bool oneOf(const QString &item, std::initializer_list<const char *> names) {
  for (const char *n : names)
    if (item.compare(QLatin1String(n), Qt::CaseInsensitive) == 0) return true;
  return false;
}

} // namespace

std::string utf8(const std::u16string &s) { return QString::fromStdU16String(s).toStdString(); }
std::u16string utf16(const std::string &s) { return QString::fromStdString(s).toStdU16String(); }

// Bound rule objects read the store at every get: the last parse is kept and reused while the bytes are the same.
Store load() {
  static std::mutex mutex;
  static std::string lastBytes;
  static Store last;
  std::string bytes;
  if (!readStateFile(kFile, &bytes)) return Store{};
  std::lock_guard<std::mutex> lock(mutex);
  if (bytes != lastBytes) {
    last = parse(bytes);
    lastBytes.swap(bytes);
  }
  return last;
}

DWORD update(const std::function<DWORD(Store &, bool &changed)> &change) {
  return updateStateFile(kFile, [&](std::string &bytes, bool exists, bool &changed) -> DWORD {
    Store s = exists ? parse(bytes) : Store{};
    DWORD rc = change(s, changed);
    if (rc == 0 && changed) bytes = serialize(s);
    return rc;
  });
}

DWORD checkRule(const Rule &r) {
  const DWORD bad = static_cast<DWORD>(E_INVALIDARG);
  const QString name = QString::fromStdU16String(r.name);
  // A name is required, may not hold '|' and may not be "all" (that word selects every rule in netsh).
  if (name.isEmpty() || name.contains(u'|') || name.compare(u"all", Qt::CaseInsensitive) == 0) return bad;
  if (r.description.find(u'|') != std::u16string::npos) return bad;
  if (r.protocol < 0 || r.protocol > 256) return bad;
  // Ports only make sense for TCP and UDP: the protocol must be set first.
  const bool ported = r.protocol == 6 || r.protocol == 17;
  if (!ported && (!r.localPorts.empty() || !r.remotePorts.empty())) return bad;
  if (r.direction != 1 && r.direction != 2) return bad;
  if (r.action != 0 && r.action != 1) return bad;
  if (r.profiles != 0x7FFFFFFF && (r.profiles <= 0 || (r.profiles & ~7L) != 0)) return bad;
  const QStringList types = QString::fromStdU16String(r.interfaceTypes).split(u',');
  for (const QString &t : types) {
    const QString item = t.trimmed();
    if (!oneOf(item, {"RemoteAccess", "Wireless", "Lan", "All"})) return bad;
    if (types.size() > 1 && oneOf(item, {"All"})) return bad; // "All" stands alone
  }
  return 0;
}

} // namespace emu::fw
