// Root-enumerated nodes created with their driver, and removal by instance id.
#include <devpkey.h>

#include <QDir>
#include <QFile>

#include "Util/devicetools.h"
#include "machine.h"
#include "testenv.h"

namespace {

// The driver package in a folder on the machine's C: drive, as an installer would leave it.
class Nodes : public DeviceMachine {
protected:
  void SetUp() override {
    DeviceMachine::SetUp();
    const QString folder = QString::fromStdString(emu::hostPath("C:\\Drivers"));
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(fixture("brimvirt.inf")), folder + "/brimvirt.inf"));
  }
  static std::vector<std::string> created() {
    std::vector<std::string> ids;
    for (const auto &n : emu::dev::nodes())
      if (startsWith(n.instanceId, "ROOT\\SYSTEM\\")) ids.push_back(n.instanceId);
    return ids;
  }
};

TEST_F(Nodes, CreatesANodeWithItsDriverFromAForwardSlashOrARelativePath) {
  // The driver update takes backslashes only: the forward slashes must have been turned.
  EXPECT_EQ(DeviceTools::CreateDevNodeAndInstallDriver("C:/Drivers/brimvirt.inf", "Root\\BrimVirtualBus"), 0);
  ASSERT_EQ(created().size(), 1u);
  const std::string id = created()[0];
  EXPECT_EQ(node(id).problem, 0u);
  EXPECT_EQ(emu::dev::propertyStrings(id, DEVPKEY_Device_DeviceDesc), std::vector<std::string>{"Brimvault Virtual Bus"});
  // One entry, its NUL and the list's NUL: (19 + 2) * 2 bytes.
  EXPECT_EQ(emu::dev::property(id, DEVPKEY_Device_HardwareIds)->data.size(), 42u);

  // The driver update needs the full path of what an installer names relative to its folder.
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(emu::hostPath("C:\\Drivers"))));
  const int rc = DeviceTools::CreateDevNodeAndInstallDriver("brimvirt.inf", "Root\\BrimVirtualBus");
  QDir::setCurrent(previous);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(created().size(), 2u);
}

TEST_F(Nodes, AFailedDriverInstallationLeavesNoNodeBehind) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    // No model of the INF carries this id, so the driver update finds nothing to install on.
    EXPECT_EQ(DeviceTools::CreateDevNodeAndInstallDriver("C:\\Drivers\\brimvirt.inf", "Root\\NoSuchBus"), -6);
    EXPECT_TRUE(created().empty()) << "attempt " << attempt;
    EXPECT_TRUE(startsWith(messages().back(), "UpdateDriverForPlugAndPlayDevices failed with 0x"));
  }
  logcapture::mark();
  EXPECT_EQ(DeviceTools::CreateDevNodeAndInstallDriver(QString::fromStdString(fixture("noclass.inf")), "X"), -1);
  EXPECT_EQ(calls("SetupDiCreateDeviceInfoList"), 2); // the class read failed first
  EXPECT_TRUE(startsWith(messages().back(), "SetupDiGetINFClass failed with 0x"));
}

TEST_F(Nodes, RemovalTakesTheSubtreeOrAsksForARestartWhenInUse) {
  bool restart = true;
  EXPECT_TRUE(DeviceTools::RemoveDeviceByInstanceIdEx(kRoot, &restart));
  EXPECT_FALSE(restart);
  EXPECT_FALSE(emu::dev::findNode(kSerialFn).has_value()); // the functions go with their device

  ASSERT_TRUE(emu::dev::setInUse(kKeypad, true));
  EXPECT_TRUE(DeviceTools::RemoveDeviceByInstanceIdEx(kKeypad, &restart));
  EXPECT_TRUE(restart);

  EXPECT_FALSE(DeviceTools::RemoveDeviceByInstanceIdEx("ROOT\\NOTHING\\0000", &restart));
  EXPECT_FALSE(restart);
  EXPECT_EQ(logged(),
            (std::vector<std::string>{"E RemoveDeviceByInstanceIdEx | DIF_REMOVE appears to have succeeded",
                                      "E RemoveDeviceByInstanceIdEx | reboot required after DIF_REMOVE",
                                      "E RemoveDeviceByInstanceIdEx | SetupDiOpenDeviceInfo failed: 0xe000020b"}));
}

TEST_F(Nodes, WithoutAdministratorRightsNoNodeIsCreatedOrRemoved) {
  testenv::ScopedAccount as(testenv::standardUser());
  EXPECT_EQ(DeviceTools::CreateDevNodeAndInstallDriver("C:\\Drivers\\brimvirt.inf", "Root\\BrimVirtualBus"), -5);
  EXPECT_TRUE(created().empty());
  bool restart = true;
  EXPECT_FALSE(DeviceTools::RemoveDeviceByInstanceIdEx(kKeypad, &restart));
  EXPECT_FALSE(restart);
  EXPECT_TRUE(emu::dev::findNode(kKeypad).has_value());
  EXPECT_EQ(logged(),
            (std::vector<std::string>{"E CreateDevNodeAndInstallDriver | SetupDiCallClassInstaller failed with 0x5",
                                      "E RemoveDeviceByInstanceIdEx | failed to invoke DIF_REMOVE: 0x5"}));
}

} // namespace
