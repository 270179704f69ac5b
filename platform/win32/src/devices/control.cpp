// The device tree's control side (emu/devices.h): loading a description, reading nodes and properties, state
// changes a test or win32ctl causes, and the driver store for pnputil.
#include "emu/devices.h"

#include <cfgmgr32.h>
#include <devpkey.h>
#include <setupapi.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include "devices/store.h"
#include "emu/emu.h"
#include "emu/usb.h"

namespace emu::dev {

namespace {

NodeInfo infoOf(const Tree &t, const Node &n) {
  NodeInfo i;
  i.instanceId = n.id;
  i.parent = n.id == kRootId ? std::string() : n.parent;
  for (const Node &c : t.nodes)
    if (&c != &n && sameText(c.parent, n.id)) i.children.push_back(c.id);
  i.present = n.present;
  i.status = statusOf(n);
  i.problem = n.problem;
  i.devInst = n.devInst;
  i.driverKey = n.hasDriver ? n.driver.key : std::string();
  i.inUse = n.inUse;
  i.restarts = n.restarts;
  i.installs = n.installs;
  for (const Interface &itf : n.interfaces) i.interfaces.push_back({itf.classGuid, itf.link, interfaceEnabled(n)});
  return i;
}

// Applies a change to one node; false when it does not exist.
bool changeNode(const std::string &id, const std::function<void(Node &)> &change) {
  return update([&](Tree &t, bool &changed) -> DWORD {
           Node *n = t.find(id);
           if (!n || n->id == kRootId) return ERROR_NO_SUCH_DEVINST;
           change(*n);
           changed = true;
           return 0;
         }) == 0;
}

} // namespace

std::string guidText(const GUID &g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool parseGuid(const std::string &text, GUID *out) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  std::string hex;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    if (!std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
    hex += t[i];
  }
  auto num = [&](size_t at, size_t len) { return std::strtoull(hex.substr(at, len).c_str(), nullptr, 16); };
  out->Data1 = static_cast<uint32_t>(num(0, 8));
  out->Data2 = static_cast<uint16_t>(num(8, 4));
  out->Data3 = static_cast<uint16_t>(num(12, 4));
  for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<uint8_t>(num(16 + 2 * static_cast<size_t>(i), 2));
  return true;
}

bool sameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool loadJson(const std::string &json, const std::string &baseFolder, std::string *error) {
  std::string dummy;
  if (!error) error = &dummy;
  Tree fresh;
  // Parsed outside the lock first, so a bad description changes nothing.
  if (!parseDescription(json, baseFolder, &fresh, error)) return false;
  // The USB side answers from the "usb" value: one it cannot read refuses the whole description.
  const QJsonValue usb = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object().value("usb");
  if (!usb.isUndefined() && !usb.isObject()) return *error = "usb: not a JSON object", false;
  if (!emu::usb::validate(fresh.usb, error)) return false;
  Tree old = load();
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    t = fresh;
    changed = true;
    return 0;
  });
  if (rc) return *error = "cannot store the device tree (error " + std::to_string(rc) + ")", false;
  for (const Node &n : old.nodes) removeClassKey(n);
  for (const Node &n : fresh.nodes) writeClassKey(n);
  return true;
}

bool loadFile(const std::string &path, std::string *error) {
  std::string host = hostPath(path);
  std::ifstream in(host, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  size_t slash = host.find_last_of('/');
  return loadJson(ss.str(), slash == std::string::npos ? std::string(".") : host.substr(0, slash), error);
}

std::string saveJson() { return toDescription(load()); }
std::string usbSection() { return load().usb; }

bool setUsbSection(const std::string &json) {
  return update([&](Tree &t, bool &changed) -> DWORD {
           t.usb = json;
           changed = true;
           return 0;
         }) == 0;
}

std::vector<NodeInfo> nodes() {
  Tree t = load();
  std::vector<NodeInfo> out;
  for (const Node &n : t.nodes) out.push_back(infoOf(t, n));
  return out;
}

std::optional<NodeInfo> findNode(const std::string &instanceId) {
  Tree t = load();
  const Node *n = t.find(instanceId);
  if (!n) return std::nullopt;
  return infoOf(t, *n);
}

std::optional<NodeInfo> findNode(DEVINST devInst) {
  Tree t = load();
  const Node *n = t.find(devInst);
  if (!n) return std::nullopt;
  return infoOf(t, *n);
}

std::optional<NodeInfo> findInterfaceOwner(const std::string &symbolicLink) {
  Tree t = load();
  const Node *n = t.interfaceOwner(symbolicLink);
  if (!n) return std::nullopt;
  return infoOf(t, *n);
}

std::optional<PropertyValue> property(const std::string &instanceId, const DEVPROPKEY &key) {
  Tree t = load();
  const Node *n = t.find(instanceId);
  PropertyValue v;
  if (!n || !readProperty(t, *n, key, &v.type, &v.data)) return std::nullopt;
  return v;
}

std::vector<std::string> propertyStrings(const std::string &instanceId, const DEVPROPKEY &key) {
  std::vector<std::string> out;
  std::optional<PropertyValue> v = property(instanceId, key);
  if (!v || (v->type != DEVPROP_TYPE_STRING && v->type != DEVPROP_TYPE_STRING_LIST)) return out;
  Node scratch;
  scratch.set(key, v->type, v->data);
  return scratch.strings(key);
}

bool setProperty(const std::string &instanceId, const DEVPROPKEY &key, DEVPROPTYPE type, const std::string &data) {
  return changeNode(instanceId, [&](Node &n) { n.set(key, type, data); });
}

bool setProblem(const std::string &instanceId, DWORD problem) {
  return changeNode(instanceId, [&](Node &n) { n.problem = problem; });
}

bool setEnabled(const std::string &instanceId, bool enabled) {
  return changeNode(instanceId, [&](Node &n) {
    if (!enabled) n.problem = CM_PROB_DISABLED;
    else if (n.problem == CM_PROB_DISABLED) n.problem = n.hasDriver ? 0 : CM_PROB_FAILED_INSTALL;
  });
}

bool setPresent(const std::string &instanceId, bool present) {
  return changeNode(instanceId, [&](Node &n) { n.present = present; });
}

bool setInUse(const std::string &instanceId, bool inUse) {
  return changeNode(instanceId, [&](Node &n) { n.inUse = inUse; });
}

std::vector<DriverPackageInfo> driverPackages() {
  std::vector<DriverPackageInfo> out;
  for (const Package &p : load().packages) {
    DriverPackageInfo i{p.published, p.original, p.className, p.classGuid, p.provider, p.date, p.version, {}};
    for (const Model &m : p.models) i.models.push_back({m.description, m.manufacturer, m.hardwareIds});
    out.push_back(i);
  }
  return out;
}

DWORD addDriverPackage(const std::string &infPath, std::string *publishedName, bool *existed) {
  return update([&](Tree &t, bool &changed) -> DWORD {
    DWORD rc = publishInf(t, infPath, publishedName, existed);
    changed = rc == 0;
    return rc;
  });
}

DWORD installDriverPackage(const std::string &publishedName, bool force, unsigned *installed, bool *reboot) {
  *installed = 0;
  *reboot = false;
  DWORD rc = update([&](Tree &t, bool &changed) -> DWORD {
    Package *p = t.package(publishedName);
    if (!p) return ERROR_FILE_NOT_FOUND;
    Package pkg = *p;
    for (Node &n : t.nodes) {
      if (!n.present || n.id == kRootId) continue;
      std::vector<std::string> ids = n.strings(DEVPKEY_Device_HardwareIds);
      for (const std::string &c : n.strings(DEVPKEY_Device_CompatibleIds)) ids.push_back(c);
      const Model *match = nullptr;
      for (const Model &m : pkg.models)
        for (const std::string &hw : m.hardwareIds)
          for (const std::string &id : ids)
            if (!match && sameText(hw, id)) match = &m;
      if (!match) continue;
      bool same = n.hasDriver && sameText(n.driver.inf, pkg.published) && sameText(n.driver.desc, match->description);
      if (same && !force) continue;
      installOn(t, n, pkg, *match);
      if (n.inUse) *reboot = true;
      ++*installed;
      changed = true;
    }
    return 0;
  });
  if (rc) return rc;
  return *installed ? 0 : ERROR_NO_MORE_ITEMS;
}

} // namespace emu::dev
