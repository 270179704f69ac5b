// The stand-in's host-controller and hub drivers: the documented two-call sizes, descriptor replies, connection
// information and the misbehaviour a description can ask for.
#include <gtest/gtest.h>

#include <windows.h>
#include <usbioctl.h>
#include <usb.h>
#include <usbuser.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "emu/devices.h"
#include "emu/usb.h"
#include "testenv.h"

namespace {

const char *kTopology = R"({"controllers": [{
  "device": "PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&1&0&A0",
  "driverKey": "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
  "rootHub": {"device": "USB\\ROOT_HUB30\\4&1&0&0", "ports": [
    {"device": "USB\\VID_1234&PID_5678\\SER1", "driverKey": "{88bae032-5a81-49f0-bc3d-a4ff138216d6}\\0001",
     "speed": "super", "descriptor": "12 01 10 03 00 00 00 09 34 12 78 56 00 01 01 02 03 01",
     "configuration": "09 02 19 00 01 01 00 80 32  09 04 00 00 01 ff 00 00 00  07 05 81 02 00 04 00",
     "strings": {"0": "04 03 09 04", "3/0409": "0a 03 53 00 45 00 52 00 31 00"},
     "connector": {"properties": 1, "companionIndex": 0, "companionPort": 5, "companionHub": "USB#ROOT_HUB30#X"}},
    {"status": "empty"},
    {"device": "USB\\VID_0001&PID_0002\\5&1", "speed": "low", "faults": {"unsupported": ["ex", "v2", "connector"]},
     "descriptor": "12 01 10 01 00 00 00 08 01 00 02 00 00 01 00 00 00 01"}
  ]}}]})";

const char *kController = R"(\\?\PCI#VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10#3&1&0&A0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27})";
const char *kRootHub = R"(\\.\USB#ROOT_HUB30#4&1&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8})";

class UsbDriver : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(emu::usb::setTopologyOverride(kTopology, &error)) << error;
  }
  void TearDown() override {
    emu::usb::setTopologyOverride("");
    EXPECT_EQ(emu::usb::openHandles(), 0u);
  }
  static HANDLE open(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  // One request with the same buffer in and out, as METHOD_BUFFERED callers send them.
  static BOOL ioctl(HANDLE h, DWORD code, std::vector<BYTE> &buffer, DWORD *got) {
    return DeviceIoControl(h, code, buffer.data(), static_cast<DWORD>(buffer.size()), buffer.data(),
                           static_cast<DWORD>(buffer.size()), got, nullptr);
  }
  static std::vector<BYTE> portRequest(size_t size, ULONG port) {
    std::vector<BYTE> b(size, 0);
    std::memcpy(b.data(), &port, sizeof(port));
    return b;
  }
};

TEST_F(UsbDriver, OpensControllersAndHubsByTheirPathsOnly) {
  HANDLE controller = open(kController);
  HANDLE hub = open(kRootHub);
  EXPECT_NE(controller, INVALID_HANDLE_VALUE);
  EXPECT_NE(hub, INVALID_HANDLE_VALUE);
  EXPECT_EQ(emu::usb::openHandles(), 2u);
  CloseHandle(controller);
  CloseHandle(hub);

  EXPECT_EQ(open(R"(\\.\USB#ROOT_HUB30#9&9&9&9#{f18a0e88-c30c-11d0-8815-00a0c906bed8})"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileA(kRootHub, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(UsbDriver, NamesComeInTwoCallsFixedPartThenWholeRecord) {
  HANDLE controller = open(kController);
  for (DWORD code : {static_cast<DWORD>(IOCTL_GET_HCD_DRIVERKEY_NAME), static_cast<DWORD>(IOCTL_USB_GET_ROOT_HUB_NAME)}) {
    USB_HCD_DRIVERKEY_NAME probe{};
    DWORD got = 0;
    ASSERT_TRUE(DeviceIoControl(controller, code, &probe, sizeof(probe), &probe, sizeof(probe), &got, nullptr));
    EXPECT_EQ(got, sizeof(probe));
    std::vector<BYTE> full(probe.ActualLength, 0);
    ASSERT_TRUE(ioctl(controller, code, full, &got));
    EXPECT_EQ(got, probe.ActualLength);
    std::u16string name(reinterpret_cast<const char16_t *>(full.data() + 4));
    EXPECT_EQ((name.size() + 1) * 2 + 4, probe.ActualLength);
    EXPECT_EQ(name, code == IOCTL_USB_GET_ROOT_HUB_NAME ? u"USB#ROOT_HUB30#4&1&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"
                                                        : u"{36fc9e60-c465-11cf-8056-444553540000}\\0000");
  }
  CloseHandle(controller);

  HANDLE hub = open(kRootHub);
  auto probe = portRequest(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME), 1);
  DWORD got = 0;
  ASSERT_TRUE(ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, probe, &got));
  ULONG actual = 0;
  std::memcpy(&actual, probe.data() + 4, 4);
  auto full = portRequest(actual, 1);
  ASSERT_TRUE(ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, full, &got));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(full.data() + 8)),
            u"{88bae032-5a81-49f0-bc3d-a4ff138216d6}\\0001");
  auto empty = portRequest(sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME), 2);
  EXPECT_FALSE(ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, empty, &got));
  CloseHandle(hub);
}

TEST_F(UsbDriver, DescriptorRepliesCopyWhatFitsAndStallUnknownIndexes) {
  HANDLE hub = open(kRootHub);
  auto request = [&](USHORT wValue, USHORT wIndex, USHORT wLength, std::vector<BYTE> *out, DWORD *got) {
    *out = portRequest(sizeof(USB_DESCRIPTOR_REQUEST) + wLength, 1);
    auto *r = reinterpret_cast<USB_DESCRIPTOR_REQUEST *>(out->data());
    r->SetupPacket.wValue = wValue;
    r->SetupPacket.wIndex = wIndex;
    r->SetupPacket.wLength = wLength;
    return ioctl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, *out, got);
  };
  std::vector<BYTE> reply;
  DWORD got = 0;
  ASSERT_TRUE(request(0x0200, 0, 9, &reply, &got));
  EXPECT_EQ(got, 12u + 9);
  EXPECT_EQ(reply[12 + 2], 0x19); // wTotalLength of the whole set
  ASSERT_TRUE(request(0x0200, 0, 255, &reply, &got));
  EXPECT_EQ(got, 12u + 0x19);
  ASSERT_TRUE(request(0x0303, 0x0409, 255, &reply, &got));
  EXPECT_EQ(got, 12u + 10);
  EXPECT_FALSE(request(0x0303, 0x0407, 255, &reply, &got)); // a language the device lacks
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_FALSE(request(0x0F00, 0, 5, &reply, &got)); // no BOS
  CloseHandle(hub);
}

TEST_F(UsbDriver, ConnectionInformationReportsSpeedAsEachRequestDoes) {
  HANDLE hub = open(kRootHub);
  DWORD got = 0;
  const size_t size = sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + 30 * sizeof(USB_PIPE_INFO);
  auto ex = portRequest(size, 1);
  ASSERT_TRUE(ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, ex, &got));
  auto *info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION_EX *>(ex.data());
  EXPECT_EQ(static_cast<int>(info->Speed), UsbHighSpeed); // SuperSpeed shows only in the V2 flags
  EXPECT_EQ(static_cast<int>(info->ConnectionStatus), DeviceConnected);
  EXPECT_EQ(static_cast<ULONG>(info->NumberOfOpenPipes), 1u);
  EXPECT_EQ(got, sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + sizeof(USB_PIPE_INFO));
  EXPECT_EQ(static_cast<int>(info->DeviceDescriptor.iSerialNumber), 3);

  USB_NODE_CONNECTION_INFORMATION_EX_V2 v2{};
  v2.ConnectionIndex = 1;
  v2.Length = sizeof(v2);
  v2.SupportedUsbProtocols.ul = 4;
  ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, &v2, sizeof(v2), &v2, sizeof(v2),
                              &got, nullptr));
  EXPECT_EQ(static_cast<ULONG>(v2.Flags.ul & 1u), 1u);
  v2.Length = 12;
  EXPECT_FALSE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, &v2, sizeof(v2), &v2,
                               sizeof(v2), &got, nullptr));

  auto lowEx = portRequest(size, 3);
  EXPECT_FALSE(ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, lowEx, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  auto low = portRequest(size, 3);
  ASSERT_TRUE(ioctl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, low, &got));
  EXPECT_EQ(static_cast<int>(reinterpret_cast<USB_NODE_CONNECTION_INFORMATION *>(low.data())->LowSpeed), TRUE);
  CloseHandle(hub);
}

TEST_F(UsbDriver, ConnectorPropertiesCarryTheCompanionHubWhenTheBufferHoldsIt) {
  HANDLE hub = open(kRootHub);
  USB_PORT_CONNECTOR_PROPERTIES probe{};
  probe.ConnectionIndex = 1;
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, &probe, sizeof(probe), &probe,
                              sizeof(probe), &got, nullptr));
  EXPECT_EQ(got, sizeof(probe));
  EXPECT_EQ(static_cast<ULONG>(probe.ActualLength), 16u + 17 * 2);
  EXPECT_EQ(static_cast<int>(probe.CompanionPortNumber), 5);
  auto full = portRequest(probe.ActualLength, 1);
  ASSERT_TRUE(ioctl(hub, IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, full, &got));
  EXPECT_EQ(got, probe.ActualLength);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(full.data() + 16)), u"USB#ROOT_HUB30#X");
  CloseHandle(hub);
}

TEST_F(UsbDriver, UserRequestsFillThePowerMapAndControllerInfo) {
  HANDLE controller = open(kController);
  USBUSER_POWER_INFO_REQUEST power{};
  power.Header.UsbUserRequest = USBUSER_GET_POWER_STATE_MAP;
  power.Header.RequestBufferLength = sizeof(power);
  power.PowerInformation.SystemState = WdmUsbPowerSystemHibernate;
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(controller, IOCTL_USB_USER_REQUEST, &power, sizeof(power), &power, sizeof(power), &got,
                              nullptr));
  EXPECT_EQ(static_cast<int>(power.Header.UsbUserStatus), UsbUserSuccess);
  EXPECT_EQ(static_cast<int>(power.PowerInformation.HcDevicePowerState), WdmUsbPowerDeviceD3);
  USBUSER_CONTROLLER_INFO_0 info{};
  info.Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
  info.Header.RequestBufferLength = sizeof(info);
  ASSERT_TRUE(DeviceIoControl(controller, IOCTL_USB_USER_REQUEST, &info, sizeof(info), &info, sizeof(info), &got,
                              nullptr));
  EXPECT_EQ(static_cast<ULONG>(info.Info0.PciVendorId), 0x8086u);
  EXPECT_EQ(static_cast<ULONG>(info.Info0.PciDeviceId), 0xA36Du);
  EXPECT_EQ(static_cast<ULONG>(info.Info0.NumberOfRootPorts), 3u);
  CloseHandle(controller);
}

// win32ctl refuses a description whose usb value the stand-in cannot read, and keeps the machine as it was.
TEST(UsbLoad, AnUnreadableUsbValueRefusesTheWholeFile) {
  std::string error;
  ASSERT_TRUE(emu::dev::loadFile(BV_DEVICE_FIXTURES "/machine.json", &error)) << error;
  const std::string before = emu::dev::saveJson();
  const std::string file = testenv::tempDir() + "/bad-usb.json";
  const std::pair<const char *, const char *> cases[] = {
      {R"({"nodes": [{"id": "ROOT\\BRIM\\0000"}], "usb": {"controllers": [{"rootHub": {}}]}})",
       "usb.controllers[0]: \"device\" names the controller's devnode"},
      {R"({"nodes": [{"id": "ROOT\\BRIM\\0000"}], "usb": 5})", "usb: not a JSON object"}};
  for (const auto &[text, reason] : cases) {
    testenv::writeFile(file, text);
    for (const char *command : {"device-load", "usb-load"}) {
      std::string out;
      int status = -1;
      if (FILE *p = ::popen(("'" + testenv::binDir() + "/win32ctl' " + command + " '" + file + "' 2>&1").c_str(), "r")) {
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof(buf), p)) out.append(buf, n);
        status = ::pclose(p);
      }
      EXPECT_EQ(WEXITSTATUS(status), 1) << command << " " << text;
      EXPECT_EQ(out, std::string("win32ctl: ") + reason + "\n") << command;
      EXPECT_TRUE(emu::dev::saveJson() == before) << command << " changed the machine: " << text;
    }
  }
}

} // namespace
