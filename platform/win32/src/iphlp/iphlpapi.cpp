// GetTcpTable2 and GetExtendedUdpTable over the machine's endpoint tables: the size protocol, ports and addresses
// in network byte order, IPv4 only. The family speaks through its return code; the last error is left alone.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "emu/emu.h"
#include "emu/iphlp.h"

#include <cstddef>

namespace {

// Room for n rows; never less than the structure itself, so a caller that looks at table[0] stays inside.
template <class Table, class Row> DWORD tableBytes(size_t rows) {
  const size_t bytes = offsetof(Table, table) + rows * sizeof(Row);
  return static_cast<DWORD>(bytes < sizeof(Table) ? sizeof(Table) : bytes);
}

DWORD netPort(uint16_t port) { return htons(port); }

} // namespace

extern "C" ULONG WINAPI GetTcpTable2(PMIB_TCPTABLE2 TcpTable, PULONG SizePointer, BOOL Order) {
  if (DWORD injected = emu::failureFor("GetTcpTable2")) return injected;
  if (!SizePointer) return ERROR_INVALID_PARAMETER;
  std::vector<emu::iphlp::TcpRow> rows = emu::iphlp::tcpTable(); // always sorted: Order FALSE allows any order
  (void)Order;
  const DWORD needed = tableBytes<MIB_TCPTABLE2, MIB_TCPROW2>(rows.size());
  if (!TcpTable || *SizePointer < needed) {
    *SizePointer = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  TcpTable->dwNumEntries = static_cast<DWORD>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const emu::iphlp::TcpRow &r = rows[i];
    MIB_TCPROW2 &out = TcpTable->table[i];
    out.dwState = r.state;
    out.dwLocalAddr = htonl(r.localAddr);
    out.dwLocalPort = netPort(r.localPort);
    // Windows leaves the remote end zero for a listener.
    out.dwRemoteAddr = r.state == MIB_TCP_STATE_LISTEN ? 0 : htonl(r.remoteAddr);
    out.dwRemotePort = r.state == MIB_TCP_STATE_LISTEN ? 0 : netPort(r.remotePort);
    out.dwOwningPid = r.pid;
    out.dwOffloadState = TcpConnectionOffloadStateInHost;
  }
  return NO_ERROR;
}

extern "C" DWORD WINAPI GetExtendedUdpTable(PVOID pUdpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf,
                                            UDP_TABLE_CLASS TableClass, ULONG Reserved) {
  if (DWORD injected = emu::failureFor("GetExtendedUdpTable")) return injected;
  if (!pdwSize || Reserved != 0) return ERROR_INVALID_PARAMETER;
  if (TableClass != UDP_TABLE_BASIC && TableClass != UDP_TABLE_OWNER_PID && TableClass != UDP_TABLE_OWNER_MODULE)
    return ERROR_INVALID_PARAMETER;
  if (ulAf != AF_INET && ulAf != 23) return ERROR_INVALID_PARAMETER; // 23: Windows' AF_INET6
  // Only the IPv4 table with owners is emulated.
  if (ulAf != AF_INET || TableClass != UDP_TABLE_OWNER_PID) return ERROR_NOT_SUPPORTED;
  (void)bOrder;
  std::vector<emu::iphlp::UdpRow> rows = emu::iphlp::udpTable();
  const DWORD needed = tableBytes<MIB_UDPTABLE_OWNER_PID, MIB_UDPROW_OWNER_PID>(rows.size());
  if (!pUdpTable || *pdwSize < needed) {
    *pdwSize = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  auto *table = static_cast<PMIB_UDPTABLE_OWNER_PID>(pUdpTable);
  table->dwNumEntries = static_cast<DWORD>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    table->table[i].dwLocalAddr = htonl(rows[i].localAddr);
    table->table[i].dwLocalPort = netPort(rows[i].localPort);
    table->table[i].dwOwningPid = rows[i].pid;
  }
  return NO_ERROR;
}
