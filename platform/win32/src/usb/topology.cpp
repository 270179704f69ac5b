// Parsing of the "usb" value of the device description into the topology the hub and controller drivers answer from.
#include "usb/topology.h"

#include <cfgmgr32.h>
#include "emu/devices.h"
#include "emu/emu.h"
#include "emu/usb.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

namespace emu::usb {

namespace {

struct Parser {
  std::string error;

  bool fail(const std::string &what) {
    if (error.empty()) error = what;
    return false;
  }

  // Hex bytes with optional spaces: "12 01 00 02".
  bool hexBytes(const QJsonValue &v, const std::string &where, std::string *out) {
    if (v.isUndefined() || v.isNull()) return true;
    if (!v.isString()) return fail(where + ": expected a string of hex bytes");
    std::string digits;
    for (QChar c : v.toString()) {
      if (c.isSpace()) continue;
      if (!std::isxdigit(c.toLatin1())) return fail(where + ": not a hex byte string");
      digits += c.toLatin1();
    }
    if (digits.size() % 2) return fail(where + ": odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2)
      *out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return true;
  }

  bool faults(const QJsonValue &v, const std::string &where, Faults *out) {
    if (v.isUndefined()) return true;
    if (!v.isObject()) return fail(where + ".faults: expected an object");
    const QJsonObject o = v.toObject();
    for (auto it = o.begin(); it != o.end(); ++it) {
      const std::string key = it.key().toStdString();
      if (key == "unsupported") {
        for (const QJsonValue &u : it.value().toArray()) out->unsupported.insert(u.toString().toStdString());
      } else if (key == "failStrings") {
        for (const QJsonValue &u : it.value().toArray()) out->failStrings.insert(u.toInt());
      } else if (key == "stringReturned") {
        const QJsonObject m = it.value().toObject();
        for (auto s = m.begin(); s != m.end(); ++s) out->stringReturned[s.key().toInt()] = s.value().toInteger();
      } else if (it.value().isDouble()) {
        out->values[key] = it.value().toInteger();
      } else {
        return fail(where + ".faults." + key + ": expected a number");
      }
    }
    return true;
  }

  bool speed(const QString &s, UCHAR *out) {
    static const char *names[] = {"low", "full", "high", "super"};
    for (UCHAR i = 0; i < 4; ++i)
      if (s == QLatin1String(names[i])) {
        *out = i;
        return true;
      }
    return false;
  }

  bool port(const QJsonObject &o, ULONG number, const std::string &where, Port *p) {
    p->number = number;
    const QJsonValue status = o.value("status");
    if (status.isString()) {
      if (status.toString() == "connected") p->status = 1;
      else if (status.toString() == "empty") p->status = 0;
      else return fail(where + ".status: \"connected\", \"empty\" or a number");
    } else if (status.isDouble()) {
      p->status = static_cast<ULONG>(status.toInt());
    } else {
      p->status = o.contains("device") || o.contains("hub") ? 1 : 0;
    }
    p->device = o.value("device").toString().toStdString();
    p->driverKey = o.value("driverKey").toString().toStdString();
    if (o.contains("speed") && !speed(o.value("speed").toString(), &p->speed))
      return fail(where + ".speed: low, full, high or super");
    p->address = static_cast<USHORT>(o.value("address").toInt(static_cast<int>(number)));
    if (!hexBytes(o.value("descriptor"), where + ".descriptor", &p->deviceDescriptor) ||
        !hexBytes(o.value("configuration"), where + ".configuration", &p->configuration) ||
        !hexBytes(o.value("bos"), where + ".bos", &p->bos))
      return false;
    if (!p->deviceDescriptor.empty() && p->deviceDescriptor.size() != 18)
      return fail(where + ".descriptor: a device descriptor has 18 bytes");
    const QJsonObject strings = o.value("strings").toObject();
    for (auto it = strings.begin(); it != strings.end(); ++it) {
      // "3" (any language) or "3/0409"
      const QStringList key = it.key().split('/');
      bool okIndex = false, okLang = true;
      int index = key[0].toInt(&okIndex);
      int lang = key.size() > 1 ? key[1].toInt(&okLang, 16) : -1;
      if (!okIndex || !okLang || index < 0 || index > 255) return fail(where + ".strings: keys are \"index\" or \"index/lang\"");
      std::string bytes;
      if (!hexBytes(it.value(), where + ".strings." + it.key().toStdString(), &bytes)) return false;
      p->strings[{index, lang}] = bytes;
    }
    const QJsonObject connector = o.value("connector").toObject();
    p->connectorProperties = static_cast<ULONG>(connector.value("properties").toInt());
    p->companionIndex = static_cast<USHORT>(connector.value("companionIndex").toInt());
    p->companionPort = static_cast<USHORT>(connector.value("companionPort").toInt());
    p->companionHub = connector.value("companionHub").toString().toStdU16String();
    const QJsonObject v2 = o.value("v2").toObject();
    // A SuperSpeed device operates at SuperSpeed unless the description says otherwise.
    p->v2Protocols = static_cast<ULONG>(v2.value("protocols").toInt(p->speed == 3 ? 7 : 3));
    p->v2Flags = static_cast<ULONG>(v2.value("flags").toInt(p->speed == 3 ? 3 : 0));
    if (!faults(o.value("faults"), where, &p->faults)) return false;
    if (o.contains("hub")) {
      p->hub = std::make_shared<Hub>();
      if (!hub(o.value("hub").toObject(), false, where + ".hub", p->hub.get())) return false;
      if (p->device.empty()) p->device = p->hub->device;
    }
    return true;
  }

  bool hub(const QJsonObject &o, bool root, const std::string &where, Hub *h) {
    h->root = root;
    h->device = o.value("device").toString().toStdString();
    h->name = o.value("name").toString().toStdString();
    if (h->name.empty()) {
      if (h->device.empty()) return fail(where + ": a hub needs \"device\" or \"name\"");
      h->name = hubSymbolicName(h->device);
    }
    const QString type = o.value("type").toString(root ? "root" : "usb20");
    h->hubType = type == "root" ? 1 : type == "usb30" ? 3 : 2;
    const QJsonArray ports = o.value("ports").toArray();
    for (int i = 0; i < ports.size(); ++i) {
      Port p;
      const QJsonObject po = ports[i].toObject();
      ULONG number = static_cast<ULONG>(po.value("port").toInt(i + 1));
      if (!port(po, number, where + ".ports[" + std::to_string(i) + "]", &p)) return false;
      h->ports.push_back(std::move(p));
    }
    h->portCount = static_cast<ULONG>(o.value("portCount").toInt(static_cast<int>(h->ports.size())));
    return faults(o.value("faults"), where, &h->faults);
  }
};

void collect(const Hub *h, std::vector<const Hub *> &out) {
  out.push_back(h);
  for (const Port &p : h->ports)
    if (p.hub) collect(p.hub.get(), out);
}

struct Current {
  std::mutex mutex;
  bool overridden = false;
  std::string text;
  std::shared_ptr<const Topology> parsed;
};

Current &current() {
  static Current *c = new Current;
  return *c;
}

} // namespace

const std::string *Port::descriptor(UCHAR type, UCHAR index, USHORT language) const {
  switch (type) {
  case 1:
    return deviceDescriptor.empty() ? nullptr : &deviceDescriptor;
  case 2:
    return index == 0 && !configuration.empty() ? &configuration : nullptr;
  case 0x0F:
    return index == 0 && !bos.empty() ? &bos : nullptr;
  case 3: {
    if (faults.failStrings.count(index)) return nullptr;
    auto it = strings.find({index, index == 0 ? -1 : language});
    if (it == strings.end() && index != 0) it = strings.find({index, -1});
    if (it == strings.end() && index == 0) it = strings.find({0, 0});
    return it == strings.end() ? nullptr : &it->second;
  }
  default:
    return nullptr;
  }
}

const Port *Hub::port(ULONG number) const {
  for (const Port &p : ports)
    if (p.number == number) return &p;
  return nullptr;
}

std::vector<const Hub *> Topology::hubs() const {
  std::vector<const Hub *> out;
  for (const Controller &c : controllers)
    if (c.rootHub) collect(c.rootHub.get(), out);
  return out;
}

std::shared_ptr<const Topology> parseTopology(const std::string &json, std::string *error) {
  auto topology = std::make_shared<Topology>();
  if (json.empty()) return topology;
  QJsonParseError pe;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &pe);
  Parser parser;
  if (!doc.isObject()) {
    if (error) *error = "usb: not a JSON object (" + pe.errorString().toStdString() + ")";
    return nullptr;
  }
  const QJsonArray controllers = doc.object().value("controllers").toArray();
  for (int i = 0; i < controllers.size(); ++i) {
    const QJsonObject o = controllers[i].toObject();
    const std::string where = "usb.controllers[" + std::to_string(i) + "]";
    Controller c;
    c.device = o.value("device").toString().toStdString();
    c.driverKey = o.value("driverKey").toString().toStdString();
    if (c.device.empty()) parser.fail(where + ": \"device\" names the controller's devnode");
    parser.faults(o.value("faults"), where, &c.faults);
    c.rootHub = std::make_shared<Hub>();
    parser.hub(o.value("rootHub").toObject(), true, where + ".rootHub", c.rootHub.get());
    topology->controllers.push_back(std::move(c));
  }
  if (!parser.error.empty()) {
    if (error) *error = parser.error;
    return nullptr;
  }
  return topology;
}

std::shared_ptr<const Topology> currentTopology(std::string *error) {
  Current &c = current();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (!c.overridden) {
    std::string text = emu::dev::usbSection();
    if (!c.parsed || text != c.text) {
      c.parsed = parseTopology(text, error);
      c.text = text;
    }
  }
  return c.parsed;
}

std::string hubSymbolicName(const std::string &instanceId) {
  std::string name = instanceId;
  for (char &ch : name)
    if (ch == '\\') ch = '#';
  return name + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
}

bool sameId(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string driverKeyOf(const std::string &instanceId) {
  if (instanceId.empty()) return {};
  auto node = emu::dev::findNode(instanceId);
  return node ? node->driverKey : std::string();
}

bool validate(const std::string &json, std::string *error) { return parseTopology(json, error) != nullptr; }

bool setTopologyOverride(const std::string &json, std::string *error) {
  Current &c = current();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (json.empty()) {
    c.overridden = false;
    c.parsed.reset();
    c.text.clear();
    return true;
  }
  auto parsed = parseTopology(json, error);
  if (!parsed) return false;
  c.overridden = true;
  c.parsed = parsed;
  c.text = json;
  return true;
}

} // namespace emu::usb

namespace emu::usb {

namespace {

// The text of a string descriptor the device would give in its first language; "" when it has none.
std::string stringText(const Port &p, UCHAR index) {
  if (index == 0) return {};
  const std::string *languages = p.descriptor(3, 0, 0);
  USHORT language = 0;
  if (languages && languages->size() >= 4) std::memcpy(&language, languages->data() + 2, sizeof(language));
  const std::string *d = p.descriptor(3, index, language);
  if (!d || d->size() < 2) return {};
  size_t length = std::min<size_t>(static_cast<UCHAR>((*d)[0]), d->size());
  std::u16string text;
  for (size_t i = 2; i + 1 < length; i += 2)
    text += static_cast<char16_t>(static_cast<UCHAR>((*d)[i]) | (static_cast<UCHAR>((*d)[i + 1]) << 8));
  return emu::toUtf8(text.c_str(), static_cast<std::ptrdiff_t>(text.size()));
}

size_t addHub(const Hub &hub, TreeView *out) {
  size_t at = out->hubs.size();
  out->hubs.push_back({hub.name, hub.device, {}});
  for (const Port &p : hub.ports) {
    static const char *speeds[] = {"low", "full", "high", "super"};
    PortView v;
    v.number = p.number;
    v.status = p.status == 0 ? "empty" : p.status == 1 ? "connected" : std::to_string(p.status);
    v.device = p.device;
    v.speed = p.speed < 4 ? speeds[p.speed] : "?";
    if (p.deviceDescriptor.size() == 18) {
      const auto *d = reinterpret_cast<const UCHAR *>(p.deviceDescriptor.data());
      v.vendorId = static_cast<USHORT>(d[8] | (d[9] << 8));
      v.productId = static_cast<USHORT>(d[10] | (d[11] << 8));
      v.manufacturer = stringText(p, d[14]);
      v.product = stringText(p, d[15]);
      v.serial = stringText(p, d[16]);
    }
    if (p.hub) {
      v.isHub = true;
      v.hub = addHub(*p.hub, out);
    }
    out->hubs[at].ports.push_back(v);
  }
  return at;
}

} // namespace

bool tree(TreeView *out, std::string *error) {
  auto topology = currentTopology(error);
  if (!topology) return false;
  *out = TreeView();
  for (const Controller &c : topology->controllers) {
    ControllerView v;
    v.device = c.device;
    v.rootHub = c.rootHub ? addHub(*c.rootHub, out) : 0;
    out->controllers.push_back(v);
  }
  return true;
}

} // namespace emu::usb
