// Installation over the fixture machine: INF classes, node creation and driver updates, removal, property changes,
// compatible drivers from the driver store, and pnputil.exe as a child program on the same store.
#include "fixture.h"

#include <devguid.h>
#include <devpkey.h>
#include <newdev.h>

#include <cstdio>
#include <sys/wait.h>

#include "emu/registry.h"
#include "testenv.h"

using namespace devtest;

namespace {

const char *const kClassRoot = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

std::string driverDescInRegistry(const std::string &id) {
  std::optional<emu::dev::NodeInfo> n = emu::dev::findNode(id);
  if (!n || n->driverKey.empty()) return "<no driver key>";
  return emu::regGetString(kClassRoot + n->driverKey, "DriverDesc").value_or("<no value>");
}

// Creates and registers a root node for the INF's class with one hardware id, as a setup program does.
std::string registerRootNode(const std::string &inf, const std::string &hardwareId) {
  std::u16string path = w(inf), hw = w(hardwareId);
  GUID cls{};
  WCHAR className[MAX_CLASS_NAME_LEN];
  if (!SetupDiGetINFClassW(path.c_str(), &cls, className, MAX_CLASS_NAME_LEN, nullptr)) return "";
  HDEVINFO set = SetupDiCreateDeviceInfoList(&cls, nullptr);
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  std::string id;
  hw.append(2, u'\0');
  if (SetupDiCreateDeviceInfoW(set, className, &cls, nullptr, nullptr, DICD_GENERATE_ID, &dev) &&
      SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(hw.data()),
                                        static_cast<DWORD>(hw.size() * 2)) &&
      SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev)) {
    WCHAR buf[MAX_DEVICE_ID_LEN];
    if (SetupDiGetDeviceInstanceIdW(set, &dev, buf, MAX_DEVICE_ID_LEN, nullptr)) id = emu::toUtf8(buf);
  }
  SetupDiDestroyDeviceInfoList(set);
  return id;
}

// The request's error, read before the set is destroyed.
DWORD propertyChange(const std::string &id, DWORD state) {
  OneDevice d(id);
  SP_PROPCHANGE_PARAMS p{};
  p.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE};
  p.StateChange = state;
  p.Scope = DICS_FLAG_GLOBAL;
  bool ok = d.ok && SetupDiSetClassInstallParamsW(d.set, &d.dev, &p.ClassInstallHeader, sizeof p) &&
            SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, d.set, &d.dev);
  return ok ? 0 : GetLastError();
}

struct ToolRun {
  int exitCode;
  std::string output;
};
ToolRun pnputil(const std::string &args) {
  std::string cmd = std::string(std::getenv("BV_BIN_DIR") ? std::getenv("BV_BIN_DIR") : ".") +
                    "/System32/pnputil.exe " + args;
  ToolRun r{-1, {}};
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) r.output.append(buf, n);
  int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

} // namespace

TEST_F(DeviceTest, InfClassComesFromTheVersionSection) {
  std::u16string inf = w(fixture("brimport.inf")), noClass = w(fixture("noclass.inf")), missing = w(fixture("x.inf"));
  GUID cls{};
  WCHAR name[MAX_CLASS_NAME_LEN];
  DWORD needed = 0;
  ASSERT_TRUE(SetupDiGetINFClassW(inf.c_str(), &cls, name, MAX_CLASS_NAME_LEN, &needed));
  EXPECT_EQ(emu::toUtf8(name), "Ports");
  EXPECT_TRUE(emu::dev::sameGuid(cls, GUID_DEVCLASS_PORTS));
  EXPECT_FALSE(SetupDiGetINFClassW(inf.c_str(), &cls, name, 3, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, 6u);
  EXPECT_FALSE(SetupDiGetINFClassW(noClass.c_str(), &cls, name, MAX_CLASS_NAME_LEN, nullptr));
  EXPECT_FALSE(SetupDiGetINFClassW(missing.c_str(), &cls, name, MAX_CLASS_NAME_LEN, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceTest, RootNodesGetGeneratedIdsAndTheDriverInstallsOnEveryMatch) {
  std::string first = registerRootNode(fixture("brimvirt.inf"), "Root\\BrimVirtualBus");
  std::string second = registerRootNode(fixture("brimvirt.inf"), "Root\\BrimVirtualBus");
  ASSERT_EQ(first, "ROOT\\SYSTEM\\0000");
  ASSERT_EQ(second, "ROOT\\SYSTEM\\0001");
  EXPECT_EQ(emu::dev::findNode(first)->problem, static_cast<DWORD>(CM_PROB_FAILED_INSTALL)); // no driver yet
  EXPECT_EQ(emu::dev::propertyStrings(first, DEVPKEY_Device_HardwareIds), std::vector<std::string>{"Root\\BrimVirtualBus"});

  std::u16string hw = w("root\\brimvirtualbus"), relative = w("brimvirt.inf"), full = w(fixture("brimvirt.inf"));
  BOOL reboot = TRUE;
  for (const std::u16string &notFull : {relative, w("C:/Drivers/brimvirt.inf")}) {
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, hw.c_str(), notFull.c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, hw.c_str(), full.c_str(), INSTALLFLAG_FORCE, &reboot));
  EXPECT_FALSE(reboot);
  for (const std::string &id : {first, second}) {
    std::optional<emu::dev::NodeInfo> n = emu::dev::findNode(id);
    EXPECT_EQ(n->problem, 0u);
    EXPECT_TRUE(n->status & DN_STARTED);
    EXPECT_EQ(driverDescInRegistry(id), "Brimvault Virtual Bus");
  }
  std::u16string nobody = w("Root\\NoSuchDevice");
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, nobody.c_str(), full.c_str(), 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(DeviceTest, RemovalTakesTheSubtreeOrWaitsForARestartWhenInUse) {
  std::string classKey = kClassRoot + emu::dev::findNode(kSerialPort)->driverKey;
  ASSERT_TRUE(emu::regGetString(classKey, "DriverDesc"));
  {
    OneDevice d(kComposite);
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, d.set, &d.dev));
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(d.set, &d.dev, &params));
    EXPECT_FALSE(params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART));
  }
  EXPECT_FALSE(emu::dev::findNode(kComposite));
  EXPECT_FALSE(emu::dev::findNode(kSerialPort)); // its functions went with it
  EXPECT_FALSE(emu::regGetString(classKey, "DriverDesc"));

  ASSERT_TRUE(emu::dev::setInUse(kHub, true));
  OneDevice hub(kHub);
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, hub.set, &hub.dev));
  SP_DEVINSTALL_PARAMS_W params{};
  params.cbSize = sizeof params - 2;
  EXPECT_FALSE(SetupDiGetDeviceInstallParamsW(hub.set, &hub.dev, &params));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  params.cbSize = sizeof params;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(hub.set, &hub.dev, &params));
  EXPECT_TRUE(params.Flags & DI_NEEDREBOOT);
  EXPECT_EQ(emu::dev::findNode(kHub)->problem, static_cast<DWORD>(CM_PROB_WILL_BE_REMOVED));
}

TEST_F(DeviceTest, PropertyChangeDisablesEnablesAndRestarts) {
  ASSERT_EQ(propertyChange(kSerialPort, DICS_DISABLE), 0u);
  EXPECT_EQ(emu::dev::findNode(kSerialPort)->problem, static_cast<DWORD>(CM_PROB_DISABLED));
  ASSERT_EQ(propertyChange(kSerialPort, DICS_ENABLE), 0u);
  ASSERT_EQ(propertyChange(kSerialPort, DICS_PROPCHANGE), 0u);
  std::optional<emu::dev::NodeInfo> n = emu::dev::findNode(kSerialPort);
  EXPECT_EQ(n->problem, 0u);
  EXPECT_TRUE(n->status & DN_STARTED);
  EXPECT_EQ(n->restarts, 2u);

  // Without class install parameters the request has nothing to do; a device that is gone cannot change.
  OneDevice d(kSerialPort);
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, d.set, &d.dev));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));
  EXPECT_EQ(propertyChange(kUnplugged, DICS_ENABLE), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(DeviceTest, CompatibleDriversComeFromTheStoreAndInstallOnSelection) {
  std::string published;
  ASSERT_EQ(emu::dev::addDriverPackage(fixture("brimport_v1.inf"), &published), 0u);
  OneDevice d(kSerialPort);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(d.set, &d.dev, SPDIT_COMPATDRIVER));
  std::vector<SP_DRVINFO_DATA_W> drivers;
  SP_DRVINFO_DATA_W drv{};
  drv.cbSize = sizeof(SP_DRVINFO_DATA_V1_W) + 4;
  EXPECT_FALSE(SetupDiEnumDriverInfoW(d.set, &d.dev, SPDIT_COMPATDRIVER, 0, &drv));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  drv.cbSize = sizeof drv;
  for (DWORD i = 0; SetupDiEnumDriverInfoW(d.set, &d.dev, SPDIT_COMPATDRIVER, i, &drv); ++i) drivers.push_back(drv);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  ASSERT_EQ(drivers.size(), 2u);
  for (const SP_DRVINFO_DATA_W &x : drivers) {
    EXPECT_EQ(emu::toUtf8(x.Description), "Brimvault Serial Port");
    EXPECT_EQ(emu::toUtf8(x.ProviderName), "Brimvault");
  }
  EXPECT_EQ(drivers[0].DriverVersion, (2ull << 48) | (4ull << 32) | 1ull); // 2.4.0.1
  EXPECT_EQ(drivers[1].DriverVersion, (1ull << 48) | (9ull << 32) | (3ull << 16));
  // 03/14/2025 as a FILETIME: 133863840000000000 (100 ns units since 1601).
  EXPECT_EQ((ULONGLONG(drivers[0].DriverDate.dwHighDateTime) << 32) | drivers[0].DriverDate.dwLowDateTime,
            133863840000000000ull);

  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_INSTALLDEVICE, d.set, &d.dev));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
  ASSERT_TRUE(SetupDiSetSelectedDriverW(d.set, &d.dev, &drivers[1]));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_INSTALLDEVICE, d.set, &d.dev));
  EXPECT_EQ(driverDescInRegistry(kSerialPort), "Brimvault Serial Port");
  std::optional<emu::dev::PropertyValue> version = emu::dev::property(kSerialPort, DEVPKEY_Device_DriverVersion);
  ASSERT_TRUE(version);
  EXPECT_EQ(emu::dev::propertyStrings(kSerialPort, DEVPKEY_Device_DriverVersion), std::vector<std::string>{"1.9.3.0"});
  EXPECT_TRUE(SetupDiDestroyDriverInfoList(d.set, &d.dev, SPDIT_COMPATDRIVER));
}

TEST_F(DeviceTest, PnputilAddsListsAndInstallsOnTheSameStore) {
  ToolRun add = pnputil("/add-driver " + fixture("brimbridge.inf") + " /install");
  EXPECT_EQ(add.exitCode, 0) << add.output;
  EXPECT_NE(add.output.find("Published Name:         oem1.inf"), std::string::npos) << add.output;
  EXPECT_EQ(emu::dev::findNode(kBridge)->problem, 0u);
  EXPECT_EQ(driverDescInRegistry(kBridge), "Brimvault Flash Bridge");

  ToolRun again = pnputil("/add-driver " + fixture("brimbridge.inf") + " /install");
  EXPECT_EQ(again.exitCode, ERROR_NO_MORE_ITEMS & 0xFF); // nothing left to update (the host keeps 8 bits)
  EXPECT_NE(again.output.find("Already exists"), std::string::npos);

  ToolRun list = pnputil("/enum-drivers");
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.output.find("Published Name:     oem1.inf\nOriginal Name:      brimbridge.inf\n"
                             "Provider Name:      Brimvault\nClass Name:         USBDevice\n"
                             "Class GUID:         {88bae032-5a81-49f0-bc3d-a4ff138216d6}\n"
                             "Driver Version:     01/20/2025 1.0.2.0\n"),
            std::string::npos)
      << list.output;
  EXPECT_NE(pnputil("/add-driver " + fixture("missing.inf")).exitCode, 0);
}

namespace {

// Every node with its state and names: what a refused request must leave as it was.
std::string treeState() {
  std::string out;
  for (const emu::dev::NodeInfo &n : emu::dev::nodes()) {
    out += n.instanceId + " " + std::to_string(n.problem) + " " + std::to_string(n.status) + " " + n.driverKey;
    for (const std::string &name : emu::dev::propertyStrings(n.instanceId, DEVPKEY_Device_FriendlyName))
      out += " " + name;
    out += "\n";
  }
  return out;
}

} // namespace

TEST_F(DeviceTest, ChangesToTheTreeNeedAdministratorRightsReadingDoesNot) {
  const std::string before = treeState();
  const size_t packages = emu::dev::driverPackages().size();
  for (const emu::Account &account : {testenv::standardUser(), testenv::unelevatedUser()}) {
    testenv::ScopedAccount as(account);
    EXPECT_EQ(propertyChange(kSerialPort, DICS_DISABLE), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(registerRootNode(fixture("brimvirt.inf"), "Root\\BrimVirtualBus").empty());
    OneDevice d(kComposite);
    ASSERT_TRUE(d.ok);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, d.set, &d.dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const char16_t name[] = u"Renamed";
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(d.set, &d.dev, SPDRP_FRIENDLYNAME,
                                                   reinterpret_cast<const BYTE *>(name), sizeof name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::u16string hw = w("USB\\VID_1209&PID_B705"), inf = w(fixture("brimbridge.inf"));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, hw.c_str(), inf.c_str(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ToolRun add = pnputil("/add-driver " + fixture("brimbridge.inf") + " /install");
    EXPECT_EQ(add.exitCode, ERROR_ACCESS_DENIED);
    EXPECT_NE(add.output.find("Access is denied."), std::string::npos) << add.output;

    WCHAR desc[64];
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(d.set, &d.dev, SPDRP_DEVICEDESC, nullptr,
                                                  reinterpret_cast<BYTE *>(desc), sizeof desc, nullptr));
    EXPECT_EQ(pnputil("/enum-drivers").exitCode, 0);
  }
  EXPECT_EQ(treeState(), before);
  EXPECT_EQ(emu::dev::driverPackages().size(), packages);
}
