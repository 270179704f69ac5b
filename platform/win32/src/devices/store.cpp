// The device tree's state file, its description format (JSON through Qt), synthesised properties and the registry
// Class keys that mirror each node's driver.
#include "devices/store.h"

#include <devpkey.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <mutex>

#include "core/statefile.h"
#include "emu/devices.h"
#include "emu/emu.h"
#include "emu/registry.h"

namespace emu::dev {

const char *const kRootId = "HTREE\\ROOT\\0";

namespace {

const char *const kStateFile = "devices/tree.json";
const char *const kClassRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

QString q(const std::string &s) { return QString::fromStdString(s); }
std::string s(const QJsonValue &v) { return v.toString().toStdString(); }

// The description's names for the usual properties.
struct Named {
  const char *name;
  const DEVPROPKEY *key;
  DEVPROPTYPE type;
};
const Named kNamed[] = {
    {"description", &DEVPKEY_Device_DeviceDesc, DEVPROP_TYPE_STRING},
    {"friendlyName", &DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING},
    {"manufacturer", &DEVPKEY_Device_Manufacturer, DEVPROP_TYPE_STRING},
    {"service", &DEVPKEY_Device_Service, DEVPROP_TYPE_STRING},
    {"class", &DEVPKEY_Device_Class, DEVPROP_TYPE_STRING},
    {"classGuid", &DEVPKEY_Device_ClassGuid, DEVPROP_TYPE_GUID},
    {"hardwareIds", &DEVPKEY_Device_HardwareIds, DEVPROP_TYPE_STRING_LIST},
    {"compatibleIds", &DEVPKEY_Device_CompatibleIds, DEVPROP_TYPE_STRING_LIST},
    {"locationInfo", &DEVPKEY_Device_LocationInfo, DEVPROP_TYPE_STRING},
    {"locationPaths", &DEVPKEY_Device_LocationPaths, DEVPROP_TYPE_STRING_LIST},
    {"busNumber", &DEVPKEY_Device_BusNumber, DEVPROP_TYPE_UINT32},
    {"address", &DEVPKEY_Device_Address, DEVPROP_TYPE_UINT32},
    {"containerId", &DEVPKEY_Device_ContainerId, DEVPROP_TYPE_GUID},
    {"busReportedDescription", &DEVPKEY_Device_BusReportedDeviceDesc, DEVPROP_TYPE_STRING},
};

const Named *namedFor(const DEVPROPKEY &key, DEVPROPTYPE type) {
  for (const Named &n : kNamed)
    if (sameKey(*n.key, key) && n.type == type) return &n;
  return nullptr;
}

std::string hexBytes(const std::string &data) {
  std::string out;
  char buf[3];
  for (unsigned char c : data) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

bool unhex(const std::string &text, std::string *out) {
  out->clear();
  std::string digits;
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    char *end = nullptr;
    std::string pair = digits.substr(i, 2);
    long v = std::strtol(pair.c_str(), &end, 16);
    if (*end) return false;
    out->push_back(static_cast<char>(v));
  }
  return true;
}

std::string u32Bytes(DWORD v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
std::string guidBytes(const GUID &g) { return std::string(reinterpret_cast<const char *>(&g), sizeof g); }

bool parseKeyText(const std::string &text, DEVPROPKEY *key) {
  // "{fmtid} pid" as Windows writes property keys.
  size_t space = text.find(' ');
  if (space == std::string::npos) return false;
  char *end = nullptr;
  unsigned long pid = std::strtoul(text.c_str() + space + 1, &end, 10);
  return *end == 0 && parseGuid(text.substr(0, space), &key->fmtid) && (key->pid = static_cast<DEVPROPID>(pid), true);
}

// One stored property from the description's generic form {"key": "{fmtid} pid", "type": ..., "value": ...}.
bool parseProperty(const QJsonObject &o, Property *p, std::string *error) {
  if (!parseKeyText(s(o["key"]), &p->key)) return *error = "bad property key " + s(o["key"]), false;
  std::string type = s(o["type"]);
  QJsonValue v = o["value"];
  if (type == "string") p->type = DEVPROP_TYPE_STRING, p->data = utf16Bytes(s(v));
  else if (type == "strings") {
    std::vector<std::string> items;
    for (const QJsonValue &e : v.toArray()) items.push_back(s(e));
    p->type = DEVPROP_TYPE_STRING_LIST, p->data = multiSzBytes(items);
  } else if (type == "uint32") p->type = DEVPROP_TYPE_UINT32, p->data = u32Bytes(static_cast<DWORD>(v.toDouble()));
  else if (type == "boolean") p->type = DEVPROP_TYPE_BOOLEAN, p->data = std::string(1, v.toBool() ? '\xff' : '\0');
  else if (type == "guid") {
    GUID g{};
    if (!parseGuid(s(v), &g)) return *error = "bad guid " + s(v), false;
    p->type = DEVPROP_TYPE_GUID, p->data = guidBytes(g);
  } else if (type == "binary" || type.rfind("raw:", 0) == 0) {
    // "raw:<type number>" keeps any type with bytes as given (odd values for tests).
    p->type = type == "binary" ? DEVPROP_TYPE_BINARY : static_cast<DEVPROPTYPE>(std::strtoul(type.c_str() + 4, nullptr, 0));
    if (!unhex(s(v), &p->data)) return *error = "bad hex bytes in property " + s(o["key"]), false;
  } else {
    return *error = "unknown property type " + type, false;
  }
  return true;
}

QJsonObject propertyJson(const Property &p) {
  QJsonObject o;
  o["key"] = q(guidText(p.key.fmtid) + " " + std::to_string(p.key.pid));
  switch (p.type) {
  case DEVPROP_TYPE_STRING:
    if (p.data.size() % 2 == 0 && p.data.size() >= 2 && p.data.compare(p.data.size() - 2, 2, std::string(2, '\0')) == 0 &&
        utf16Bytes(bytesToUtf8(p.data)) == p.data) {
      o["type"] = "string", o["value"] = q(bytesToUtf8(p.data));
      return o;
    }
    break;
  case DEVPROP_TYPE_UINT32:
    if (p.data.size() == 4) {
      DWORD v;
      std::memcpy(&v, p.data.data(), 4);
      o["type"] = "uint32", o["value"] = static_cast<double>(v);
      return o;
    }
    break;
  case DEVPROP_TYPE_GUID:
    if (p.data.size() == sizeof(GUID)) {
      GUID g;
      std::memcpy(&g, p.data.data(), sizeof g);
      o["type"] = "guid", o["value"] = q(guidText(g));
      return o;
    }
    break;
  default:
    break;
  }
  o["type"] = q("raw:" + std::to_string(p.type));
  o["value"] = q(hexBytes(p.data));
  return o;
}

Driver parseDriver(const QJsonObject &o) {
  Driver d;
  d.key = s(o["key"]), d.desc = s(o["desc"]), d.provider = s(o["provider"]), d.date = s(o["date"]);
  d.version = s(o["version"]), d.inf = s(o["inf"]), d.matchingId = s(o["matchingId"]), d.section = s(o["section"]);
  return d;
}

QJsonObject driverJson(const Driver &d) {
  QJsonObject o;
  o["key"] = q(d.key), o["desc"] = q(d.desc), o["provider"] = q(d.provider), o["date"] = q(d.date);
  o["version"] = q(d.version), o["inf"] = q(d.inf), o["matchingId"] = q(d.matchingId);
  if (!d.section.empty()) o["section"] = q(d.section);
  return o;
}

std::string upperAscii(std::string t) {
  for (char &c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return t;
}

// The first free NNNN under a setup class among the tree's driver keys.
std::string allocateDriverKey(const Tree &t, const GUID &cls) {
  std::string prefix = guidText(cls) + "\\";
  for (unsigned n = 0;; ++n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04u", n);
    std::string key = prefix + buf;
    bool used = false;
    for (const Node &node : t.nodes)
      if (node.hasDriver && sameText(node.driver.key, key)) used = true;
    if (!used) return key;
  }
}

Tree emptyTree() {
  Tree t;
  Node root;
  root.id = kRootId;
  root.devInst = t.nextDevInst++;
  root.hasDriver = false;
  root.extraStatus = DN_DRIVER_LOADED | DN_STARTED;
  t.nodes.push_back(root);
  return t;
}

Tree parseStored(const std::string &bytes) {
  Tree t;
  std::string error;
  if (bytes.empty() || !parseDescription(bytes, machineRoot(), &t, &error)) return emptyTree();
  return t;
}

} // namespace

// ---- helpers ----

bool sameText(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool sameKey(const DEVPROPKEY &a, const DEVPROPKEY &b) { return a.pid == b.pid && sameGuid(a.fmtid, b.fmtid); }

std::string utf16Bytes(const std::string &utf8, bool terminate) {
  std::u16string w = toUtf16(utf8);
  if (terminate) w.push_back(u'\0');
  return std::string(reinterpret_cast<const char *>(w.data()), w.size() * 2);
}

std::string multiSzBytes(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &i : items) out += utf16Bytes(i);
  out += std::string(2, '\0');
  return out;
}

std::string bytesToUtf8(const std::string &b) {
  std::u16string w;
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    char16_t c = static_cast<char16_t>(static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8));
    if (!c) break;
    w.push_back(c);
  }
  return toUtf8(w.c_str(), static_cast<std::ptrdiff_t>(w.size()));
}

std::string defaultLink(const std::string &id, const GUID &cls) {
  std::string path = id;
  for (char &c : path)
    if (c == '\\') c = '#';
  return "\\\\?\\" + path + "#" + guidText(cls);
}

std::string toAnsi(const std::string &utf8) {
  // Windows-1252: Latin-1 outside 0x80..0x9F, plus the few characters that range holds.
  static const char16_t k80[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                   0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  std::string out;
  for (char16_t c : toUtf16(utf8)) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char mapped = '?';
    for (int i = 0; i < 32; ++i)
      if (k80[i] && k80[i] == c) mapped = static_cast<char>(0x80 + i);
    out.push_back(mapped);
  }
  return out;
}

std::string fromAnsi(const char *ansi) {
  static const char16_t k80[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  std::u16string w;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(ansi); *p; ++p)
    w.push_back(*p >= 0x80 && *p < 0xA0 ? k80[*p - 0x80] : static_cast<char16_t>(*p));
  return toUtf8(w.c_str(), static_cast<std::ptrdiff_t>(w.size()));
}

// ---- nodes and tree ----

const Property *Node::find(const DEVPROPKEY &key) const {
  for (const Property &p : props)
    if (sameKey(p.key, key)) return &p;
  return nullptr;
}

void Node::set(const DEVPROPKEY &key, DEVPROPTYPE type, std::string data) {
  for (Property &p : props)
    if (sameKey(p.key, key)) {
      p.type = type, p.data = std::move(data);
      return;
    }
  props.push_back({key, type, std::move(data)});
}

void Node::erase(const DEVPROPKEY &key) {
  for (size_t i = 0; i < props.size(); ++i)
    if (sameKey(props[i].key, key)) {
      props.erase(props.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

std::string Node::text(const DEVPROPKEY &key) const {
  const Property *p = find(key);
  return p ? bytesToUtf8(p->data) : std::string();
}

std::vector<std::string> Node::strings(const DEVPROPKEY &key) const {
  std::vector<std::string> out;
  const Property *p = find(key);
  if (!p) return out;
  std::u16string cur;
  for (size_t i = 0; i + 1 < p->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(static_cast<unsigned char>(p->data[i]) |
                                       (static_cast<unsigned char>(p->data[i + 1]) << 8));
    if (c) {
      cur.push_back(c);
      continue;
    }
    if (cur.empty()) break;
    out.push_back(toUtf8(cur.c_str(), static_cast<std::ptrdiff_t>(cur.size())));
    cur.clear();
  }
  if (!cur.empty()) out.push_back(toUtf8(cur.c_str(), static_cast<std::ptrdiff_t>(cur.size())));
  return out;
}

Node *Tree::find(const std::string &id) {
  for (Node &n : nodes)
    if (sameText(n.id, id)) return &n;
  return nullptr;
}
const Node *Tree::find(const std::string &id) const { return const_cast<Tree *>(this)->find(id); }
Node *Tree::find(DEVINST dn) {
  for (Node &n : nodes)
    if (n.devInst == dn) return &n;
  return nullptr;
}
const Node *Tree::find(DEVINST dn) const { return const_cast<Tree *>(this)->find(dn); }

const Node *Tree::interfaceOwner(const std::string &link, const Interface **which) const {
  for (const Node &n : nodes)
    for (const Interface &i : n.interfaces)
      if (sameText(i.link, link)) {
        if (which) *which = &i;
        return &n;
      }
  return nullptr;
}

std::vector<const Node *> Tree::children(const Node &parent) const {
  std::vector<const Node *> out;
  for (const Node &n : nodes)
    if (n.present && &n != &parent && sameText(n.parent, parent.id)) out.push_back(&n);
  return out;
}

Package *Tree::package(const std::string &published) {
  for (Package &p : packages)
    if (sameText(p.published, published)) return &p;
  return nullptr;
}

DWORD statusOf(const Node &n) {
  if (!n.present) return 0;
  DWORD st = n.extraStatus;
  if (n.id.rfind("ROOT\\", 0) == 0 || n.id.rfind("root\\", 0) == 0) st |= DN_ROOT_ENUMERATED;
  if (n.id != kRootId) st |= DN_DISABLEABLE;
  if (n.problem) return (st | DN_HAS_PROBLEM) & ~DWORD(DN_STARTED | DN_DRIVER_LOADED);
  if (n.hasDriver) st |= DN_DRIVER_LOADED | DN_STARTED;
  return st;
}

bool interfaceEnabled(const Node &n) { return n.present && n.problem == 0 && n.hasDriver; }

bool readProperty(const Tree &t, const Node &n, const DEVPROPKEY &key, DEVPROPTYPE *type, std::string *data) {
  auto str = [&](const std::string &v) {
    *type = DEVPROP_TYPE_STRING, *data = utf16Bytes(v);
    return true;
  };
  auto u32 = [&](DWORD v) {
    *type = DEVPROP_TYPE_UINT32, *data = u32Bytes(v);
    return true;
  };
  if (sameKey(key, DEVPKEY_Device_InstanceId)) return str(n.id);
  if (sameKey(key, DEVPKEY_Device_Parent)) return !n.parent.empty() && str(n.parent);
  if (sameKey(key, DEVPKEY_Device_Children)) {
    std::vector<std::string> ids;
    for (const Node *c : t.children(n)) ids.push_back(c->id);
    if (ids.empty()) return false;
    *type = DEVPROP_TYPE_STRING_LIST, *data = multiSzBytes(ids);
    return true;
  }
  if (sameKey(key, DEVPKEY_Device_DevNodeStatus)) return n.present && u32(statusOf(n));
  if (sameKey(key, DEVPKEY_Device_ProblemCode)) return n.present && u32(n.problem);
  if (n.hasDriver) {
    if (sameKey(key, DEVPKEY_Device_Driver)) return str(n.driver.key);
    if (sameKey(key, DEVPKEY_Device_DriverDesc)) return str(n.driver.desc);
    if (sameKey(key, DEVPKEY_Device_DriverVersion)) return str(n.driver.version);
    if (sameKey(key, DEVPKEY_Device_DriverProvider)) return str(n.driver.provider);
    if (sameKey(key, DEVPKEY_Device_DriverInfPath)) return str(n.driver.inf);
  }
  if (const Property *p = n.find(key)) {
    *type = p->type, *data = p->data;
    return true;
  }
  if (sameKey(key, DEVPKEY_Device_EnumeratorName) && n.id != kRootId) return str(n.id.substr(0, n.id.find('\\')));
  return false;
}

// ---- description format ----

bool parseDescription(const std::string &json, const std::string &baseFolder, Tree *out, std::string *error) {
  QJsonParseError pe;
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &pe);
  if (!doc.isObject()) return *error = "not a JSON object: " + pe.errorString().toStdString(), false;
  QJsonObject top = doc.object();
  Tree t = emptyTree();
  if (top.contains("nextDevInst")) t.nextDevInst = static_cast<DEVINST>(top["nextDevInst"].toDouble());
  if (top.contains("usb")) t.usb = QJsonDocument(top["usb"].toObject()).toJson(QJsonDocument::Compact).toStdString();

  for (const QJsonValue &v : top["nodes"].toArray()) {
    QJsonObject o = v.toObject();
    Node n;
    n.id = s(o["id"]);
    // Up to 200 characters, one more than Windows gives a node: a description can stand for a bus driver that breaks
    // the limit, so a caller's room for the terminator can be tried.
    if (n.id.empty() || n.id.size() > MAX_DEVICE_ID_LEN) return *error = "a node needs an id of at most 200 characters", false;
    if (sameText(n.id, kRootId)) continue;
    if (t.find(n.id)) return *error = "duplicate node " + n.id, false;
    n.parent = o.contains("parent") ? s(o["parent"]) : std::string(kRootId);
    n.present = o["present"].toBool(true);
    n.inUse = o["inUse"].toBool(false);
    n.extraStatus = static_cast<DWORD>(o["statusFlags"].toDouble(0));
    n.devInst = static_cast<DEVINST>(o["devInst"].toDouble(0));
    n.restarts = static_cast<unsigned>(o["restarts"].toDouble(0));
    n.installs = static_cast<unsigned>(o["installs"].toDouble(0));
    for (const Named &nm : kNamed) {
      if (!o.contains(nm.name)) continue;
      QJsonValue pv = o[nm.name];
      if (nm.type == DEVPROP_TYPE_STRING) n.set(*nm.key, nm.type, utf16Bytes(s(pv)));
      else if (nm.type == DEVPROP_TYPE_UINT32) n.set(*nm.key, nm.type, u32Bytes(static_cast<DWORD>(pv.toDouble())));
      else if (nm.type == DEVPROP_TYPE_GUID) {
        GUID g{};
        if (!parseGuid(s(pv), &g)) return *error = "bad " + std::string(nm.name) + " in " + n.id, false;
        n.set(*nm.key, nm.type, guidBytes(g));
      } else {
        std::vector<std::string> items;
        for (const QJsonValue &e : pv.toArray()) items.push_back(s(e));
        n.set(*nm.key, nm.type, multiSzBytes(items));
      }
    }
    for (const QJsonValue &pv : o["properties"].toArray()) {
      Property p;
      if (!parseProperty(pv.toObject(), &p, error)) return false;
      n.set(p.key, p.type, p.data);
    }
    if (o.contains("driver")) {
      n.hasDriver = true;
      n.driver = parseDriver(o["driver"].toObject());
    }
    // Without a driver a node cannot start: Windows reports it as a failed installation.
    n.problem = static_cast<DWORD>(o["problem"].toDouble(n.hasDriver ? 0 : CM_PROB_FAILED_INSTALL));
    for (const QJsonValue &iv : o["interfaces"].toArray()) {
      Interface itf;
      std::string cls = iv.isString() ? s(iv) : s(iv.toObject()["class"]);
      if (!parseGuid(cls, &itf.classGuid)) return *error = "bad interface class " + cls + " in " + n.id, false;
      itf.link = iv.isObject() && iv.toObject().contains("link") ? s(iv.toObject()["link"]) : defaultLink(n.id, itf.classGuid);
      n.interfaces.push_back(itf);
    }
    t.nodes.push_back(std::move(n));
  }
  for (Node &n : t.nodes) {
    if (n.id == kRootId) continue;
    if (!t.find(n.parent)) return *error = "node " + n.id + " names an unknown parent " + n.parent, false;
    if (!n.devInst) n.devInst = t.nextDevInst++;
    if (n.devInst >= t.nextDevInst) t.nextDevInst = n.devInst + 1;
  }
  for (Node &n : t.nodes)
    if (n.hasDriver && n.driver.key.empty()) {
      GUID cls{};
      if (const Property *p = n.find(DEVPKEY_Device_ClassGuid); p && p->data.size() == sizeof cls)
        std::memcpy(&cls, p->data.data(), sizeof cls);
      n.driver.key = allocateDriverKey(t, cls);
    }

  for (const QJsonValue &pv : top["driverStore"].toArray()) {
    QJsonObject o = pv.toObject();
    if (o.contains("infText")) { // a stored package
      Package p;
      if (!parseInf(s(o["infText"]), &p)) return *error = "bad stored package " + s(o["published"]), false;
      p.published = s(o["published"]), p.original = s(o["original"]), p.infText = s(o["infText"]);
      t.packages.push_back(p);
      continue;
    }
    std::string path = s(o["inf"]);
    if (!path.empty() && path[0] != '/') path = baseFolder + "/" + path;
    std::string published;
    DWORD rc = publishInf(t, path, &published, nullptr);
    if (rc) return *error = "cannot publish " + path + " (error " + std::to_string(rc) + ")", false;
  }
  *out = std::move(t);
  return true;
}

std::string toDescription(const Tree &t) {
  QJsonObject top;
  top["nextDevInst"] = static_cast<double>(t.nextDevInst);
  QJsonArray nodes;
  for (const Node &n : t.nodes) {
    if (n.id == kRootId) continue;
    QJsonObject o;
    o["id"] = q(n.id);
    o["parent"] = q(n.parent);
    if (!n.present) o["present"] = false;
    o["problem"] = static_cast<double>(n.problem);
    if (n.inUse) o["inUse"] = true;
    if (n.extraStatus) o["statusFlags"] = static_cast<double>(n.extraStatus);
    o["devInst"] = static_cast<double>(n.devInst);
    if (n.restarts) o["restarts"] = static_cast<double>(n.restarts);
    if (n.installs) o["installs"] = static_cast<double>(n.installs);
    QJsonArray generic;
    for (const Property &p : n.props) {
      const Named *nm = namedFor(p.key, p.type);
      QJsonObject pj = propertyJson(p);
      bool plain = pj["type"].toString() != "raw:" + QString::number(p.type) || p.type == DEVPROP_TYPE_STRING_LIST;
      if (nm && plain && p.type == DEVPROP_TYPE_STRING_LIST) {
        QJsonArray items;
        for (const std::string &e : n.strings(p.key)) items.append(q(e));
        if (multiSzBytes(n.strings(p.key)) == p.data) {
          o[nm->name] = items;
          continue;
        }
      } else if (nm && plain) {
        o[nm->name] = pj["value"];
        continue;
      }
      generic.append(pj);
    }
    if (!generic.isEmpty()) o["properties"] = generic;
    if (n.hasDriver) o["driver"] = driverJson(n.driver);
    QJsonArray itfs;
    for (const Interface &i : n.interfaces) {
      QJsonObject io;
      io["class"] = q(guidText(i.classGuid));
      io["link"] = q(i.link);
      itfs.append(io);
    }
    if (!itfs.isEmpty()) o["interfaces"] = itfs;
    nodes.append(o);
  }
  top["nodes"] = nodes;
  QJsonArray store;
  for (const Package &p : t.packages) {
    QJsonObject o;
    o["published"] = q(p.published), o["original"] = q(p.original), o["infText"] = q(p.infText);
    store.append(o);
  }
  top["driverStore"] = store;
  if (!t.usb.empty()) top["usb"] = QJsonDocument::fromJson(QByteArray::fromStdString(t.usb)).object();
  return QJsonDocument(top).toJson(QJsonDocument::Indented).toStdString();
}

// ---- state file ----

Tree load() {
  // The file changes far less often than it is read: parse it again only when its bytes changed.
  static std::mutex lock;
  static std::string lastBytes, lastRoot;
  static Tree last = emptyTree();
  std::string bytes;
  readStateFile(kStateFile, &bytes);
  std::lock_guard<std::mutex> hold(lock);
  if (bytes != lastBytes || lastRoot != machineRoot() || bytes.empty()) {
    last = parseStored(bytes);
    lastBytes = bytes;
    lastRoot = machineRoot();
  }
  return last;
}

DWORD update(const std::function<DWORD(Tree &, bool &changed)> &change) {
  return updateStateFile(kStateFile, [&](std::string &bytes, bool, bool &changed) -> DWORD {
    Tree t = parseStored(bytes);
    DWORD rc = change(t, changed);
    if (rc == 0 && changed) bytes = toDescription(t);
    return rc;
  });
}

// ---- drivers ----

void writeClassKey(const Node &n) {
  if (!n.hasDriver || n.driver.key.empty()) return;
  std::string key = kClassRoot + n.driver.key;
  regSetString(key, "DriverDesc", n.driver.desc);
  regSetString(key, "ProviderName", n.driver.provider);
  regSetString(key, "DriverDate", n.driver.date);
  regSetString(key, "DriverVersion", n.driver.version);
  regSetString(key, "InfPath", n.driver.inf);
  regSetString(key, "MatchingDeviceId", n.driver.matchingId);
  if (!n.driver.section.empty()) regSetString(key, "InfSection", n.driver.section);
  std::string cls = n.text(DEVPKEY_Device_Class);
  if (!cls.empty()) regSetString(kClassRoot + n.driver.key.substr(0, n.driver.key.find('\\')), "Class", cls);
}

void removeClassKey(const Node &n) {
  if (n.hasDriver && !n.driver.key.empty()) regDeleteTree(kClassRoot + n.driver.key);
}

void installOn(Tree &t, Node &n, const Package &p, const Model &m) {
  // A node that changes setup class gets a new key under the new class; the old one goes.
  GUID oldClass{};
  if (const Property *cp = n.find(DEVPKEY_Device_ClassGuid); cp && cp->data.size() == sizeof oldClass)
    std::memcpy(&oldClass, cp->data.data(), sizeof oldClass);
  if (n.hasDriver && !sameGuid(oldClass, p.classGuid)) {
    removeClassKey(n);
    n.driver.key.clear();
  }
  n.set(DEVPKEY_Device_ClassGuid, DEVPROP_TYPE_GUID, guidBytes(p.classGuid));
  n.set(DEVPKEY_Device_Class, DEVPROP_TYPE_STRING, utf16Bytes(p.className));
  n.set(DEVPKEY_Device_DeviceDesc, DEVPROP_TYPE_STRING, utf16Bytes(m.description));
  n.set(DEVPKEY_Device_Manufacturer, DEVPROP_TYPE_STRING, utf16Bytes(m.manufacturer));
  std::string matching;
  for (const std::string &hw : m.hardwareIds) {
    for (const std::string &id : n.strings(DEVPKEY_Device_HardwareIds))
      if (matching.empty() && sameText(hw, id)) matching = hw;
    for (const std::string &id : n.strings(DEVPKEY_Device_CompatibleIds))
      if (matching.empty() && sameText(hw, id)) matching = hw;
  }
  std::string key = n.hasDriver ? n.driver.key : std::string();
  n.hasDriver = true;
  n.driver = Driver{key.empty() ? allocateDriverKey(t, p.classGuid) : key, m.description, p.provider, p.date,
                    p.version, p.published, upperAscii(matching), m.section};
  if (n.problem == CM_PROB_FAILED_INSTALL || n.problem == CM_PROB_FAILED_START ||
      n.problem == CM_PROB_FAILED_POST_START || n.problem == CM_PROB_REINSTALL)
    n.problem = 0;
  ++n.installs;
  writeClassKey(n);
}

void removeSubtree(Tree &t, const std::string &id) {
  std::vector<std::string> doomed{id};
  for (size_t i = 0; i < doomed.size(); ++i)
    for (const Node &n : t.nodes)
      if (sameText(n.parent, doomed[i])) doomed.push_back(n.id);
  for (const std::string &d : doomed)
    for (size_t i = 0; i < t.nodes.size(); ++i)
      if (sameText(t.nodes[i].id, d)) {
        removeClassKey(t.nodes[i]);
        t.nodes.erase(t.nodes.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
}

} // namespace emu::dev
