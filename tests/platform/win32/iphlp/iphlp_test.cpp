// The IP helper tables against real sockets of this process and rows added to the machine's state.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "emu/emu.h"
#include "emu/iphlp.h"
#include "testenv.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// The size protocol: ask, allocate, read; a table that grew in between is asked for again.
std::vector<MIB_TCPROW2> tcpRows() {
  for (;;) {
    ULONG size = 0;
    EXPECT_EQ(GetTcpTable2(nullptr, &size, TRUE), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint8_t> buffer(size);
    auto *table = reinterpret_cast<PMIB_TCPTABLE2>(buffer.data());
    if (GetTcpTable2(table, &size, TRUE) == NO_ERROR)
      return std::vector<MIB_TCPROW2>(table->table, table->table + table->dwNumEntries);
  }
}

std::vector<MIB_UDPROW_OWNER_PID> udpRows() {
  for (;;) {
    DWORD size = 0;
    GetExtendedUdpTable(nullptr, &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    std::vector<uint8_t> buffer(size);
    auto *table = reinterpret_cast<PMIB_UDPTABLE_OWNER_PID>(buffer.data());
    if (GetExtendedUdpTable(table, &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0) == NO_ERROR)
      return std::vector<MIB_UDPROW_OWNER_PID>(table->table, table->table + table->dwNumEntries);
  }
}

// A loopback socket of `type` on an ephemeral port (host order in *port).
int boundSocket(int type, uint16_t *port) {
  int fd = ::socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin_port);
  return fd;
}

const MIB_TCPROW2 *findTcp(const std::vector<MIB_TCPROW2> &rows, uint16_t localPort, DWORD state) {
  for (const auto &r : rows)
    if (r.dwLocalPort == htons(localPort) && r.dwState == state) return &r;
  return nullptr;
}

TEST(TcpTable, RealSocketsShowTheirOwnerSortedAndTheClosingSideLeavesTimeWaitOfProcessZero) {
  uint16_t port = 0, clientPort = 0;
  int listener = boundSocket(SOCK_STREAM, &port);
  ASSERT_EQ(::listen(listener, 4), 0);
  int client = boundSocket(SOCK_STREAM, &clientPort);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0);
  int accepted = ::accept(listener, nullptr, nullptr);

  std::vector<MIB_TCPROW2> rows = tcpRows();
  const MIB_TCPROW2 *listen = findTcp(rows, port, MIB_TCP_STATE_LISTEN);
  ASSERT_NE(listen, nullptr);
  EXPECT_EQ(listen->dwOwningPid, static_cast<DWORD>(::getpid()));
  EXPECT_EQ(listen->dwLocalAddr, htonl(INADDR_LOOPBACK)); // network order, as the socket API has it
  const MIB_TCPROW2 *connection = findTcp(rows, clientPort, MIB_TCP_STATE_ESTAB);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->dwRemotePort, static_cast<DWORD>(htons(port)));
  auto key = [](const MIB_TCPROW2 &r) {
    return std::make_tuple(ntohl(r.dwLocalAddr), ntohs(static_cast<uint16_t>(r.dwLocalPort)), ntohl(r.dwRemoteAddr),
                           ntohs(static_cast<uint16_t>(r.dwRemotePort)));
  };
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LE(key(rows[i - 1]), key(rows[i])) << "row " << i;

  // The side that closes first waits in TIME_WAIT, a socket no process holds any more.
  ::close(client);
  ::close(accepted);
  const MIB_TCPROW2 *timeWait = nullptr;
  for (int i = 0; i < 500 && !timeWait; ++i) {
    rows = tcpRows();
    timeWait = findTcp(rows, clientPort, MIB_TCP_STATE_TIME_WAIT);
    if (!timeWait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(timeWait, nullptr);
  EXPECT_EQ(timeWait->dwOwningPid, 0u);
  ::close(listener);
}

TEST(Tables, AddedRowsJoinInSortOrderBesideTheHostsAndGoByPort) {
  uint32_t lan = 0;
  ASSERT_TRUE(emu::iphlp::parseAddress("10.0.0.5", &lan));
  ASSERT_EQ(emu::iphlp::addTcpRow({MIB_TCP_STATE_TIME_WAIT, lan, 80, lan + 1, 50000, 0}), 0u); // added first
  ASSERT_EQ(emu::iphlp::addTcpRow({MIB_TCP_STATE_LISTEN, 0, 80, 0, 0, 1234}), 0u);
  uint16_t udpPort = 0;
  int udp = boundSocket(SOCK_DGRAM, &udpPort);
  ASSERT_EQ(emu::iphlp::addUdpRow({0, 5353, 4321}), 0u);

  std::vector<MIB_TCPROW2> rows = tcpRows();
  const MIB_TCPROW2 *listen = findTcp(rows, 80, MIB_TCP_STATE_LISTEN);
  const MIB_TCPROW2 *wait = findTcp(rows, 80, MIB_TCP_STATE_TIME_WAIT);
  ASSERT_TRUE(listen && wait);
  EXPECT_LT(listen, wait) << "0.0.0.0 sorts before 10.0.0.5";
  EXPECT_EQ(listen->dwOwningPid, 1234u);
  EXPECT_EQ(wait->dwRemotePort, static_cast<DWORD>(htons(50000)));
  int own = 0, added = 0;
  for (const auto &r : udpRows()) {
    own += r.dwLocalPort == htons(udpPort) && r.dwOwningPid == static_cast<DWORD>(::getpid());
    added += r.dwLocalPort == htons(5353) && r.dwOwningPid == 4321;
  }
  EXPECT_EQ(own, 1);
  EXPECT_EQ(added, 1);

  // win32ctl shows the same table, as netstat -ano would.
  std::string out;
  if (FILE *p = ::popen(("'" + testenv::binDir() + "/win32ctl' netstat -p tcp").c_str(), "r")) {
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof(buf), p)) out.append(buf, n);
    ::pclose(p);
  }
  const std::vector<std::string> expected{"TCP", "10.0.0.5:80", "10.0.0.6:50000", "TIME_WAIT", "0"};
  bool shown = false;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    shown = shown || std::vector<std::string>(std::istream_iterator<std::string>(words), {}) == expected;
  }
  EXPECT_TRUE(shown) << out;

  ASSERT_EQ(emu::iphlp::removeTcpRows(80), 0u);
  ASSERT_EQ(emu::iphlp::removeUdpRows(5353), 0u);
  EXPECT_EQ(findTcp(tcpRows(), 80, MIB_TCP_STATE_LISTEN), nullptr);
  for (const auto &r : udpRows()) EXPECT_NE(r.dwOwningPid, 4321u);
  ::close(udp);
}

TEST(Tables, CallsFailTheDocumentedWay) {
  ULONG size = 3; // less than the table's own header
  MIB_TCPTABLE2 small{};
  EXPECT_EQ(GetTcpTable2(nullptr, nullptr, TRUE), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetTcpTable2(&small, &size, TRUE), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GE(size, sizeof(MIB_TCPTABLE2));
  DWORD udpSize = 0;
  EXPECT_EQ(GetExtendedUdpTable(nullptr, &udpSize, TRUE, AF_INET, static_cast<UDP_TABLE_CLASS>(7), 0),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetExtendedUdpTable(nullptr, &udpSize, TRUE, 23, UDP_TABLE_OWNER_PID, 0),
            static_cast<DWORD>(ERROR_NOT_SUPPORTED)); // Windows' AF_INET6: only IPv4 is emulated
}

} // namespace
