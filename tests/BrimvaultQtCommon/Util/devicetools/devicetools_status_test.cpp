// Status checks by hardware id, instance id and interface class.
#include "Util/devicetools.h"
#include "machine.h"

namespace {

using StatusChecks = DeviceMachine;

const GUID kUsbDevice = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
const GUID kNoInterfaces = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// "id / name / code" of each record.
std::vector<std::string> records(const DeviceProblemList &problems) {
  std::vector<std::string> out;
  for (const auto &p : problems)
    out.push_back(QString("%1 / %2 / %3").arg(p->instanceId, p->name).arg(p->problemCode).toStdString());
  return out;
}
std::string record(const char *id, const char *name, int code) {
  return std::string(id) + " / " + name + " / " + std::to_string(code);
}

TEST_F(StatusChecks, ByHardwareIdMatchesWholeIdsOncePerPresentDevice) {
  QStringList ids;
  DeviceProblemList problems;
  // The unplugged port carries the first id too; "PID_B7" is only the start of ids.
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByHardwareID({"usb\\vid_1209&pid_b701&mi_00", "USB\\VID_1209&PID_B7",
                                                          "USB\\VID_1209&PID_B704", "USB\\VID_1209&PID_B703",
                                                          "usb\\vid_1209&pid_b703&rev_0110"},
                                                         ids, problems));
  EXPECT_EQ(ids, (QStringList{kSerialFn, kSensor, kKeypad}));
  ASSERT_FALSE(problems.isEmpty());
  EXPECT_TRUE(problems[0]->hasProblem && problems[0]->driverDesc.isNull());
  EXPECT_EQ(records(problems), (std::vector<std::string>{record(kSensor, "Brimvault Sensor", 43),
                                                         record(kKeypad, "Brimvault Keypad", 22)}));
  EXPECT_EQ(DeviceTools::getInstanceIdsByHardwareIds({"USB\\VID_1209&PID_B705", "usb\\vid_1209&pid_b705&rev_0001"}),
            QStringList{kBridge});
}

TEST_F(StatusChecks, ByInstanceIdAndInterfaceClassNameDevicesByFriendlyNameOnly) {
  bool found = false;
  DeviceProblemList problems;
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInstanceID({"usb\\vid_1209&pid_b704\\6&3a1f2b&0&1"}, &found, problems,
                                                         false));
  EXPECT_TRUE(found);
  EXPECT_EQ(records(problems), std::vector<std::string>{record(kSensor, "", 43)});

  problems.clear();
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInstanceID({""}, &found, problems, true)); // "" is in every id
  EXPECT_EQ(problems.size(), 3); // sensor, bridge without driver, keypad
  found = false;
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInstanceID({"", "USB\\VID_1209&PID_B705"}, &found, problems, false));
  EXPECT_FALSE(found);

  problems.clear();
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInterfaceClass(&kUsbDevice, &found, problems));
  EXPECT_TRUE(found);
  EXPECT_EQ(records(problems), std::vector<std::string>{record(kSensor, "", 43)});
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInterfaceClass(&kNoInterfaces, &found, problems));
  EXPECT_FALSE(found);
}

TEST_F(StatusChecks, AFailedStatusReadLogsTheConfigManagersCode) {
  emu::injectFailure("CM_Get_DevNode_Status", CR_NO_SUCH_DEVNODE);
  SetLastError(ERROR_ACCESS_DENIED); // CM calls leave the last error alone: it must not be what is logged
  QStringList ids;
  DeviceProblemList problems;
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByHardwareID({"USB\\VID_1209&PID_B703"}, ids, problems));
  bool found = false;
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInstanceID({kSensor}, &found, problems, false));
  EXPECT_TRUE(problems.isEmpty());
  EXPECT_EQ(messages(), (std::vector<std::string>{"CM_Get_DevNode_Status failed with: 0xd",
                                                  "CM_Get_DevNode_Status failed with: 0xd"}));
}

TEST_F(StatusChecks, AnIdListThatChangesSizeIsReadAgain) {
  // A device arriving between the size query and the read: the read reports a small buffer.
  emu::injectFailure("CM_Get_Device_ID_ListW", CR_BUFFER_SMALL, 1);
  QStringList ids;
  DeviceProblemList problems;
  EXPECT_TRUE(DeviceTools::checkDeviceStatusByHardwareID({"USB\\VID_1209&PID_B703"}, ids, problems));
  EXPECT_EQ(ids, QStringList{kKeypad});
  EXPECT_EQ(calls("CM_Get_Device_ID_List_SizeW"), 2);

  emu::injectFailure("CM_Get_Device_ID_ListW", CR_BUFFER_SMALL); // it never settles: three more tries, then false
  EXPECT_FALSE(DeviceTools::checkDeviceStatusByHardwareID({"USB\\VID_1209&PID_B703"}, ids, problems));
  EXPECT_EQ(calls("CM_Get_Device_ID_List_SizeW"), 6);
}

} // namespace
