// Property readers over device nodes, device information elements and interface paths.
#include <devpkey.h>

#include "Util/devicetools.h"
#include "machine.h"

namespace {

using Properties = DeviceMachine;

const WCHAR *wide(const QString &s) { return reinterpret_cast<const WCHAR *>(s.utf16()); }

DEVINST located(const QString &id) {
  DEVINST dn = 0;
  EXPECT_EQ(CM_Locate_DevNodeW(&dn, const_cast<WCHAR *>(wide(id)), CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  return dn;
}

TEST_F(Properties, ReadersGiveTextListsParentAndDriverDescription) {
  const DEVINST dn = located(kDiagFn);
  EXPECT_EQ(DeviceTools::getDevNodeStringProperty(dn, DEVPKEY_Device_DeviceDesc), "Brimvault Diagnostics Interface");
  EXPECT_EQ(DeviceTools::getDevNodeStringListProperty(dn, DEVPKEY_Device_CompatibleIds).value(0), "USB\\MS_COMP_WINUSB");
  EXPECT_TRUE(DeviceTools::getDevNodeStringListProperty(dn, DEVPKEY_Device_DeviceDesc).isEmpty());
  EXPECT_EQ(DeviceTools::getParentDeviceInstanceId(kDiagFn), kRoot);

  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA element{};
  ASSERT_TRUE(DeviceTools::initSetupApiByInstanceId(set, element, kSerialFn));
  EXPECT_EQ(DeviceTools::getDeviceInstanceId(set, &element), kSerialFn);
  EXPECT_EQ(DeviceTools::getDeviceRegistryStringProperty(set, &element, SPDRP_SERVICE), "usbser");
  EXPECT_EQ(DeviceTools::getDeviceRegistryStringListProperty(set, &element, SPDRP_HARDWAREID).value(1), kSerialFnHwId);
  EXPECT_EQ(DeviceTools::getDeviceStringProperty_Setup(set, &element, DEVPKEY_Device_Parent), kRoot);
  EXPECT_EQ(DeviceTools::getDriverDescription(set, &element), "USB Serial Device");
  EXPECT_TRUE(DeviceTools::getDeviceRegistryStringListProperty(set, &element, SPDRP_SERVICE).isEmpty());
  EXPECT_TRUE(contains(messages(), "dataType 1 not equal REG_MULTI_SZ"));
  SetupDiDestroyDeviceInfoList(set);

  QString owner;
  EXPECT_TRUE(DeviceTools::getDeviceInterfaceStringProperty(wide(link(kSerialFn)), DEVPKEY_Device_InstanceId, owner));
  EXPECT_EQ(owner, kSerialFn);
}

TEST_F(Properties, FailuresLogTheirCodeAndLeaveResultsEmpty) {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA element{};
  EXPECT_FALSE(DeviceTools::initSetupApiByInstanceId(set, element, "USB\\VID_FFFF&PID_FFFF\\NOBODY"));
  ASSERT_NE(set, INVALID_HANDLE_VALUE); // the caller still owns the empty set
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_TRUE(contains(messages(), "SetupDiEnumDeviceInfo failed: 0x103"));

  logcapture::mark();
  EXPECT_TRUE(DeviceTools::getParentDeviceInstanceId(kOldPort).isEmpty());
  EXPECT_EQ(messages(), std::vector<std::string>{"CM_Locate_DevNode failed: 0xd"});
  EXPECT_EQ(calls("CM_Get_Parent"), 0);

  QString out = "unchanged";
  const QString path = link(kSerialFn);
  EXPECT_FALSE(DeviceTools::getDeviceInterfaceStringProperty(wide(path), DEVPKEY_Device_FriendlyName, out));
  emu::injectFailure("GetProcAddress", ERROR_PROC_NOT_FOUND);
  EXPECT_FALSE(DeviceTools::getDeviceInterfaceStringProperty(wide(path), DEVPKEY_Device_InstanceId, out));
  EXPECT_EQ(out, "unchanged");
}

// Text stops at the first NUL and never runs past the bytes returned, through nodes and elements alike.
TEST_F(Properties, TextStopsAtTheFirstNulWithinTheReturnedBytes) {
  const std::string embedded("A\0B\0\0\0C\0D\0", 10);
  const std::string unterminatedOdd("X\0Y\0Z\0Q", 7);
  const DEVINST dn = located(kSerialFn);
  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA element{};
  ASSERT_TRUE(DeviceTools::initSetupApiByInstanceId(set, element, kSerialFn));
  for (const auto &[bytes, text] : {std::pair<std::string, QString>{embedded, "AB"}, {unterminatedOdd, "XYZ"}}) {
    ASSERT_TRUE(emu::dev::setProperty(kSerialFn, DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING, bytes));
    EXPECT_EQ(DeviceTools::getDevNodeStringProperty(dn, DEVPKEY_Device_FriendlyName), text);
    EXPECT_EQ(DeviceTools::getDeviceStringProperty_Setup(set, &element, DEVPKEY_Device_FriendlyName), text);
    EXPECT_EQ(DeviceTools::getDeviceRegistryStringProperty(set, &element, SPDRP_FRIENDLYNAME), text);
  }
  SetupDiDestroyDeviceInfoList(set);
}

} // namespace
