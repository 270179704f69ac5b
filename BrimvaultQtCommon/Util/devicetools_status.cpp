// Status checks: which present devices, found by hardware id, instance id or interface class, have a problem.
#include "Util/devicetools.h"

#include <initguid.h>

#include <devpkey.h>

#include "Log/log.h"
#include "Util/devicetools_internal.h"
#include "Util/stringutil.h"

using namespace devicetools;

namespace {

// A device may arrive or leave between the size query and the read; that many fresh tries are worth it.
constexpr int kIdListRetries = 3;

// Instance ids of the present devices, in the configuration manager's order; false when they cannot be read.
bool presentDeviceIds(QStringList &ids) {
  for (int attempt = 0; attempt <= kIdListRetries; ++attempt) {
    ULONG chars = 0;
    if (CM_Get_Device_ID_List_SizeW(&chars, nullptr, CM_GETIDLIST_FILTER_PRESENT) != CR_SUCCESS) return false;
    std::vector<WCHAR> buffer(static_cast<size_t>(chars) + 1, 0);
    const CONFIGRET cr = CM_Get_Device_ID_ListW(nullptr, buffer.data(), chars, CM_GETIDLIST_FILTER_PRESENT);
    if (cr == CR_BUFFER_SMALL) continue;
    if (cr != CR_SUCCESS) return false;
    ids = StringUtil::multiSzToStringList(buffer.data(), chars * 2);
    return true;
  }
  return false;
}

bool locatePresent(const QString &instanceId, DEVINST &node) {
  return CM_Locate_DevNodeW(&node, wideMutable(instanceId), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
}

bool containsIgnoreCase(const QStringList &list, const QString &value) {
  return list.contains(value, Qt::CaseInsensitive);
}

// First wanted id that equals one of the device's hardware ids, ignoring case; whole entries only.
bool matchesAny(const QStringList &deviceIds, const QStringList &wanted) {
  for (const QString &w : wanted) {
    if (containsIgnoreCase(deviceIds, w)) return true;
  }
  return false;
}

QSharedPointer<DeviceProblemInfo> problemRecord(const NodeStatus &s, const QString &instanceId, const QString &name) {
  auto record = QSharedPointer<DeviceProblemInfo>::create();
  record->hasProblem = true;
  record->problemCode = s.problem;
  record->instanceId = instanceId;
  record->name = name;
  return record;
}

} // namespace

bool DeviceTools::checkDeviceStatusByHardwareID(const QStringList &hardwareIds, QStringList &instanceIds,
                                                DeviceProblemList &problems) {
  QStringList devices;
  if (!presentDeviceIds(devices)) return false;
  for (const QString &device : devices) {
    DEVINST node = 0;
    if (!locatePresent(device, node)) continue;
    if (!matchesAny(getDevNodeStringListProperty(node, DEVPKEY_Device_HardwareIds), hardwareIds)) continue;
    const QString instanceId = getDevNodeStringProperty(node, DEVPKEY_Device_InstanceId);
    instanceIds.append(instanceId);
    const NodeStatus s = nodeStatus(node);
    if (!s.ok()) LOGE("CM_Get_DevNode_Status failed with: 0x%x", hex(s.result));
    if (s.hasProblem()) {
      QString name = getDevNodeStringProperty(node, DEVPKEY_Device_FriendlyName);
      if (name.isEmpty()) name = getDevNodeStringProperty(node, DEVPKEY_Device_DeviceDesc);
      problems.append(problemRecord(s, instanceId, name));
    }
  }
  return true;
}

QStringList DeviceTools::getInstanceIdsByHardwareIds(const QStringList &hardwareIds) {
  QStringList result;
  if (hardwareIds.isEmpty()) return result;
  QStringList devices;
  if (!presentDeviceIds(devices)) return result;
  for (const QString &device : devices) {
    DEVINST node = 0;
    if (!locatePresent(device, node)) continue;
    if (matchesAny(getDevNodeStringListProperty(node, DEVPKEY_Device_HardwareIds), hardwareIds))
      result.append(getDevNodeStringProperty(node, DEVPKEY_Device_InstanceId));
  }
  return result;
}

bool DeviceTools::checkDeviceStatusByInstanceID(const QStringList &instanceIds, bool *found,
                                                DeviceProblemList &problems, bool partialMatch) {
  QStringList devices;
  if (!presentDeviceIds(devices)) return false;
  for (const QString &device : devices) {
    DEVINST node = 0;
    if (!locatePresent(device, node)) continue;
    const QString instanceId = getDevNodeStringProperty(node, DEVPKEY_Device_InstanceId);
    bool matched = false;
    for (const QString &wanted : instanceIds) {
      matched = partialMatch ? instanceId.contains(wanted, Qt::CaseInsensitive)
                             : instanceId.compare(wanted, Qt::CaseInsensitive) == 0;
      if (matched) break;
    }
    if (!matched) continue;
    *found = true;
    const NodeStatus s = nodeStatus(node);
    if (!s.ok()) LOGE("CM_Get_DevNode_Status failed with: 0x%x", hex(s.result));
    if (s.hasProblem())
      problems.append(problemRecord(s, instanceId, getDevNodeStringProperty(node, DEVPKEY_Device_FriendlyName)));
  }
  return true;
}

bool DeviceTools::checkDeviceStatusByInterfaceClass(const GUID *interfaceClass, bool *found,
                                                    DeviceProblemList &problems) {
  LPGUID classGuid = const_cast<LPGUID>(interfaceClass);
  ULONG chars = 0;
  if (CM_Get_Device_Interface_List_SizeW(&chars, classGuid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) !=
          CR_SUCCESS ||
      chars == 0)
    return false;
  std::vector<WCHAR> buffer(static_cast<size_t>(chars) + 1, 0);
  if (CM_Get_Device_Interface_ListW(classGuid, nullptr, buffer.data(), chars,
                                    CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != CR_SUCCESS)
    return false;
  const QStringList paths = StringUtil::multiSzToStringList(buffer.data(), chars * 2);
  *found = !paths.isEmpty();
  for (const QString &path : paths) {
    QString instanceId;
    if (!getDeviceInterfaceStringProperty(wide(path), DEVPKEY_Device_InstanceId, instanceId)) continue;
    DEVINST node = 0;
    if (!locatePresent(instanceId, node)) continue;
    const NodeStatus s = nodeStatus(node);
    if (!s.ok()) continue;
    if (s.hasProblem())
      problems.append(problemRecord(s, instanceId, getDevNodeStringProperty(node, DEVPKEY_Device_FriendlyName)));
  }
  return true;
}
