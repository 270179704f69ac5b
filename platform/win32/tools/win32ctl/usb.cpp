// USB commands: usb (the emulated USB tree, in the manner of a device tree view) and usb-load (replace the topology).
#include "command.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include "emu/devices.h"
#include "emu/usb.h"

namespace {

void printHub(const emu::usb::TreeView &t, size_t index, const std::string &indent) {
  const emu::usb::HubView &hub = t.hubs[index];
  for (size_t i = 0; i < hub.ports.size(); ++i) {
    const emu::usb::PortView &p = hub.ports[i];
    const bool last = i + 1 == hub.ports.size();
    std::printf("%s%s Port %u: ", indent.c_str(), last ? "\\-" : "+-", static_cast<unsigned>(p.number));
    if (p.status == "empty") {
      std::printf("no device\n");
      continue;
    }
    if (p.isHub) std::printf("hub ");
    if (p.status != "connected") std::printf("(status %s) ", p.status.c_str());
    std::printf("[%s] %04x:%04x", p.speed.c_str(), p.vendorId, p.productId);
    if (!p.manufacturer.empty()) std::printf(" %s", p.manufacturer.c_str());
    if (!p.product.empty()) std::printf(" %s", p.product.c_str());
    if (!p.serial.empty()) std::printf("  serial %s", p.serial.c_str());
    if (!p.device.empty()) std::printf("  %s", p.device.c_str());
    std::printf("\n");
    if (p.isHub) printHub(t, p.hub, indent + (last ? "   " : "|  "));
  }
}

int usbTree(const win32ctl::Args &args) {
  if (!args.empty()) {
    std::fprintf(stderr, "usage: win32ctl usb\n");
    return 2;
  }
  emu::usb::TreeView t;
  std::string error;
  if (!emu::usb::tree(&t, &error)) {
    std::fprintf(stderr, "win32ctl: %s\n", error.c_str());
    return 1;
  }
  if (t.controllers.empty()) {
    std::printf("No USB host controllers.\n");
    return 0;
  }
  for (const emu::usb::ControllerView &c : t.controllers) {
    std::printf("Host controller %s\n", c.device.c_str());
    const emu::usb::HubView &root = t.hubs[c.rootHub];
    std::printf("\\- Root hub %s (%u ports)\n", root.device.empty() ? root.name.c_str() : root.device.c_str(),
                static_cast<unsigned>(root.ports.size()));
    printHub(t, c.rootHub, "   ");
  }
  return 0;
}

int usbLoad(const win32ctl::Args &args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: win32ctl usb-load <file>\n");
    return 2;
  }
  std::ifstream in(args[0]);
  if (!in) {
    std::fprintf(stderr, "win32ctl: cannot read '%s'\n", args[0].c_str());
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  // The file may be a whole device description or the "usb" value alone; anything else changes nothing.
  QJsonParseError pe;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text.str()), &pe);
  QJsonValue value = doc.object();
  if (doc.object().contains("usb")) value = doc.object().value("usb");
  std::string error;
  if (!doc.isObject()) error = "usb: not a JSON object (" + pe.errorString().toStdString() + ")";
  else if (!value.isObject()) error = "usb: not a JSON object";
  const std::string usb = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact).toStdString();
  if (!error.empty() || !emu::usb::validate(usb, &error) || !emu::dev::setUsbSection(usb)) {
    std::fprintf(stderr, "win32ctl: %s\n", error.empty() ? "the device tree cannot take the usb topology" : error.c_str());
    return 1;
  }
  return 0;
}

win32ctl::Command regUsb("usb", "usb  show the emulated USB tree: host controllers, hubs, ports and the devices on them "
                                "(vendor and product ids, manufacturer, product and serial strings, instance id)",
                         &usbTree);
win32ctl::Command regUsbLoad("usb-load",
                             "usb-load <file>  replace the machine's USB topology with the \"usb\" value of a device "
                             "description (or a file holding that value alone)",
                             &usbLoad);

} // namespace
