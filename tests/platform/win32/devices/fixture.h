// The shared fixture machine, loaded fresh for each test, and small helpers over the device calls.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>

#include "emu/devices.h"
#include "emu/emu.h"

namespace devtest {

inline const char *const kComposite = "USB\\VID_1209&PID_B701\\BRIM00042";
inline const char *const kSerialPort = "USB\\VID_1209&PID_B701&MI_00\\6&2F3A4B5C&0&0000";
inline const char *const kUnplugged = "USB\\VID_1209&PID_B701&MI_00\\6&77E1A0C&0&0000";
inline const char *const kKeypad = "USB\\VID_1209&PID_B703\\7&2C2B9B2&0&2"; // disabled, no interfaces
inline const char *const kBridge = "USB\\VID_1209&PID_B705\\BVBRIDGE01";    // no driver
inline const char *const kHub = "USB\\VID_05E3&PID_0610\\5&1A2B3C4D&0&4";

inline std::string fixture(const char *name) { return std::string(BV_DEVICE_FIXTURES) + "/" + name; }

class DeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    emu::clearFailures();
    std::string error;
    ASSERT_TRUE(emu::dev::loadFile(fixture("machine.json"), &error)) << error;
  }
  void TearDown() override { emu::clearFailures(); }
};

inline std::u16string w(const std::string &s) { return emu::toUtf16(s); }

// A set holding one device, opened by instance id, with its element.
struct OneDevice {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA dev{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  bool ok = false;
  explicit OneDevice(const std::string &id) {
    std::u16string wid = w(id);
    ok = SetupDiOpenDeviceInfoW(set, wid.c_str(), nullptr, 0, &dev) != FALSE;
  }
  ~OneDevice() { SetupDiDestroyDeviceInfoList(set); }
};

} // namespace devtest
