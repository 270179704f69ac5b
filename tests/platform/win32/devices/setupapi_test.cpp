// SetupAPI over the fixture machine: which devices a set holds, interface details and registry properties with
// their size protocols and structure checks.
#include "fixture.h"

#include <devguid.h>
#include <devpkey.h>
#include <usbiodef.h>

#include <vector>

using namespace devtest;

namespace {

std::vector<std::string> idsOf(HDEVINFO set) {
  std::vector<std::string> ids;
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    WCHAR buf[MAX_DEVICE_ID_LEN];
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &dev, buf, MAX_DEVICE_ID_LEN, nullptr));
    ids.push_back(emu::toUtf8(buf));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  return ids;
}

bool contains(const std::vector<std::string> &ids, const char *id) {
  for (const std::string &i : ids)
    if (i == id) return true;
  return false;
}

} // namespace

TEST_F(DeviceTest, ClassDevsFlagsChooseTheDevices) {
  HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  HDEVINFO present = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  HDEVINFO ports = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  HDEVINFO hubs = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_HUB, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  std::vector<std::string> a = idsOf(all), p = idsOf(present), po = idsOf(ports), h = idsOf(hubs);
  EXPECT_EQ(a.size(), 14u); // every node but the tree's root
  EXPECT_EQ(p.size(), 13u);
  EXPECT_TRUE(contains(a, kUnplugged));
  EXPECT_FALSE(contains(p, kUnplugged));
  EXPECT_EQ(po, std::vector<std::string>{kSerialPort});
  EXPECT_EQ(h.size(), 3u); // two root hubs and the external hub
  EXPECT_TRUE(contains(h, kHub));
  for (HDEVINFO s : {all, present, ports, hubs}) EXPECT_TRUE(SetupDiDestroyDeviceInfoList(s));

  SetLastError(0);
  EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceTest, AnInterfaceSetByInstanceIdHoldsThatDeviceEvenWithoutInterfaces) {
  std::u16string keypad = w(kKeypad), nobody = w("USB\\VID_0000&PID_0000\\NOBODY");
  HDEVINFO one = SetupDiGetClassDevsW(nullptr, keypad.c_str(), nullptr, DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(idsOf(one), std::vector<std::string>{kKeypad});
  HDEVINFO none = SetupDiGetClassDevsW(nullptr, nobody.c_str(), nullptr, DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(none, INVALID_HANDLE_VALUE); // a valid, empty set
  EXPECT_TRUE(idsOf(none).empty());
  SetupDiDestroyDeviceInfoList(one);
  SetupDiDestroyDeviceInfoList(none);
}

TEST_F(DeviceTest, InterfaceDetailFollowsTheSizeProtocolAndNamesItsDevice) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA itf{};
  itf.cbSize = 0;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 0, &itf));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  itf.cbSize = sizeof itf;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 0, &itf));
  EXPECT_EQ(itf.Flags, static_cast<DWORD>(SPINT_ACTIVE));

  DWORD needed = 0;
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &needed, &dev));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_NE(dev.DevInst, 0u); // the device is named even when the buffer is too small

  std::vector<BYTE> buf(needed);
  auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buf.data());
  detail->cbSize = needed; // the size of the buffer is not what cbSize wants
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, needed, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, needed, nullptr, nullptr));
  std::string path = emu::toUtf8(detail->DevicePath);
  EXPECT_EQ(needed, 4 + (path.size() + 1) * 2);

  // The A form of the same interface: one byte per character.
  SP_DEVICE_INTERFACE_DETAIL_DATA_A probe{};
  DWORD neededA = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, &neededA, nullptr));
  EXPECT_EQ(neededA, 4 + path.size() + 1);
  std::vector<char> bufA(neededA);
  auto *detailA = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bufA.data());
  detailA->cbSize = sizeof probe;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &itf, detailA, neededA, nullptr, nullptr));
  EXPECT_EQ(std::string(detailA->DevicePath), path);
  std::optional<emu::dev::NodeInfo> owner = emu::dev::findInterfaceOwner(path);
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->devInst, dev.DevInst);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceTest, OpenDeviceInterfaceAddsItsDeviceOrFails) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  std::optional<emu::dev::NodeInfo> port = emu::dev::findNode(kSerialPort);
  ASSERT_TRUE(port && port->interfaces.size() == 1);
  std::u16string link = w(port->interfaces[0].symbolicLink);
  for (char16_t &c : link) c = static_cast<char16_t>(std::tolower(c)); // links compare without regard to case
  SP_DEVICE_INTERFACE_DATA itf{sizeof itf, {}, 0, 0};
  ASSERT_TRUE(SetupDiOpenDeviceInterfaceW(set, link.c_str(), 0, &itf));
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, nullptr, &dev));
  EXPECT_EQ(dev.DevInst, port->devInst);
  std::u16string missing = w("\\\\?\\USB#VID_0000&PID_0000#X#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_FALSE(SetupDiOpenDeviceInterfaceW(set, missing.c_str(), 0, &itf));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceTest, RegistryPropertiesInBothCharacterSets) {
  OneDevice d(kSerialPort);
  ASSERT_TRUE(d.ok);
  DWORD type = 0, needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(d.set, &d.dev, SPDRP_HARDWAREID, &type, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  std::u16string expect = w("USB\\VID_1209&PID_B701&REV_0100&MI_00");
  expect.push_back(0);
  expect += w("USB\\VID_1209&PID_B701&MI_00");
  expect.push_back(0);
  expect.push_back(0);
  ASSERT_EQ(needed, expect.size() * 2);
  std::u16string got(expect.size(), u'x');
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(d.set, &d.dev, SPDRP_HARDWAREID, &type,
                                                reinterpret_cast<PBYTE>(got.data()), needed, nullptr));
  EXPECT_EQ(got, expect);

  char klass[16] = {};
  DWORD neededA = 0;
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(d.set, &d.dev, SPDRP_CLASS, &type, reinterpret_cast<PBYTE>(klass),
                                                sizeof klass, &neededA));
  EXPECT_EQ(std::string(klass), "Ports");
  EXPECT_EQ(neededA, 6u);
  DWORD address = 0;
  OneDevice hub(kHub);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(hub.set, &hub.dev, SPDRP_ADDRESS, &type,
                                                reinterpret_cast<PBYTE>(&address), sizeof address, nullptr));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(address, 4u);

  // A device without a driver has no driver key; an unknown code is not a property at all.
  OneDevice bridge(kBridge);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(bridge.set, &bridge.dev, SPDRP_DRIVER, &type, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(bridge.set, &bridge.dev, SPDRP_UNUSED0, &type, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  SP_DEVINFO_DATA bad = bridge.dev;
  bad.cbSize = 28;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(bridge.set, &bad, SPDRP_CLASS, &type, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(DeviceTest, StoredBytesComeBackAsWrittenEvenWithoutTerminator) {
  // A friendly name of three characters and no NUL, and an odd byte count: returned exactly as stored.
  ASSERT_TRUE(emu::dev::setProperty(kSerialPort, DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING,
                                    std::string("C\0O\0M", 5)));
  OneDevice d(kSerialPort);
  DWORD type = 0, needed = 0;
  BYTE buf[8] = {};
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(d.set, &d.dev, SPDRP_FRIENDLYNAME, &type, buf, sizeof buf, &needed));
  EXPECT_EQ(needed, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 5), std::string("C\0O\0M", 5));
  DEVPROPTYPE ptype = 0;
  EXPECT_TRUE(SetupDiGetDevicePropertyW(d.set, &d.dev, &DEVPKEY_Device_FriendlyName, &ptype, buf, sizeof buf, &needed, 0));
  EXPECT_EQ(ptype, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING));
  EXPECT_FALSE(SetupDiGetDevicePropertyW(d.set, &d.dev, &DEVPKEY_Device_ContainerId, &ptype, buf, sizeof buf, &needed, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}
