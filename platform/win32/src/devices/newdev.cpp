// newdev over the machine's device tree: a driver update publishes the INF to the driver store and installs it on
// every present device that one of its models matches by the given hardware id.
#include <windows.h>
#include <devpkey.h>
#include <newdev.h>
#include <setupapi.h>

#include "devices/store.h"
#include "emu/account.h"
#include "emu/emu.h"

using namespace emu::dev;

namespace {

// "C:\x\y.inf", "\\server\share\y.inf" or a host path from the root: anything else is relative. A Windows path
// with a forward slash is refused as well (chosen, see MODEL.md).
bool fullPath(const std::string &p) {
  bool drive = p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && p[2] == '\\';
  bool unc = p.rfind("\\\\", 0) == 0;
  if ((drive || unc) && p.find('/') != std::string::npos) return false;
  return drive || unc || (!p.empty() && p[0] == '/');
}

DWORD updateDriver(const std::string &hardwareId, const std::string &inf, DWORD flags, bool *reboot) {
  if (flags & ~DWORD(INSTALLFLAG_BITS)) return ERROR_INVALID_FLAGS;
  if (hardwareId.empty() || hardwareId.size() >= MAX_DEVICE_ID_LEN) return ERROR_INVALID_PARAMETER;
  if (!fullPath(inf)) return ERROR_INVALID_PARAMETER; // the installation needs a full path
  return update([&](Tree &t, bool &changed) -> DWORD {
    std::vector<Node *> targets;
    for (Node &n : t.nodes) {
      if (!n.present || n.id == kRootId) continue;
      bool match = false;
      for (const std::string &id : n.strings(DEVPKEY_Device_HardwareIds)) match = match || sameText(id, hardwareId);
      for (const std::string &id : n.strings(DEVPKEY_Device_CompatibleIds)) match = match || sameText(id, hardwareId);
      if (match) targets.push_back(&n);
    }
    std::string published;
    DWORD rc = publishInf(t, inf, &published, nullptr);
    if (rc) return rc;
    changed = true;
    if (targets.empty()) return ERROR_NO_SUCH_DEVINST;
    Package pkg = *t.package(published);
    const Model *model = nullptr;
    for (const Model &m : pkg.models)
      for (const std::string &id : m.hardwareIds)
        if (!model && sameText(id, hardwareId)) model = &m;
    if (!model) return ERROR_NO_COMPAT_DRIVERS;
    unsigned done = 0;
    for (Node *n : targets) {
      bool same = n->hasDriver && sameText(n->driver.inf, published) && sameText(n->driver.desc, model->description);
      if (same && !(flags & INSTALLFLAG_FORCE)) continue;
      installOn(t, *n, pkg, *model);
      if (n->inUse) *reboot = true;
      ++done;
    }
    return done ? 0 : ERROR_NO_MORE_ITEMS;
  });
}

} // namespace

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired) {
  EMU_FAIL_POINT("UpdateDriverForPlugAndPlayDevicesW", FALSE);
  if (!HardwareId || !FullInfPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Installing drivers is for administrators only.
  if (!emu::currentIsAdministrator()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  bool reboot = false;
  DWORD rc = updateDriver(emu::toUtf8(HardwareId), emu::toUtf8(FullInfPath), InstallFlags, &reboot);
  if (bRebootRequired) *bRebootRequired = reboot ? TRUE : FALSE;
  SetLastError(rc);
  return rc ? FALSE : TRUE;
}
