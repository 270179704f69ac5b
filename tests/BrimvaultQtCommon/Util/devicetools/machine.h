// A machine of the test's own with the shared device fixture loaded, and the log since the test began.
#pragma once

#include <gtest/gtest.h>

#include <QString>

#include <string>
#include <vector>

#include "../logcapture.h"
#include "../qtprint.h"
#include "emu/devices.h"
#include "emu/emu.h"

class DeviceMachine : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override { emu::clearFailures(); }

  // A file of tests/fixtures/devices, as a host path.
  static std::string fixture(const std::string &name);
  static std::vector<std::string> messages() { return logcapture::messagesSinceMark(); }
  // The same lines as "E function | message": level letter, the function that logged, the text.
  static std::vector<std::string> logged();
  // How often the stand-in was asked for this call since the test began.
  static int calls(const std::string &name);
  static emu::dev::NodeInfo node(const std::string &id);
  static QString link(const std::string &id); // the device's first interface

  static constexpr const char *kRoot = "USB\\VID_1209&PID_B701\\BRIM00042"; // composite, usbccgp
  static constexpr const char *kSerialFn = "USB\\VID_1209&PID_B701&MI_00\\6&2F3A4B5C&0&0000";
  static constexpr const char *kDiagFn = "USB\\VID_1209&PID_B701&MI_01\\6&2F3A4B5C&0&0001";
  static constexpr const char *kSensor = "USB\\VID_1209&PID_B704\\6&3A1F2B&0&1";  // problem 43, no friendly name
  static constexpr const char *kBridge = "USB\\VID_1209&PID_B705\\BVBRIDGE01";    // no driver
  static constexpr const char *kPhone = "USB\\VID_1209&PID_B702\\RZ8N40ABCDE";    // WPD
  static constexpr const char *kKeypad = "USB\\VID_1209&PID_B703\\7&2C2B9B2&0&2"; // disabled
  static constexpr const char *kOldPort = "USB\\VID_1209&PID_B701&MI_00\\6&77E1A0C&0&0000"; // not present
  static constexpr const char *kHub = "USB\\VID_05E3&PID_0610\\5&1A2B3C4D&0&4"; // parent of the bridge and sensor
  static constexpr const char *kSerialFnHwId = "USB\\VID_1209&PID_B701&MI_00";
};

bool contains(const std::vector<std::string> &lines, const std::string &line);
bool startsWith(const std::string &line, const std::string &prefix);
