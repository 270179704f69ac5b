#include "machine.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

#include "testenv.h"

void DeviceMachine::SetUp() {
  // The nested waits of the driver binding need an application object.
  static int argc = 1;
  static char name[] = "devicetools_tests";
  static char *argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);

  static int serial = 0;
  const std::string root = testenv::root() + "/m" + std::to_string(++serial);
  ::mkdir(root.c_str(), 0777);
  ::setenv("WIN32_ROOT", root.c_str(), 1);
  emu::resetMachineRoot();
  emu::clearFailures();
  std::string error;
  ASSERT_TRUE(emu::dev::loadFile(fixture("machine.json"), &error)) << error;
  // pnputil.exe is found on PATH in the machine's System32, as on Windows.
  static const std::string original = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (emu::hostPath("C:\\Windows\\System32") + ":" + original).c_str(), 1);
  emu::clearCallJournal();
  logcapture::open();
  logcapture::mark();
}

std::string DeviceMachine::fixture(const std::string &name) { return std::string(BV_DEVICE_FIXTURES) + "/" + name; }

std::vector<std::string> DeviceMachine::logged() {
  std::vector<std::string> out;
  for (const logcapture::Line &l : logcapture::sinceMark())
    out.push_back(l.level + " " + l.function + " | " + l.message);
  return out;
}

int DeviceMachine::calls(const std::string &name) {
  const auto journal = emu::callJournal();
  return static_cast<int>(std::count(journal.begin(), journal.end(), name));
}

emu::dev::NodeInfo DeviceMachine::node(const std::string &id) {
  auto n = emu::dev::findNode(id);
  EXPECT_TRUE(n.has_value()) << id;
  return n.value_or(emu::dev::NodeInfo{});
}

QString DeviceMachine::link(const std::string &id) {
  const auto n = node(id);
  return n.interfaces.empty() ? QString() : QString::fromStdString(n.interfaces[0].symbolicLink);
}

bool contains(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool startsWith(const std::string &line, const std::string &prefix) { return line.rfind(prefix, 0) == 0; }
