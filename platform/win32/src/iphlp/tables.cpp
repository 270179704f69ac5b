// The endpoint tables: the host's IPv4 sockets from /proc/net/{tcp,udp}, owners found by socket inode under
// /proc/<pid>/fd, merged with the rows kept in <root>/iphlp/rows and sorted.
#include "emu/iphlp.h"

#include <windows.h>
#include <tcpmib.h>

#include "emu/emu.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace emu {
namespace iphlp {

namespace {

// Linux's TCP states (include/net/tcp_states.h) in the order of their numbers 1..11.
const DWORD kLinuxToMib[] = {0,
                             MIB_TCP_STATE_ESTAB,     MIB_TCP_STATE_SYN_SENT,  MIB_TCP_STATE_SYN_RCVD,
                             MIB_TCP_STATE_FIN_WAIT1, MIB_TCP_STATE_FIN_WAIT2, MIB_TCP_STATE_TIME_WAIT,
                             MIB_TCP_STATE_CLOSED,    MIB_TCP_STATE_CLOSE_WAIT, MIB_TCP_STATE_LAST_ACK,
                             MIB_TCP_STATE_LISTEN,    MIB_TCP_STATE_CLOSING};

const char *const kStateNames[] = {"",          "CLOSED",     "LISTENING",  "SYN_SENT", "SYN_RECEIVED",
                                   "ESTABLISHED", "FIN_WAIT_1", "FIN_WAIT_2", "CLOSE_WAIT", "CLOSING",
                                   "LAST_ACK",  "TIME_WAIT",  "DELETE_TCB"};

// Owner of a socket held by a process we may not look into (another user's): the System process, so that the
// port still counts as held.
constexpr DWORD kUnknownOwner = 4;

struct HostSocket {
  uint32_t localAddr, remoteAddr;
  uint16_t localPort, remotePort;
  unsigned linuxState;
  unsigned long inode;
};

// "0100007F:0CEA": the address as the kernel's 32-bit word (network byte order in memory), the port in host order.
bool parseEndpoint(const std::string &text, uint32_t *addr, uint16_t *port) {
  unsigned long a = 0, p = 0;
  if (std::sscanf(text.c_str(), "%8lx:%4lx", &a, &p) != 2) return false;
  *addr = ntohl(static_cast<uint32_t>(a));
  *port = static_cast<uint16_t>(p);
  return true;
}

std::vector<HostSocket> readProcNet(const char *path) {
  std::vector<HostSocket> out;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line); // header
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    if (!(f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode)) continue;
    HostSocket s{};
    if (!parseEndpoint(local, &s.localAddr, &s.localPort) || !parseEndpoint(remote, &s.remoteAddr, &s.remotePort))
      continue;
    s.linuxState = static_cast<unsigned>(std::strtoul(state.c_str(), nullptr, 16));
    s.inode = inode;
    out.push_back(s);
  }
  return out;
}

// Socket inode -> the lowest pid holding it, over the processes whose descriptors we may read.
std::map<unsigned long, DWORD> socketOwners() {
  std::map<unsigned long, DWORD> owners;
  DIR *proc = ::opendir("/proc");
  if (!proc) return owners;
  while (dirent *p = ::readdir(proc)) {
    char *end = nullptr;
    long pid = std::strtol(p->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
    DIR *fds = ::opendir(fdDir.c_str());
    if (!fds) continue;
    while (dirent *fd = ::readdir(fds)) {
      char link[64];
      ssize_t n = ::readlink((fdDir + "/" + fd->d_name).c_str(), link, sizeof(link) - 1);
      if (n <= 8) continue;
      link[n] = 0;
      unsigned long inode = 0;
      if (std::sscanf(link, "socket:[%lu]", &inode) != 1) continue;
      auto it = owners.find(inode);
      if (it == owners.end() || it->second > static_cast<DWORD>(pid)) owners[inode] = static_cast<DWORD>(pid);
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return owners;
}

// Inode 0 is a socket no process holds any more (TIME_WAIT): process 0, as Windows shows it.
DWORD ownerOf(unsigned long inode, const std::map<unsigned long, DWORD> &owners) {
  if (inode == 0) return 0;
  auto it = owners.find(inode);
  return it == owners.end() ? kUnknownOwner : it->second;
}

// Machine-state rows, one a line: "tcp <state> <local> <lport> <remote> <rport> <pid>" or "udp <local> <lport> <pid>".
std::string rowsFile() { return machineRoot() + "/iphlp/rows"; }

std::string readRows() {
  std::ifstream in(rowsFile());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<TcpRow> addedTcp(const std::string &text) {
  std::vector<TcpRow> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    TcpRow r;
    unsigned lp = 0, rp = 0;
    if (std::sscanf(line.c_str(), "tcp %u %u %u %u %u %u", &r.state, &r.localAddr, &lp, &r.remoteAddr, &rp,
                    &r.pid) != 6)
      continue;
    r.localPort = static_cast<uint16_t>(lp);
    r.remotePort = static_cast<uint16_t>(rp);
    r.added = true;
    out.push_back(r);
  }
  return out;
}

std::vector<UdpRow> addedUdp(const std::string &text) {
  std::vector<UdpRow> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    UdpRow r;
    unsigned lp = 0;
    if (std::sscanf(line.c_str(), "udp %u %u %u", &r.localAddr, &lp, &r.pid) != 3) continue;
    r.localPort = static_cast<uint16_t>(lp);
    r.added = true;
    out.push_back(r);
  }
  return out;
}

// Rewrites the rows file under its lock: `keep` says which existing lines stay, `extra` is appended.
DWORD changeRows(bool (*keep)(const std::string &line, uint16_t port), uint16_t port, const std::string &extra) {
  const std::string dir = machineRoot() + "/iphlp";
  ::mkdir(dir.c_str(), 0777);
  int lock = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0) return ERROR_CANTWRITE;
  while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  std::string kept;
  std::istringstream in(readRows());
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && keep(line, port)) kept += line + "\n";
  kept += extra;
  const std::string tmp = rowsFile() + ".tmp";
  DWORD rc = ERROR_CANTWRITE;
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << kept;
    if (out.flush()) rc = 0;
  }
  if (rc == 0 && ::rename(tmp.c_str(), rowsFile().c_str()) != 0) rc = ERROR_CANTWRITE;
  ::close(lock);
  return rc;
}

bool keepAll(const std::string &, uint16_t) { return true; }

bool keepUnlessSwitch(const std::string &line, uint16_t) { return line != "host off"; }

bool hostShown(const std::string &rows) {
  return rows.find("host off\n") == std::string::npos;
}

bool keepUnlessTcpPort(const std::string &line, uint16_t port) {
  std::vector<TcpRow> rows = addedTcp(line);
  return rows.empty() || rows[0].localPort != port;
}

bool keepUnlessUdpPort(const std::string &line, uint16_t port) {
  std::vector<UdpRow> rows = addedUdp(line);
  return rows.empty() || rows[0].localPort != port;
}

} // namespace

std::vector<TcpRow> tcpTable() {
  const std::string added = readRows();
  std::vector<TcpRow> rows = addedTcp(added);
  std::vector<HostSocket> sockets;
  if (hostShown(added)) sockets = readProcNet("/proc/net/tcp");
  std::map<unsigned long, DWORD> owners = sockets.empty() ? std::map<unsigned long, DWORD>() : socketOwners();
  for (const HostSocket &s : sockets) {
    TcpRow r;
    r.state = s.linuxState < sizeof(kLinuxToMib) / sizeof(kLinuxToMib[0]) ? kLinuxToMib[s.linuxState] : 0;
    if (r.state == 0) continue; // a state Linux added after these; Windows has no name for it
    r.localAddr = s.localAddr;
    r.localPort = s.localPort;
    r.remoteAddr = s.remoteAddr;
    r.remotePort = s.remotePort;
    r.pid = ownerOf(s.inode, owners);
    rows.push_back(r);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const TcpRow &a, const TcpRow &b) {
    return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort) <
           std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort);
  });
  return rows;
}

std::vector<UdpRow> udpTable() {
  const std::string added = readRows();
  std::vector<UdpRow> rows = addedUdp(added);
  std::vector<HostSocket> sockets;
  if (hostShown(added)) sockets = readProcNet("/proc/net/udp");
  std::map<unsigned long, DWORD> owners = sockets.empty() ? std::map<unsigned long, DWORD>() : socketOwners();
  for (const HostSocket &s : sockets) {
    UdpRow r;
    r.localAddr = s.localAddr;
    r.localPort = s.localPort;
    r.pid = ownerOf(s.inode, owners);
    rows.push_back(r);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const UdpRow &a, const UdpRow &b) {
    return std::tie(a.localAddr, a.localPort) < std::tie(b.localAddr, b.localPort);
  });
  return rows;
}

DWORD addTcpRow(const TcpRow &r) {
  if (r.state < MIB_TCP_STATE_CLOSED || r.state > MIB_TCP_STATE_DELETE_TCB) return ERROR_INVALID_PARAMETER;
  char line[128];
  std::snprintf(line, sizeof(line), "tcp %u %u %u %u %u %u\n", r.state, r.localAddr, unsigned(r.localPort),
                r.remoteAddr, unsigned(r.remotePort), r.pid);
  return changeRows(&keepAll, 0, line);
}

DWORD addUdpRow(const UdpRow &r) {
  char line[96];
  std::snprintf(line, sizeof(line), "udp %u %u %u\n", r.localAddr, unsigned(r.localPort), r.pid);
  return changeRows(&keepAll, 0, line);
}

DWORD removeTcpRows(uint16_t port) { return changeRows(&keepUnlessTcpPort, port, std::string()); }
DWORD removeUdpRows(uint16_t port) { return changeRows(&keepUnlessUdpPort, port, std::string()); }

DWORD showHostSockets(bool show) { return changeRows(&keepUnlessSwitch, 0, show ? "" : "host off\n"); }

const char *stateName(DWORD state) { return state <= MIB_TCP_STATE_DELETE_TCB ? kStateNames[state] : ""; }

DWORD stateByName(const std::string &name) {
  std::string u;
  for (char c : name) u += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (u == "LISTEN") return MIB_TCP_STATE_LISTEN;
  for (DWORD s = MIB_TCP_STATE_CLOSED; s <= MIB_TCP_STATE_DELETE_TCB; ++s)
    if (u == kStateNames[s]) return s;
  return 0;
}

std::string addressText(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
  return text;
}

bool parseAddress(const std::string &text, uint32_t *addr) {
  unsigned b[4];
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &b[0], &b[1], &b[2], &b[3], &tail) != 4) return false;
  for (unsigned v : b)
    if (v > 255) return false;
  *addr = (b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
  return true;
}

} // namespace iphlp
} // namespace emu
