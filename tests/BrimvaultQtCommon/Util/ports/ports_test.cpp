// Port owners and process names against the stand-in's endpoint tables (rows added to the machine's state, the
// host's own sockets hidden unless a case opens one) and real processes named like Windows programs.
#include <gtest/gtest.h>

#include <windows.h>
#include <tcpmib.h>

#include <QCoreApplication>

#include "Util/miscutil.h"
#include "emu/emu.h"
#include "emu/iphlp.h"
#include "logcapture.h"
#include "testenv.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// Beside the record's own namespace, so that QList's comparison and gtest's printer find them.
static bool operator==(const PortOccupyState &a, const PortOccupyState &b) {
  return a.port == b.port && a.pid == b.pid && a.processName == b.processName && a.occupied == b.occupied;
}

static void PrintTo(const PortOccupyState &s, std::ostream *out) {
  *out << "{" << s.port << ", " << s.pid << ", \"" << s.processName.toStdString() << "\", " << s.occupied << "}";
}

namespace {

const PortOccupyState kFree18443{18443, -1, QString(), false};

// A real process whose image is C:\Tools\<name> (a copy of sleep), ended with the fixture.
class Program {
public:
  explicit Program(const std::string &name) {
    const std::string dir = testenv::root() + "/drive_c/Tools";
    if (std::system(("mkdir -p '" + dir + "' && cp -n /bin/sleep '" + dir + "/" + name + "'").c_str()) != 0) return;
    std::u16string line = u"\"C:\\Tools\\" + emu::toUtf16(name) + u"\" 60";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (CreateProcessW(nullptr, reinterpret_cast<LPWSTR>(line.data()), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &si, &pi_))
      CloseHandle(pi_.hThread);
  }
  ~Program() {
    if (!pi_.hProcess) return;
    TerminateProcess(pi_.hProcess, 1);
    WaitForSingleObject(pi_.hProcess, INFINITE);
    CloseHandle(pi_.hProcess);
  }
  DWORD pid() const { return pi_.dwProcessId; }

private:
  PROCESS_INFORMATION pi_{};
};

constexpr uint32_t kLan4 = 0x0A000004, kLan5 = 0x0A000005; // 10.0.0.4, 10.0.0.5; 0 is 0.0.0.0

void add(DWORD state, uint32_t addr, uint16_t port, DWORD pid) {
  ASSERT_EQ(emu::iphlp::addTcpRow({state, addr, port, state == MIB_TCP_STATE_LISTEN ? 0 : kLan4 + 5, 50000, pid}), 0u);
}

void add(uint32_t addr, uint16_t port, DWORD pid) { ASSERT_EQ(emu::iphlp::addUdpRow({addr, port, pid}), 0u); }

// Every case sees the added rows alone; the rows go with the case.
class Ports : public ::testing::Test {
protected:
  void SetUp() override {
    logcapture::open();
    ASSERT_EQ(emu::iphlp::showHostSockets(false), 0u);
  }
  void TearDown() override {
    std::remove((emu::machineRoot() + "/iphlp/rows").c_str());
    emu::clearFailures();
  }
};

DWORD self() { return static_cast<DWORD>(QCoreApplication::applicationPid()); }

TEST_F(Ports, TcpListenerIsFoundBehindTimeWaitRowsOfProcessZeroAndAListenerIsPreferred) {
  Program app("app.exe");
  Program other("other.exe");
  ASSERT_NE(app.pid(), 0u);
  add(MIB_TCP_STATE_LISTEN, 0, 18080, app.pid());
  add(MIB_TCP_STATE_TIME_WAIT, kLan5, 18080, 0); // sorts last on the port
  add(MIB_TCP_STATE_TIME_WAIT, kLan5, 18443, 0);
  add(MIB_TCP_STATE_ESTAB, kLan4, 18081, other.pid()); // an occupying row before the listener
  add(MIB_TCP_STATE_LISTEN, kLan5, 18081, app.pid());
  add(MIB_TCP_STATE_CLOSED, kLan5, 18082, other.pid());

  const PortOccupyState app18080{18080, static_cast<qint32>(app.pid()), "app.exe", true};
  EXPECT_EQ(MiscUtil::getTcpPortOccupyState({18080, 18443, 5000}, true, QString()),
            (QList<PortOccupyState>{app18080, kFree18443, {5000, -1, QString(), false}}));
  // Request order kept, duplicates answered twice, a number above 65535 never matches the low 16 bits.
  EXPECT_EQ(MiscUtil::getTcpPortOccupyState({18081, 18082, 18080, 18080, 65536 + 18080}, true, QString()),
            (QList<PortOccupyState>{{18081, static_cast<qint32>(app.pid()), "app.exe", true},
                                    {18082, -1, QString(), false},
                                    app18080,
                                    app18080,
                                    {65536 + 18080, -1, QString(), false}}));
}

TEST_F(Ports, ExcludedProcessesAndTheEmptyTcpAnswer) {
  Program app("app.exe");
  add(MIB_TCP_STATE_LISTEN, 0, 18080, self());
  add(MIB_TCP_STATE_LISTEN, 0, 18443, app.pid());
  add(0, 18080, self());

  // Only our own rows left out: a port only we hold is free; excludeSelf ignores the name.
  EXPECT_EQ(MiscUtil::getTcpPortOccupyState({18080, 18443}, true, "app.exe"),
            (QList<PortOccupyState>{{18080, -1, QString(), false},
                                    {18443, static_cast<qint32>(app.pid()), "app.exe", true}}));
  // Excluded by name, case ignored.
  EXPECT_EQ(MiscUtil::getTcpPortOccupyState({18443}, false, "APP.EXE"), (QList<PortOccupyState>{kFree18443}));

  // Every row excluded: TCP answers with no entry at all, UDP with one free entry per port.
  emu::iphlp::removeTcpRows(18443);
  EXPECT_TRUE(MiscUtil::getTcpPortOccupyState({18080, 18443}, true, QString()).isEmpty());
  EXPECT_EQ(MiscUtil::getUdpPortOccupyState({18080, 18443}, true, QString()),
            (QList<PortOccupyState>{{18080, -1, QString(), false}, kFree18443}));

  // No process named: process 0 is excluded and the table is still read.
  emu::clearCallJournal();
  EXPECT_EQ(MiscUtil::getTcpPortOccupyState({18080}, false, QString()),
            (QList<PortOccupyState>{{18080, static_cast<qint32>(self()), MiscUtil::getProcessNameById(self()), true}}));
  const auto journal = emu::callJournal();
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "GetTcpTable2"), 2);
  EXPECT_TRUE(MiscUtil::getTcpPortOccupyState({}, false, QString()).isEmpty());
}

TEST_F(Ports, UdpPortIsHeldByItsFirstOwnerAndNeverByProcessZero) {
  Program first("first.exe");
  Program second("second.exe");
  add(0, 18053, first.pid());
  add(kLan5, 18053, second.pid()); // sorts last
  add(0, 18443, 0);
  EXPECT_EQ(MiscUtil::getUdpPortOccupyState({18053, 18443}, true, QString()),
            (QList<PortOccupyState>{{18053, static_cast<qint32>(first.pid()), "first.exe", true}, kFree18443}));
}

TEST_F(Ports, TableFailuresAreLoggedWithTheirCodeAndGiveNoAnswer) {
  add(MIB_TCP_STATE_LISTEN, 0, 18080, 1);
  add(0, 18080, 1);
  logcapture::mark();
  emu::injectFailure("GetTcpTable2", ERROR_INSUFFICIENT_BUFFER, 2); // the table grew after the size was taken
  EXPECT_TRUE(MiscUtil::getTcpPortOccupyState({18080}, true, QString()).isEmpty());
  emu::injectFailure("GetExtendedUdpTable", ERROR_INSUFFICIENT_BUFFER, 2);
  EXPECT_TRUE(MiscUtil::getUdpPortOccupyState({18080}, true, QString()).isEmpty());
  const auto lines = logcapture::sinceMark();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "GetTcpTable2 failed with 0x7a");
  EXPECT_EQ(lines[0].level, "E");
  EXPECT_EQ(lines[0].function, "getTcpPortOccupyState");
  EXPECT_EQ(lines[1].message, "GetExtendedUdpTable failed: 0x7a");
}

TEST(ProcessNames, TheLastMatchIgnoringCaseAndTheFirstIdMatch) {
  Program one("notepad.exe");
  Program two("notepad.exe");
  ASSERT_NE(one.pid(), 0u);
  ASSERT_NE(two.pid(), 0u);
  EXPECT_EQ(MiscUtil::getProcessIdByName("NOTEPAD.EXE"), two.pid());
  EXPECT_EQ(MiscUtil::getProcessNameById(one.pid()), "notepad.exe");
  EXPECT_EQ(MiscUtil::getProcessIdByName("wordpad.exe"), 0u);
  EXPECT_EQ(MiscUtil::getProcessNameById(0x7FFFFFF0), QString());
  emu::injectFailure("CreateToolhelp32Snapshot", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(MiscUtil::getProcessIdByName("notepad.exe"), 0u);
  emu::clearFailures();
}

} // namespace
