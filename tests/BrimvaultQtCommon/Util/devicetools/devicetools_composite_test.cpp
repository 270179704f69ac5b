// Composite devices, serial numbers and roots, driver binding, and lookups by symbolic link and instance id.
#include <devpkey.h>

#include "Util/devicetools.h"
#include "machine.h"
#include "testenv.h"

namespace {

using Composite = DeviceMachine;

TEST_F(Composite, InterfaceNumbersClassesAndPortableDevicesBySymbolicLink) {
  EXPECT_EQ(DeviceTools::getCompositeDeviceInterfaceNumberBySymbolicLink(link(kDiagFn)), 1);
  EXPECT_EQ(DeviceTools::getDeviceInstanceIdBySymbolicLink(link(kSerialFn)), kSerialFn);
  EXPECT_EQ(DeviceTools::getDeviceClassNameBySymbolicLink(link(kSerialFn)), "Ports");
  EXPECT_TRUE(DeviceTools::isWPDDevice(link(kPhone)));
  EXPECT_FALSE(DeviceTools::isWPDDevice(link(kSerialFn)));
  ASSERT_TRUE(emu::dev::setProperty(kPhone, DEVPKEY_Device_Class, DEVPROP_TYPE_STRING, std::string("I\0m\0g\0\0\0", 8)));
  EXPECT_EQ(DeviceTools::getDeviceClassNameByInstanceId(kPhone), "Img");
  EXPECT_TRUE(DeviceTools::isWPDDeviceByInstanceId(kPhone)); // still: "_MTP" in a compatible id
  EXPECT_FALSE(DeviceTools::isWPDDeviceByInstanceId("ROOT\\NOTHING\\0000"));
}

TEST_F(Composite, AnUnknownLinkIsNotReachedAndItsDetailsAreNotAskedFor) {
  const QString unknown = "\\\\?\\USB#VID_FFFF&PID_FFFF#X#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  EXPECT_EQ(DeviceTools::getCompositeDeviceInterfaceNumberBySymbolicLink(unknown), -1);
  EXPECT_TRUE(DeviceTools::getDeviceInstanceIdBySymbolicLink(unknown).isEmpty());
  const auto lines = logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(startsWith(lines[0], "E getCompositeDeviceInterfaceNumberBySymbolicLink | SetupDiOpenDeviceInterfaceW "
                                   "failed: 0x")) << lines[0];
  EXPECT_TRUE(startsWith(lines[1], "E getDeviceInstanceIdBySymbolicLink | SetupDiOpenDeviceInterfaceW failed: 0x"))
      << lines[1];
  EXPECT_EQ(calls("SetupDiGetDeviceInterfaceDetailW"), 0);
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList"), 2);
}

QString serialOf(const char *id) {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA element{};
  EXPECT_TRUE(DeviceTools::initSetupApiByInstanceId(set, element, id));
  const QString serial = DeviceTools::getDeviceSerialNum(set, &element, id);
  SetupDiDestroyDeviceInfoList(set);
  return serial;
}

TEST_F(Composite, SerialNumbersFromTheUsbTreeOrTheParentAndTheRootTheyName) {
  EXPECT_EQ(serialOf(kSerialFn), "BRIM00042");
  // A serial beyond ASCII comes through in the system code page: "BRIM0004" and U+00C4.
  std::string usb = emu::dev::usbSection();
  const std::string ascii = "14 03 42 00 52 00 49 00 4d 00 30 00 30 00 30 00 34 00 32 00";
  ASSERT_NE(usb.find(ascii), std::string::npos);
  usb.replace(usb.find(ascii), ascii.size(), "14 03 42 00 52 00 49 00 4d 00 30 00 30 00 30 00 34 00 c4 00");
  ASSERT_TRUE(emu::dev::setUsbSection(usb));
  EXPECT_EQ(serialOf(kDiagFn), QString::fromUtf8("BRIM0004\xc3\x84"));
  // Without the USB tree the function's parent names the serial.
  ASSERT_TRUE(emu::dev::setUsbSection(""));
  EXPECT_EQ(serialOf(kSerialFn), "BRIM00042");
  EXPECT_EQ(serialOf(kBridge), "BVBRIDGE01");
  // A parent whose service reads USBCCGP is a composite device whatever the letter case: its id names the serial.
  ASSERT_TRUE(emu::dev::setProperty(kHub, DEVPKEY_Device_Service, DEVPROP_TYPE_STRING,
                                    std::string("U\0S\0B\0C\0C\0G\0P\0\0\0", 16)));
  EXPECT_EQ(serialOf(kBridge), "5&1A2B3C4D&0&4");

  EXPECT_EQ(DeviceTools::findCompositeDeviceRootBySerialNumber("brim00042"), kRoot);
  // Only the start of the root's serial: another device's serial, not this one's.
  EXPECT_TRUE(DeviceTools::findCompositeDeviceRootBySerialNumber("BRIM0004").isEmpty());
}

class Binding : public DeviceMachine {
protected:
  void SetUp() override {
    DeviceMachine::SetUp();
    std::string published; // an older package with the same description beside brimport.inf
    ASSERT_EQ(emu::dev::addDriverPackage(fixture("brimport_v1.inf"), &published), 0u);
  }
};

TEST_F(Binding, InstallsEveryMatchingDriverAndRestartsTheCompositeRoot) {
  EXPECT_TRUE(DeviceTools::bindDriverToDevice({kSerialFnHwId}, "brimvault serial port"));
  EXPECT_EQ(node(kSerialFn).installs, 2u);
  EXPECT_EQ(node(kRoot).restarts, 2u);

  bool found = false;
  DeviceProblemList problems;
  ASSERT_TRUE(DeviceTools::checkDeviceBindErrorDriver({kSerialFnHwId}, "Brimvault Serial Port", found, problems));
  EXPECT_TRUE(found);
  EXPECT_TRUE(problems.isEmpty());
  // Bound already: nothing is installed again, and the driver list is still destroyed.
  emu::clearCallJournal();
  EXPECT_TRUE(DeviceTools::bindDriverToDevice({kSerialFnHwId}, "Brimvault Serial Port"));
  EXPECT_EQ(calls("SetupDiBuildDriverInfoList"), 1);
  EXPECT_EQ(calls("SetupDiDestroyDriverInfoList"), 1);
  EXPECT_EQ(node(kSerialFn).installs, 2u);
}

TEST_F(Binding, ARootThatIsNeverFoundIsSearchedFiveTimesAndNotRestarted) {
  std::string published;
  ASSERT_EQ(emu::dev::addDriverPackage(fixture("brimsensor.inf"), &published), 0u);
  emu::clearCallJournal();
  EXPECT_TRUE(DeviceTools::bindDriverToDevice({"USB\\VID_1209&PID_B704"}, "Brimvault Sensor (WinUSB)"));
  EXPECT_EQ(node(kSensor).installs, 1u);
  // The device list of the walk, then one list per search of the root; a restart would open one more.
  EXPECT_EQ(calls("SetupDiGetClassDevsW"), 1 + 5);
  EXPECT_EQ(calls("SetupDiCallClassInstaller"), 1);
}

TEST_F(Binding, WithoutAdministratorRightsNoDriverIsInstalled) {
  testenv::ScopedAccount as(testenv::unelevatedUser());
  EXPECT_FALSE(DeviceTools::bindDriverToDevice({kSerialFnHwId}, "Brimvault Serial Port"));
  EXPECT_TRUE(contains(logged(), "E bindDriverToDevice | Failed to install driver. Error: 0x5"));
  EXPECT_EQ(node(kSerialFn).installs, 0u);
  EXPECT_EQ(node(kRoot).restarts, 0u);
}

TEST_F(Binding, AFailedDriverListFailsTheBindingButTheWalkGoesOn) {
  emu::injectFailure("SetupDiBuildDriverInfoList", ERROR_NOT_ENOUGH_MEMORY, 1); // the serial function comes first
  EXPECT_FALSE(DeviceTools::bindDriverToDevice({kSerialFnHwId, "USB\\VID_1209&PID_B704"}, "Brimvault Serial Port"));
  EXPECT_TRUE(contains(messages(), "Failed to build driver list, 0x8"));
  EXPECT_EQ(calls("SetupDiBuildDriverInfoList"), 2);
  EXPECT_EQ(node(kSerialFn).installs, 0u);
}

TEST_F(Binding, BindErrorCheckReportsDevicesOnAnotherDriver) {
  bool found = false;
  DeviceProblemList problems;
  ASSERT_TRUE(DeviceTools::checkDeviceBindErrorDriver({kSerialFnHwId, "USB\\VID_1209&PID_B705"},
                                                      "Brimvault Serial Port", found, problems));
  EXPECT_TRUE(found);
  ASSERT_EQ(problems.size(), 2);
  EXPECT_EQ(problems[0]->instanceId, kSerialFn);
  EXPECT_EQ(problems[0]->name, "USB Serial Device");
  EXPECT_EQ(problems[0]->driverDesc, "USB Serial Device");
  EXPECT_EQ(problems[1]->name, "Brimvault Flash Bridge");
  EXPECT_TRUE(problems[1]->driverDesc.isEmpty());

  EXPECT_FALSE(DeviceTools::bindDriverToDevice({}, "Brimvault Serial Port"));
  EXPECT_FALSE(DeviceTools::checkDeviceBindErrorDriver({}, "Brimvault Serial Port", found, problems));
  EXPECT_EQ(messages().back(), "targetHwIds.isEmpty() || expectedDriverDesc.isEmpty()");
}

} // namespace
