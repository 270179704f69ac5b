// Which process holds a local IPv4 TCP or UDP port, and process ids to executable names over a process snapshot.
#include <winsock2.h> // before windows.h, which miscutil.h brings
#include "Util/miscutil.h"

#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>

#include <QCoreApplication>
#include <QMap>

#include <cstdlib>
#include <memory>

#include "Log/log.h"
#include "Log/scopeguard.h"

namespace {

// Closes a toolhelp snapshot when the scope ends; INVALID_HANDLE_VALUE is none.
class Snapshot {
public:
  Snapshot() : h_(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)) {}
  ~Snapshot() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Snapshot(const Snapshot &) = delete;
  Snapshot &operator=(const Snapshot &) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
  HANDLE h_;
};

QString exeName(const PROCESSENTRY32W &entry) {
  return QString::fromUtf16(reinterpret_cast<const char16_t *>(entry.szExeFile));
}

// The process whose rows are left out; 0 (the idle process, which never holds a port) when none is named.
DWORD excludedProcess(bool excludeSelf, const QString &excludeName) {
  if (excludeSelf) return static_cast<DWORD>(QCoreApplication::applicationPid());
  return excludeName.isEmpty() ? 0 : MiscUtil::getProcessIdByName(excludeName);
}

quint32 hostPort(DWORD localPort) { return ntohs(static_cast<u_short>(localPort & 0xFFFF)); }

// The holder of one port over all of its rows: any row that occupies it counts, not just the last one, so a
// TIME_WAIT row of process 0 sorted after a listener cannot hide it. A listener is preferred as the owner.
struct PortOwner {
  bool occupied = false;
  bool listening = false;
  DWORD pid = 0;

  void add(DWORD rowPid, bool rowListens) {
    if (!occupied || (rowListens && !listening)) {
      pid = rowPid;
      listening = rowListens;
    }
    occupied = true;
  }
};

PortOccupyState answer(quint32 port, const QMap<quint32, PortOwner> &owners) {
  PortOccupyState state;
  state.port = port;
  const auto it = owners.constFind(port);
  if (it == owners.constEnd() || !it->occupied) return state;
  state.pid = static_cast<qint32>(it->pid);
  state.processName = MiscUtil::getProcessNameById(it->pid);
  state.occupied = true;
  return state;
}

} // namespace

QList<PortOccupyState> MiscUtil::getTcpPortOccupyState(const QList<ULONG> &ports, bool excludeSelf,
                                                       const QString &excludeName) {
  QList<PortOccupyState> result;
  ULONG size = sizeof(MIB_TCPTABLE2); // room for one row
  void *buffer = std::malloc(size);
  if (!buffer) {
    LOGI("Error allocating memory");
    return result;
  }
  // Held by pointer so that it can be replaced together with the buffer.
  auto guard = std::make_unique<ScopeGuard>([buffer] { std::free(buffer); });
  if (GetTcpTable2(static_cast<PMIB_TCPTABLE2>(buffer), &size, TRUE) == ERROR_INSUFFICIENT_BUFFER) {
    guard.reset();
    buffer = std::malloc(size);
    if (!buffer) {
      LOGI("Error allocating memory");
      return result;
    }
    guard = std::make_unique<ScopeGuard>([buffer] { std::free(buffer); });
  }
  const DWORD excluded = excludedProcess(excludeSelf, excludeName);
  auto *table = static_cast<PMIB_TCPTABLE2>(buffer);
  const ULONG rc = GetTcpTable2(table, &size, TRUE);
  if (rc != NO_ERROR) {
    LOGE("GetTcpTable2 failed with 0x%x", static_cast<unsigned int>(rc));
    return result;
  }
  QMap<quint32, PortOwner> owners;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW2 &row = table->table[i];
    if (row.dwOwningPid == excluded) continue;
    PortOwner &owner = owners[hostPort(row.dwLocalPort)];
    // Any state but CLOSED holds the port.
    if (row.dwOwningPid != 0 && row.dwState >= MIB_TCP_STATE_LISTEN && row.dwState <= MIB_TCP_STATE_DELETE_TCB)
      owner.add(row.dwOwningPid, row.dwState == MIB_TCP_STATE_LISTEN);
  }
  if (owners.isEmpty()) return result; // callers may tell "no row left" by the empty list
  for (ULONG port : ports) result.append(answer(static_cast<quint32>(port), owners));
  return result;
}

QList<PortOccupyState> MiscUtil::getUdpPortOccupyState(const QList<ULONG> &ports, bool excludeSelf,
                                                       const QString &excludeName) {
  QList<PortOccupyState> result;
  DWORD size = 0;
  GetExtendedUdpTable(nullptr, &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  void *buffer = std::malloc(size);
  if (!buffer) {
    LOGE("Error allocating memory");
    return result;
  }
  auto guard = std::make_unique<ScopeGuard>([buffer] { std::free(buffer); });
  auto *table = static_cast<PMIB_UDPTABLE_OWNER_PID>(buffer);
  const DWORD rc = GetExtendedUdpTable(table, &size, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  if (rc != NO_ERROR) {
    LOGE("GetExtendedUdpTable failed: 0x%x", static_cast<unsigned int>(rc));
    return result;
  }
  const DWORD excluded = excludedProcess(excludeSelf, excludeName);
  QMap<quint32, PortOwner> owners;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_UDPROW_OWNER_PID &row = table->table[i];
    if (row.dwOwningPid == excluded) continue;
    PortOwner &owner = owners[hostPort(row.dwLocalPort)];
    if (row.dwOwningPid != 0) owner.add(row.dwOwningPid, false);
  }
  for (ULONG port : ports) result.append(answer(static_cast<quint32>(port), owners));
  return result;
}

DWORD MiscUtil::getProcessIdByName(const QString &exeName) {
  Snapshot snapshot;
  if (!snapshot.valid()) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD found = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (::exeName(entry).compare(exeName, Qt::CaseInsensitive) == 0) found = entry.th32ProcessID; // the last wins
  }
  return found;
}

QString MiscUtil::getProcessNameById(DWORD pid) {
  Snapshot snapshot;
  if (!snapshot.valid()) return QString();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == pid) return exeName(entry);
  }
  return QString();
}
