// The IP helper tables against real sockets of this process and rows added to the machine's state.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "emu/emu.h"
#include "emu/iphlp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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
    ULONG rc = GetTcpTable2(table, &size, TRUE);
    if (rc == ERROR_INSUFFICIENT_BUFFER) continue;
    EXPECT_EQ(rc, static_cast<ULONG>(NO_ERROR));
    EXPECT_LE(offsetof(MIB_TCPTABLE2, table) + table->dwNumEntries * sizeof(MIB_TCPROW2), size);
    return std::vector<MIB_TCPROW2>(table->table, table->table + table->dwNumEntries);
  }
}

std::vector<MIB_UDPROW_OWNER_PID> udpRows() {
  for (;;) {
    DWORD size = 0;
    GetExtendedUdpTable(nullptr, &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    std::vector<uint8_t> buffer(size);
    auto *table = reinterpret_cast<PMIB_UDPTABLE_OWNER_PID>(buffer.data());
    DWORD rc = GetExtendedUdpTable(table, &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    if (rc == ERROR_INSUFFICIENT_BUFFER) continue;
    EXPECT_EQ(rc, static_cast<DWORD>(NO_ERROR));
    return std::vector<MIB_UDPROW_OWNER_PID>(table->table, table->table + table->dwNumEntries);
  }
}

// A loopback socket of `type`, bound to an ephemeral port; returns the fd and the port (host order).
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

TEST(TcpTable, RealSocketsShowTheirOwnerAndTheClosingSideLeavesTimeWaitOfProcessZero) {
  uint16_t port = 0;
  int listener = boundSocket(SOCK_STREAM, &port);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  uint16_t clientPort = 0;
  int client = boundSocket(SOCK_STREAM, &clientPort);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0);
  int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);

  std::vector<MIB_TCPROW2> rows = tcpRows();
  const MIB_TCPROW2 *listen = findTcp(rows, port, MIB_TCP_STATE_LISTEN);
  ASSERT_NE(listen, nullptr);
  EXPECT_EQ(listen->dwOwningPid, static_cast<DWORD>(::getpid()));
  EXPECT_EQ(listen->dwLocalAddr, htonl(INADDR_LOOPBACK)); // network order, as the socket API has it
  EXPECT_EQ(listen->dwRemoteAddr, 0u);
  const MIB_TCPROW2 *connection = findTcp(rows, clientPort, MIB_TCP_STATE_ESTAB);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->dwRemotePort, static_cast<DWORD>(htons(port)));
  EXPECT_EQ(connection->dwOwningPid, static_cast<DWORD>(::getpid()));
  // Sorted by local address, local port, remote address, remote port (as numbers, not bytes).
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

TEST(TcpTable, AddedRowsJoinInSortOrderAndGoByPort) {
  uint32_t any = 0, lan = 0;
  ASSERT_TRUE(emu::iphlp::parseAddress("0.0.0.0", &any));
  ASSERT_TRUE(emu::iphlp::parseAddress("10.0.0.5", &lan));
  emu::iphlp::TcpRow timeWait{MIB_TCP_STATE_TIME_WAIT, lan, 80, lan + 1, 50000, 0};
  emu::iphlp::TcpRow listen{MIB_TCP_STATE_LISTEN, any, 80, 0, 0, 1234};
  ASSERT_EQ(emu::iphlp::addTcpRow(timeWait), 0u); // added first, still sorted after the 0.0.0.0 row
  ASSERT_EQ(emu::iphlp::addTcpRow(listen), 0u);
  emu::iphlp::TcpRow bad{99, lan, 81, 0, 0, 1};
  EXPECT_EQ(emu::iphlp::addTcpRow(bad), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  std::vector<MIB_TCPROW2> rows = tcpRows();
  int listenAt = -1, waitAt = -1;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].dwLocalPort != htons(80)) continue;
    if (rows[i].dwState == MIB_TCP_STATE_LISTEN && rows[i].dwOwningPid == 1234) listenAt = static_cast<int>(i);
    if (rows[i].dwState == MIB_TCP_STATE_TIME_WAIT && rows[i].dwLocalAddr == htonl(lan)) {
      waitAt = static_cast<int>(i);
      EXPECT_EQ(rows[i].dwRemotePort, static_cast<DWORD>(htons(50000)));
      EXPECT_EQ(rows[i].dwOwningPid, 0u);
    }
  }
  ASSERT_GE(listenAt, 0);
  EXPECT_GT(waitAt, listenAt);

  ASSERT_EQ(emu::iphlp::removeTcpRows(80), 0u);
  for (const auto &r : tcpRows()) EXPECT_FALSE(r.dwOwningPid == 1234 && r.dwLocalPort == htons(80));
}

TEST(UdpTable, RealAndAddedEndpointsWithTheirOwners) {
  uint16_t port = 0;
  int fd = boundSocket(SOCK_DGRAM, &port);
  ASSERT_GE(fd, 0);
  emu::iphlp::UdpRow added{0, 5353, 4321};
  ASSERT_EQ(emu::iphlp::addUdpRow(added), 0u);
  bool foundOwn = false, foundAdded = false;
  std::vector<MIB_UDPROW_OWNER_PID> rows = udpRows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto &r = rows[i];
    if (r.dwLocalPort == htons(port) && r.dwLocalAddr == htonl(INADDR_LOOPBACK))
      foundOwn = r.dwOwningPid == static_cast<DWORD>(::getpid());
    if (r.dwLocalPort == htons(5353) && r.dwOwningPid == 4321) foundAdded = true;
    if (i > 0) {
      EXPECT_LE(std::make_tuple(ntohl(rows[i - 1].dwLocalAddr), ntohs(static_cast<uint16_t>(rows[i - 1].dwLocalPort))),
                std::make_tuple(ntohl(r.dwLocalAddr), ntohs(static_cast<uint16_t>(r.dwLocalPort))));
    }
  }
  EXPECT_TRUE(foundOwn);
  EXPECT_TRUE(foundAdded);
  ASSERT_EQ(emu::iphlp::removeUdpRows(5353), 0u);
  for (const auto &r : udpRows()) EXPECT_NE(r.dwOwningPid, 4321u);
  ::close(fd);
}

TEST(IpHelperCalls, FailTheDocumentedWay) {
  ULONG size = 0;
  EXPECT_EQ(GetTcpTable2(nullptr, nullptr, TRUE), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  MIB_TCPTABLE2 small{};
  size = 3; // less than the table's own header
  EXPECT_EQ(GetTcpTable2(&small, &size, TRUE), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GE(size, sizeof(MIB_TCPTABLE2));
  DWORD udpSize = 0;
  EXPECT_EQ(GetExtendedUdpTable(nullptr, nullptr, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetExtendedUdpTable(nullptr, &udpSize, TRUE, AF_INET, static_cast<UDP_TABLE_CLASS>(7), 0),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetExtendedUdpTable(nullptr, &udpSize, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 1),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetExtendedUdpTable(nullptr, &udpSize, TRUE, 23, UDP_TABLE_OWNER_PID, 0),
            static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(GetExtendedUdpTable(nullptr, &udpSize, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0),
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GE(udpSize, sizeof(MIB_UDPTABLE_OWNER_PID));
  emu::injectFailure("GetTcpTable2", ERROR_NOT_SUPPORTED, 1);
  EXPECT_EQ(GetTcpTable2(nullptr, &size, TRUE), static_cast<ULONG>(ERROR_NOT_SUPPORTED));
  emu::clearFailures();
}

} // namespace
