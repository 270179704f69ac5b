// Power schemes of the machine: <root>/power/schemes.json, replaced whole under the area's writer lock.
#include "emu/power.h"

#include "core/statefile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstring>

namespace emu::power {

const GUID kProcessorSubgroup = {0x54533251, 0x82be, 0x4824, {0x96, 0xc1, 0x47, 0xb6, 0x0b, 0x74, 0x0d, 0x00}};
const GUID kThrottleMinimum = {0x893dee8e, 0x2bef, 0x41e0, {0x89, 0xc6, 0xb5, 0x5d, 0x09, 0x29, 0x96, 0x4c}};
const GUID kThrottleMaximum = {0xbc5038f7, 0x23e0, 0x4960, {0x96, 0xda, 0x33, 0xab, 0xaf, 0x59, 0x35, 0xec}};
const GUID kPerfIncreasePolicy = {0x465e1f50, 0xb610, 0x473a, {0xab, 0x58, 0x00, 0xd1, 0x07, 0x7d, 0xc4, 0x18}};
const GUID kBalanced = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
const GUID kHighPerformance = {0x8c5e7fda, 0xe8bf, 0x4a96, {0x9a, 0x85, 0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}};
const GUID kPowerSaver = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};

namespace {

const char kFile[] = "power/schemes.json";

Scheme usualScheme(const GUID &guid, const char16_t *name, DWORD minState, DWORD maxState, DWORD maxOnBattery,
                   DWORD policy) {
  Scheme s{guid, name, {}};
  s.settings.push_back({kProcessorSubgroup, kThrottleMinimum, minState, minState, 0, 100});
  s.settings.push_back({kProcessorSubgroup, kThrottleMaximum, maxState, maxOnBattery, 0, 100});
  s.settings.push_back({kProcessorSubgroup, kPerfIncreasePolicy, policy, policy, 0, 3});
  return s;
}

Machine newMachine() {
  Machine m;
  m.schemes.push_back(usualScheme(kBalanced, u"Balanced", 5, 100, 100, 0));
  m.schemes.push_back(usualScheme(kHighPerformance, u"High performance", 100, 100, 100, 0));
  m.schemes.push_back(usualScheme(kPowerSaver, u"Power saver", 5, 100, 70, 0));
  m.active = kBalanced;
  return m;
}

QString qtext(const std::u16string &s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }
std::u16string utext(const QString &s) { return std::u16string(reinterpret_cast<const char16_t *>(s.utf16()), s.size()); }
QString qguid(const GUID &g) { return QString::fromStdString(guidText(g)); }
GUID guidOf(const QJsonValue &v) {
  GUID g{};
  parseGuid(v.toString().toStdString(), &g);
  return g;
}

std::string serialize(const Machine &m) {
  QJsonArray schemes;
  for (const Scheme &s : m.schemes) {
    QJsonArray settings;
    for (const Setting &v : s.settings)
      settings.append(QJsonObject{{"subgroup", qguid(v.subgroup)}, {"setting", qguid(v.setting)},
                                  {"ac", static_cast<double>(v.ac)}, {"dc", static_cast<double>(v.dc)},
                                  {"min", static_cast<double>(v.minimum)}, {"max", static_cast<double>(v.maximum)}});
    QJsonObject scheme{{"guid", qguid(s.guid)}, {"name", qtext(s.name)}, {"settings", settings}};
    if (!s.nameTerminated) scheme["nameTerminated"] = false;
    schemes.append(scheme);
  }
  QJsonObject top{{"active", qguid(m.active)}, {"applied", static_cast<double>(m.applied)},
                  {"displayLanguage", QString::fromStdString(m.displayLanguage)}, {"schemes", schemes}};
  return QJsonDocument(top).toJson().toStdString();
}

DWORD dword(const QJsonValue &v) { return static_cast<DWORD>(v.toDouble()); }

Machine parse(const std::string &bytes) {
  const QJsonObject top = QJsonDocument::fromJson(QByteArray::fromStdString(bytes)).object();
  if (top.isEmpty()) return newMachine(); // unreadable: the machine's defaults rather than no schemes at all
  Machine m;
  m.active = guidOf(top["active"]);
  m.applied = dword(top["applied"]);
  m.displayLanguage = top["displayLanguage"].toString("en-US").toStdString();
  for (const QJsonValue &sv : top["schemes"].toArray()) {
    const QJsonObject so = sv.toObject();
    Scheme s{guidOf(so["guid"]), utext(so["name"].toString()), {}};
    s.nameTerminated = so["nameTerminated"].toBool(true);
    for (const QJsonValue &vv : so["settings"].toArray()) {
      const QJsonObject vo = vv.toObject();
      s.settings.push_back({guidOf(vo["subgroup"]), guidOf(vo["setting"]), dword(vo["ac"]), dword(vo["dc"]),
                            dword(vo["min"]), dword(vo["max"])});
    }
    m.schemes.push_back(std::move(s));
  }
  return m;
}

} // namespace

Setting *Scheme::find(const GUID &subgroup, const GUID &setting) {
  for (Setting &s : settings)
    if (sameGuid(s.subgroup, subgroup) && sameGuid(s.setting, setting)) return &s;
  return nullptr;
}

Scheme *Machine::find(const GUID &scheme) {
  for (Scheme &s : schemes)
    if (sameGuid(s.guid, scheme)) return &s;
  return nullptr;
}

const Scheme *Machine::find(const GUID &scheme) const { return const_cast<Machine *>(this)->find(scheme); }

Machine load() {
  std::string bytes;
  return readStateFile(kFile, &bytes) ? parse(bytes) : newMachine();
}

DWORD update(const std::function<DWORD(Machine &, bool &)> &change) {
  return updateStateFile(kFile, [&](std::string &bytes, bool exists, bool &changed) -> DWORD {
    Machine m = exists ? parse(bytes) : newMachine();
    DWORD rc = change(m, changed);
    if (rc == 0 && changed) bytes = serialize(m);
    return rc;
  });
}

std::string guidText(const GUID &g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buf;
}

bool parseGuid(const std::string &text, GUID *out) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36) return false;
  unsigned d1, d2, d3, b[8];
  int used = 0;
  if (std::sscanf(t.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
                  &b[5], &b[6], &b[7], &used) != 11 || used != 36)
    return false;
  for (char c : t)
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '-') return false;
  out->Data1 = d1;
  out->Data2 = static_cast<WORD>(d2);
  out->Data3 = static_cast<WORD>(d3);
  for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<BYTE>(b[i]);
  return true;
}

bool sameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

} // namespace emu::power
