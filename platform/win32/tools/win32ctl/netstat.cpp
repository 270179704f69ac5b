// Port tables in the manner of netstat -ano, read through the same IP helper calls the product uses, and the rows
// the machine shows besides the host's own sockets.
#include "command.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "emu/iphlp.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using win32ctl::Args;

int usage(const char *text) {
  std::fprintf(stderr, "usage: win32ctl %s\n", text);
  return 2;
}

std::string endpoint(DWORD netAddr, DWORD netPort) {
  return emu::iphlp::addressText(ntohl(netAddr)) + ":" + std::to_string(ntohs(static_cast<u_short>(netPort)));
}

// "addr:port" (host order out).
bool parseEndpoint(const std::string &text, uint32_t *addr, uint16_t *port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || !emu::iphlp::parseAddress(text.substr(0, colon), addr)) return false;
  char *end = nullptr;
  const unsigned long p = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end || p > 65535 || colon + 1 == text.size()) return false;
  *port = static_cast<uint16_t>(p);
  return true;
}

bool parsePid(const std::string &text, DWORD *pid) {
  char *end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || v > 0xFFFFFFFFul) return false;
  *pid = static_cast<DWORD>(v);
  return true;
}

bool printTcp() {
  ULONG size = 0;
  std::vector<unsigned char> buffer;
  ULONG rc = ERROR_INSUFFICIENT_BUFFER;
  while (rc == ERROR_INSUFFICIENT_BUFFER) { // the table may grow between the two calls
    rc = GetTcpTable2(buffer.empty() ? nullptr : reinterpret_cast<PMIB_TCPTABLE2>(buffer.data()), &size, TRUE);
    if (rc == ERROR_INSUFFICIENT_BUFFER) buffer.assign(size, 0);
  }
  if (rc != NO_ERROR) {
    std::fprintf(stderr, "win32ctl: GetTcpTable2 failed: error %u\n", static_cast<unsigned>(rc));
    return false;
  }
  const auto *table = reinterpret_cast<PMIB_TCPTABLE2>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW2 &r = table->table[i];
    std::printf("  %-6s %-22s %-22s %-15s %u\n", "TCP", endpoint(r.dwLocalAddr, r.dwLocalPort).c_str(),
                endpoint(r.dwRemoteAddr, r.dwRemotePort).c_str(), emu::iphlp::stateName(r.dwState), r.dwOwningPid);
  }
  return true;
}

bool printUdp() {
  DWORD size = 0;
  std::vector<unsigned char> buffer;
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  while (rc == ERROR_INSUFFICIENT_BUFFER) {
    rc = GetExtendedUdpTable(buffer.empty() ? nullptr : buffer.data(), &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    if (rc == ERROR_INSUFFICIENT_BUFFER) buffer.assign(size, 0);
  }
  if (rc != NO_ERROR) {
    std::fprintf(stderr, "win32ctl: GetExtendedUdpTable failed: error %u\n", static_cast<unsigned>(rc));
    return false;
  }
  const auto *table = reinterpret_cast<PMIB_UDPTABLE_OWNER_PID>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_UDPROW_OWNER_PID &r = table->table[i];
    std::printf("  %-6s %-22s %-22s %-15s %u\n", "UDP", endpoint(r.dwLocalAddr, r.dwLocalPort).c_str(), "*:*", "",
                r.dwOwningPid);
  }
  return true;
}

const char kNetstatUsage[] = "netstat [-p tcp|udp]  IPv4 endpoints and their owning pids, as netstat -ano shows them";

int netstat(const Args &args) {
  std::string protocol;
  if (args.size() == 2 && args[0] == "-p") protocol = args[1];
  else if (!args.empty()) return usage(kNetstatUsage);
  if (!protocol.empty() && protocol != "tcp" && protocol != "udp" && protocol != "TCP" && protocol != "UDP")
    return usage(kNetstatUsage);
  std::printf("  %-6s %-22s %-22s %-15s %s\n", "Proto", "Local Address", "Foreign Address", "State", "PID");
  bool ok = true;
  if (protocol.empty() || protocol == "tcp" || protocol == "TCP") ok = printTcp() && ok;
  if (protocol.empty() || protocol == "udp" || protocol == "UDP") ok = printUdp() && ok;
  return ok ? 0 : 1;
}

const char kAddUsage[] =
    "netstat-add tcp <state> <local-addr:port> <remote-addr:port> <pid> | udp <local-addr:port> <pid>  "
    "add a row the host cannot show (a TIME_WAIT of pid 0, a Windows program's listener)";

int netstatAdd(const Args &args) {
  DWORD rc = 0;
  if (args.size() == 5 && args[0] == "tcp") {
    emu::iphlp::TcpRow r;
    r.state = emu::iphlp::stateByName(args[1]);
    if (!r.state || !parseEndpoint(args[2], &r.localAddr, &r.localPort) ||
        !parseEndpoint(args[3], &r.remoteAddr, &r.remotePort) || !parsePid(args[4], &r.pid))
      return usage(kAddUsage);
    rc = emu::iphlp::addTcpRow(r);
  } else if (args.size() == 3 && args[0] == "udp") {
    emu::iphlp::UdpRow r;
    if (!parseEndpoint(args[1], &r.localAddr, &r.localPort) || !parsePid(args[2], &r.pid)) return usage(kAddUsage);
    rc = emu::iphlp::addUdpRow(r);
  } else {
    return usage(kAddUsage);
  }
  if (rc) std::fprintf(stderr, "win32ctl: netstat-add failed: error %u\n", static_cast<unsigned>(rc));
  return rc ? 1 : 0;
}

const char kRemoveUsage[] = "netstat-remove tcp|udp <port>  remove the added rows of a local port";

int netstatRemove(const Args &args) {
  uint32_t addr = 0;
  uint16_t port = 0;
  if (args.size() != 2 || (args[0] != "tcp" && args[0] != "udp") || !parseEndpoint("0.0.0.0:" + args[1], &addr, &port))
    return usage(kRemoveUsage);
  const DWORD rc = args[0] == "tcp" ? emu::iphlp::removeTcpRows(port) : emu::iphlp::removeUdpRows(port);
  if (rc) std::fprintf(stderr, "win32ctl: netstat-remove failed: error %u\n", static_cast<unsigned>(rc));
  return rc ? 1 : 0;
}

const char kHostUsage[] = "netstat-host on|off  show the host's own sockets in the tables, or the added rows alone";

int netstatHost(const Args &args) {
  if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) return usage(kHostUsage);
  const DWORD rc = emu::iphlp::showHostSockets(args[0] == "on");
  if (rc) std::fprintf(stderr, "win32ctl: netstat-host failed: error %u\n", static_cast<unsigned>(rc));
  return rc ? 1 : 0;
}

win32ctl::Command regNetstat("netstat", kNetstatUsage, &netstat);
win32ctl::Command regAdd("netstat-add", kAddUsage, &netstatAdd);
win32ctl::Command regRemove("netstat-remove", kRemoveUsage, &netstatRemove);
win32ctl::Command regHost("netstat-host", kHostUsage, &netstatHost);

} // namespace
