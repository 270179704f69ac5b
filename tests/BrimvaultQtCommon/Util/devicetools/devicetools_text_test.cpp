// Problem texts and the parsers of device identifiers.
#include <gtest/gtest.h>

#include <thread>

#include "../qtprint.h"
#include "Util/devicetools.h"

namespace {

TEST(DeviceProblemText, KnownCodesHaveTheirTextOthersTheUnknownOne) {
  QString first[2];
  std::thread t1([&] { first[0] = DeviceTools::getProblemDescription(13); }); // the map is built once, by either
  std::thread t2([&] { first[1] = DeviceTools::getProblemDescription(13); });
  t1.join();
  t2.join();
  EXPECT_EQ(first[0], "Windows cannot verify this device's configuration.");
  EXPECT_EQ(first[1], first[0]);
  EXPECT_EQ(DeviceTools::getProblemDescription(1), "This device is not configured correctly.");
  EXPECT_EQ(DeviceTools::getProblemDescription(22), "This device is disabled.");
  EXPECT_EQ(DeviceTools::getProblemDescription(56), "This device requires class configuration.");
  for (quint32 code : {0u, 57u, 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(DeviceTools::getProblemDescription(code), "Unknown device problem.") << code;
}

TEST(DeviceIdParsing, InterfaceNumbers) {
  EXPECT_EQ(DeviceTools::parseMiNumber("USB\\VID_0BB4&PID_0C02&MI_0A\\7&3F2&0&A"), 10);
  EXPECT_EQ(DeviceTools::parseMiNumber("USB\\VID_0BB4&PID_0C02&MI_01"), 1);
  EXPECT_EQ(DeviceTools::parseMiNumber("USB\\VID_0BB4&PID_0C02&MI_012&X"), -1);
  EXPECT_EQ(DeviceTools::parseMiNumber("USB\\VID_0BB4&PID_0C02&mi_01&X"), -1);

  EXPECT_EQ(DeviceTools::parseInstanceIdInterfaceToken("USB\\VID_0BB4&PID_0C02\\5&1A2B&0&3"), 3);
  EXPECT_EQ(DeviceTools::parseInstanceIdInterfaceToken("USB\\VID_0BB4&PID_0C02\\6&2E&0&1C"), 28);
  for (const char *id : {"USB\\X\\5&1A2B&0", "USB\\X\\5&1A2B&0&3&9", "USB\\X\\6&2E&0&G1", "USB\\X\\1&2&3&FFFFFFFFF"})
    EXPECT_EQ(DeviceTools::parseInstanceIdInterfaceToken(id), -1) << id;

  EXPECT_EQ(DeviceTools::parseUsbMiNumber("PCIROOT(0)#PCI(14)#USBROOT(0)#USB(2)#USBMI(3)"), 3);
  EXPECT_EQ(DeviceTools::parseUsbMiNumber("PCIROOT(0)#USBMI()"), -1);
  EXPECT_EQ(DeviceTools::parseUsbMiNumber("USBMI(99999999999)"), -1);
}

TEST(DeviceIdParsing, VendorProductAndGuid) {
  EXPECT_EQ(DeviceTools::getVidFromId("usb\\vid_0bb4&pid_0c02"), "0BB4");
  EXPECT_EQ(DeviceTools::getPidFromId("usb\\vid_0bb4&pid_0c02"), "0C02");
  EXPECT_TRUE(DeviceTools::getPidFromId("usb\\vid_0bb4&pid_0c").isEmpty());
  EXPECT_EQ(DeviceTools::getGuidFromString("\\\\?\\usb#vid_0bb4#abc#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
  EXPECT_TRUE(DeviceTools::getGuidFromString("a5dcbf10-6530-11d2-901f-00c04fb951ed").isEmpty());
}

} // namespace
