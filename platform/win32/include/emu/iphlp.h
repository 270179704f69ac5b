// The emulated machine's IPv4 endpoint tables: the host's real TCP and UDP sockets, owned by the host processes
// that hold them, plus rows kept in machine state for what Linux cannot show (a TIME_WAIT row of process 0, a
// Windows program's pid). For the stand-in, tests and win32ctl; product code never includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu {
namespace iphlp {

// Addresses and ports in host byte order here; the Win32 calls turn them into network order.
struct TcpRow {
  DWORD state = 0; // MIB_TCP_STATE_*
  uint32_t localAddr = 0;
  uint16_t localPort = 0;
  uint32_t remoteAddr = 0;
  uint16_t remotePort = 0;
  DWORD pid = 0;
  bool added = false; // a machine-state row rather than a host socket
};

struct UdpRow {
  uint32_t localAddr = 0;
  uint16_t localPort = 0;
  DWORD pid = 0;
  bool added = false;
};

// Both tables as the machine shows them, sorted as GetTcpTable2 / GetExtendedUdpTable sort (local address, local
// port, then remote address and port).
std::vector<TcpRow> tcpTable();
std::vector<UdpRow> udpTable();

// Machine-state rows, seen by every process of the machine. Removal takes every added row of that port.
DWORD addTcpRow(const TcpRow &row);
DWORD addUdpRow(const UdpRow &row);
DWORD removeTcpRows(uint16_t localPort);
DWORD removeUdpRows(uint16_t localPort);
// Whether the tables show the host's sockets (default) or the added rows alone, for answers that must not depend
// on what else runs on the host.
DWORD showHostSockets(bool show);

// "LISTENING", "TIME_WAIT", ... for a MIB_TCP_STATE_* value (as netstat names them), and back ("LISTEN" too);
// 0 for an unknown name.
const char *stateName(DWORD state);
DWORD stateByName(const std::string &name);

// Dotted IPv4 text, host order; false when the text is not one.
std::string addressText(uint32_t addr);
bool parseAddress(const std::string &text, uint32_t *addr);

} // namespace iphlp
} // namespace emu
