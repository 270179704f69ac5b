// The description format and the tree's sharing: round trips, refused descriptions, INF models, the ANSI forms of
// texts, and a change made by win32ctl in another process seen by this one.
#include "fixture.h"

#include <devpkey.h>

#include <cstdio>
#include <sys/wait.h>

using namespace devtest;

namespace {

std::string run(const std::string &args, int *exitCode) {
  std::string cmd = std::string(std::getenv("BV_BIN_DIR") ? std::getenv("BV_BIN_DIR") : ".") + "/" + args;
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int status = pclose(p);
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

} // namespace

TEST_F(DeviceTest, TheStoredTreeLoadsBackAsTheSameTree) {
  ASSERT_TRUE(emu::dev::setEnabled(kSerialPort, false));
  ASSERT_TRUE(emu::dev::setProperty(kBridge, DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING, std::string("odd", 3)));
  std::vector<emu::dev::NodeInfo> before = emu::dev::nodes();
  std::optional<emu::dev::PropertyValue> odd = emu::dev::property(kBridge, DEVPKEY_Device_FriendlyName);
  std::string error;
  ASSERT_TRUE(emu::dev::loadJson(emu::dev::saveJson(), ".", &error)) << error;
  std::vector<emu::dev::NodeInfo> after = emu::dev::nodes();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].instanceId, before[i].instanceId);
    EXPECT_EQ(after[i].devInst, before[i].devInst);
    EXPECT_EQ(after[i].status, before[i].status);
    EXPECT_EQ(after[i].driverKey, before[i].driverKey);
    EXPECT_EQ(after[i].interfaces.size(), before[i].interfaces.size());
  }
  EXPECT_EQ(emu::dev::property(kBridge, DEVPKEY_Device_FriendlyName)->data, odd->data);
  EXPECT_EQ(emu::dev::driverPackages().size(), 1u);
}

TEST_F(DeviceTest, ABadDescriptionIsRefusedAndChangesNothing) {
  const char *bad[] = {
      R"({"nodes": [{"id": "USB\\A\\1", "parent": "USB\\NOT\\THERE"}]})",
      R"({"nodes": [{"id": "USB\\A\\1"}, {"id": "usb\\a\\1"}]})",
      R"({"nodes": [{"id": "USB\\A\\1", "classGuid": "{not-a-guid}"}]})",
      R"({"nodes": [{"id": "USB\\A\\1"}], "driverStore": [{"inf": "missing.inf"}]})",
      R"([1, 2])",
  };
  for (const char *json : bad) {
    std::string error;
    EXPECT_FALSE(emu::dev::loadJson(json, BV_DEVICE_FIXTURES, &error)) << json;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(emu::dev::findNode(kComposite)); // the fixture is still there
}

TEST_F(DeviceTest, InfModelsUseTheArchitectureSectionAndStrings) {
  std::string published;
  bool existed = true;
  ASSERT_EQ(emu::dev::addDriverPackage(fixture("brimbridge.inf"), &published, &existed), 0u);
  EXPECT_EQ(published, "oem1.inf");
  EXPECT_FALSE(existed);
  emu::dev::DriverPackageInfo p = emu::dev::driverPackages().back();
  EXPECT_EQ(p.className, "USBDevice");
  EXPECT_EQ(p.date, "01/20/2025");
  EXPECT_EQ(p.version, "1.0.2.0");
  ASSERT_EQ(p.models.size(), 1u);
  EXPECT_EQ(p.models[0].description, "Brimvault Flash Bridge");
  EXPECT_EQ(p.models[0].manufacturer, "Brimvault Devices");
  EXPECT_EQ(p.models[0].hardwareIds, (std::vector<std::string>{"USB\\VID_1209&PID_B705&REV_0001", "USB\\VID_1209&PID_B705"}));
  EXPECT_EQ(emu::dev::addDriverPackage(fixture("noclass.inf"), &published), static_cast<DWORD>(ERROR_GENERAL_SYNTAX));
}

TEST_F(DeviceTest, AnsiFormsUseTheWindowsCodePage) {
  ASSERT_TRUE(emu::dev::setProperty(kSerialPort, DEVPKEY_Device_FriendlyName, DEVPROP_TYPE_STRING,
                                    std::string(reinterpret_cast<const char *>(u"Z\u00e4hler \u2013 \u2192"), 20) +
                                        std::string(2, '\0')));
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, "usb\\vid_1209&pid_b701&mi_00\\6&2f3a4b5c&0&0000", nullptr, 0, &dev));
  char name[32] = {};
  DWORD type = 0, needed = 0;
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<PBYTE>(name),
                                                sizeof name, &needed));
  EXPECT_EQ(std::string(name), "Z\xe4hler \x96 ?");
  EXPECT_EQ(needed, 11u);
  char id[MAX_DEVICE_ID_LEN];
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof id, &needed));
  EXPECT_EQ(std::string(id), kSerialPort); // the stored case, whatever case opened it
  SetupDiDestroyDeviceInfoList(set);

  ULONG len = 0, regType = 0;
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(dev.DevInst, CM_DRP_DRIVER, &regType, nullptr, &len, 0),
            static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  std::string key(len, 'x');
  ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(dev.DevInst, CM_DRP_DRIVER, &regType, key.data(), &len, 0),
            static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(regType, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(key, emu::dev::findNode(kSerialPort)->driverKey + std::string(1, '\0'));
}

TEST_F(DeviceTest, ChangesFromAnotherProcessAreSeenAtOnce) {
  int rc = -1;
  run(std::string("win32ctl device-disable '") + kSerialPort + "'", &rc);
  ASSERT_EQ(rc, 0);
  std::u16string id = w(kSerialPort);
  DEVINST dn = 0;
  ASSERT_EQ(CM_Locate_DevNodeW(&dn, id.data(), 0), static_cast<CONFIGRET>(CR_SUCCESS));
  ULONG status = 0, problem = 0;
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
  std::string list = run("win32ctl device-list", &rc);
  EXPECT_NE(list.find(std::string("Instance ID:                ") + kSerialPort +
                      "\nDevice Description:         USB Serial Device\nClass Name:                 Ports\n"),
            std::string::npos);
  EXPECT_NE(list.find("Status:                     Disabled\nProblem Code:               22 (0x16) [CM_PROB_DISABLED]\n"),
            std::string::npos)
      << list;
  run("win32ctl device-show 'USB\\NO\\SUCH'", &rc);
  EXPECT_EQ(rc, 1);
}
