// Harness of the service's process tests: a fresh machine per test, the service installed under the stand-in
// control manager, the stand-in core steered through its control file, and the service's effects read back (log
// lines, recorded statuses, the core's events, exit codes, frames on the socket).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include <QByteArray>
#include <QLocalSocket>

#include <functional>
#include <string>
#include <vector>

#include "emu/scm.h"

namespace servicetest {

constexpr char kServiceName[] = "BrimvaultService";
constexpr char kServerKey[] = "HKLM\\SOFTWARE\\Orlenta\\Brimvault\\server";
constexpr DWORD kLogoffMarker = 0x40010004;
// Ending a core, the service waits 20000 ms for its terminate copy, then 20000 ms for the core after the Ctrl+C;
// after a shut-down command only the latter.
constexpr char kEndingWait[] = "WaitForSingleObject:20000";

// Polls until done() holds; false after a generous limit that only a failure ever reaches.
bool waitUntil(const std::function<bool()> &done, int limitMs = 30000);

class ServiceTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Scales every stand-in wait of the programs started from now on (the 3000 ms and 20000 ms waits).
  void setTimeScale(double scale);
  // Lines "key=value" or "<launch>.key=value" for the stand-in core.
  void setCoreControl(const std::string &lines);
  // Hold points (emu/hold.h) for the processes of the next startService.
  void holdAt(const std::string &points) { holds = points; }
  // Installs and starts the service; `failures` goes to its processes as WIN32_FAIL.
  void startService(const std::string &failures = std::string(), const std::string &program = std::string());
  // Waits until the service is held at `point`, then until done() holds, and lets it go on: a timed wait of the
  // service that follows the point then finds its outcome decided, however slow the machine.
  bool letGoWhen(const std::string &point, const std::function<bool()> &done);
  // With holdAt(kEndingWait + "@1"): lets the service's wait for its terminate copy begin once the copy has ended
  // (the copy is known by its log).
  bool letCopyEnd();
  // The terminate copies of this machine that are still running.
  std::vector<DWORD> terminateCopies() const;

  // Text after " | " of every line of the service's log, and of the terminate copy's log.
  std::vector<std::string> serviceLog() const;
  std::vector<std::string> terminateLog() const;
  int count(const std::string &message) const;
  int countPrefix(const std::string &prefix) const;
  bool waitForLog(const std::string &message, int times = 1) const;

  // The core's event lines ("<pid> <event> ..."), the pid of its n-th launch (0 when none), and the event count.
  std::vector<std::string> coreEvents() const;
  int coreLaunches() const;
  DWORD corePid(int launch) const;
  bool coreHas(DWORD pid, const std::string &event) const;
  bool waitForCore(int launches) const;
  bool waitForCoreEvent(DWORD pid, const std::string &event) const;
  // Exit code recorded for an ended process; 0xFFFFFFFF while none is.
  DWORD exitCodeOf(DWORD pid) const;
  bool processAlive(DWORD pid) const;

  emu::scm::ServiceState state() const;
  std::vector<SERVICE_STATUS> statuses() const;
  emu::scm::ControlReply control(DWORD code, DWORD eventType = 0, DWORD session = 0);
  // Sends SERVICE_CONTROL_STOP and waits until the service process has ended.
  void stopService();
  bool waitServiceEnded() const;

  std::string root;
  std::string logFolder;
  std::string holds;
};

// A client of "Brimvault-Service-Socket".
class UiClient {
public:
  bool connect();
  void send(const QByteArray &frame);
  // Everything received until the service closes the connection.
  QByteArray readUntilClosed();

private:
  QLocalSocket socket;
};

// A test name from a WIN32_FAIL item: "CreateEventW=8@2" gives "CreateEventW_2".
std::string failureName(const std::string &failure);

QByteArray uiDeclaration();
QByteArray shutDownCommand();

} // namespace servicetest
