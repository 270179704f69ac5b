// Enabling, disabling and restarting devices; driver packages through pnputil.exe on the machine's PATH.
#include "Util/devicetools.h"
#include "machine.h"
#include "testenv.h"

namespace {

using DeviceControl = DeviceMachine;

TEST_F(DeviceControl, DisableShowsAsProblem22AndEnableClearsIt) {
  EXPECT_TRUE(DeviceTools::enableDevice(kSerialFn, false));
  bool found = false;
  DeviceProblemList problems;
  ASSERT_TRUE(DeviceTools::checkDeviceStatusByInstanceID({kSerialFn}, &found, problems, false));
  ASSERT_EQ(problems.size(), 1);
  EXPECT_EQ(DeviceTools::getProblemDescription(problems[0]->problemCode), "This device is disabled.");

  EXPECT_TRUE(DeviceTools::enableDevice(kKeypad, true));
  EXPECT_EQ(node(kKeypad).problem, 0u);
  const unsigned restarts = node(kKeypad).restarts;
  EXPECT_TRUE(DeviceTools::restartDeviceUsingPropertyChange(kKeypad));
  EXPECT_EQ(node(kKeypad).restarts, restarts + 1);

  EXPECT_FALSE(DeviceTools::restartDeviceUsingPropertyChange("ROOT\\NOTHING\\0000"));
  EXPECT_FALSE(DeviceTools::enableDevice("ROOT\\NOTHING\\0000", true));
  const auto lines = logged();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(startsWith(lines[0], "E initSetupApiByInstanceId | SetupDiEnumDeviceInfo failed: 0x")) << lines[0];
  EXPECT_EQ(lines[1], "E restartDeviceUsingPropertyChange | initSetupApiByInstanceId failed");
  EXPECT_EQ(lines[3], "E enableDevice | initSetupApiByInstanceId failed");
}

TEST_F(DeviceControl, EnableFailsWhenTheStatusCannotBeRead) {
  emu::injectFailure("CM_Get_DevNode_Status", CR_NO_SUCH_DEVNODE);
  EXPECT_FALSE(DeviceTools::enableDevice(kKeypad, true));
  EXPECT_EQ(node(kKeypad).problem, 22u);
  EXPECT_EQ(logged(), std::vector<std::string>{"E enableDevice | CM_Get_DevNode_Status failed: 0xd"});
  EXPECT_EQ(calls("SetupDiCallClassInstaller"), 0);
}

TEST_F(DeviceControl, WithoutAdministratorRightsNothingChanges) {
  testenv::ScopedAccount as(testenv::unelevatedUser());
  const unsigned restarts = node(kKeypad).restarts;
  EXPECT_FALSE(DeviceTools::enableDevice(kKeypad, true));
  EXPECT_FALSE(DeviceTools::restartDeviceUsingPropertyChange(kKeypad));
  EXPECT_EQ(node(kKeypad).problem, 22u);
  EXPECT_EQ(node(kKeypad).restarts, restarts);
  EXPECT_EQ(logged(),
            (std::vector<std::string>{"E enableDevice | SetupDiCallClassInstaller failed: 0x5",
                                      "E restartDeviceUsingPropertyChange | SetupDiCallClassInstaller failed: 0x5"}));

  logcapture::mark();
  const size_t packages = emu::dev::driverPackages().size();
  EXPECT_FALSE(DeviceTools::installDriverWithPnPUtil(QString::fromStdString(fixture("brimport_v1.inf")), true));
  const auto lines = logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "I installDriverWithPnPUtil | Process exited with code: 5");
  EXPECT_NE(lines[1].find("Access is denied."), std::string::npos) << lines[1];
  EXPECT_EQ(emu::dev::driverPackages().size(), packages);
  EXPECT_EQ(node(kSerialFn).installs, 0u);
}

using PnpUtil = DeviceMachine;

TEST_F(PnpUtil, AddsAndInstallsAPackageThenFindsItInTheList) {
  EXPECT_FALSE(DeviceTools::isDriverInstalled("brimport_v1.inf"));
  EXPECT_TRUE(DeviceTools::installDriverWithPnPUtil(QString::fromStdString(fixture("brimport_v1.inf")), true));
  EXPECT_TRUE(contains(messages(), "Process exited with code: 0"));
  for (const auto &line : logcapture::sinceMark())
    EXPECT_TRUE(!startsWith(line.message, "Process exited with code: ") || line.level == "I") << "information level";
  EXPECT_EQ(node(kSerialFn).installs, 1u); // /install put it on the matching device
  EXPECT_TRUE(DeviceTools::isDriverInstalled("BRIMPORT_V1.INF"));
}

TEST_F(PnpUtil, MissingFilesAndRejectedPackagesFail) {
  EXPECT_FALSE(DeviceTools::installDriverWithPnPUtil("C:\\Drivers\\missing.inf", false));
  EXPECT_EQ(messages(), std::vector<std::string>{"Driver file does not exist: C:\\Drivers\\missing.inf"});

  logcapture::mark();
  const size_t packages = emu::dev::driverPackages().size();
  EXPECT_FALSE(DeviceTools::installDriverWithPnPUtil(QString::fromStdString(fixture("noclass.inf")), false));
  const auto lines = messages();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(startsWith(lines.front(), "Process exited with code: ")) << lines.front();
  EXPECT_NE(lines.front(), "Process exited with code: 0");
  EXPECT_EQ(emu::dev::driverPackages().size(), packages);
}

} // namespace
