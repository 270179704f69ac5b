// Sizes, offsets and values of the IP helper tables and constants; compiles against the stand-in and mingw-w64.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>

static_assert(sizeof(MIB_TCPROW2) == 28 && offsetof(MIB_TCPROW2, dwLocalAddr) == 4 &&
                  offsetof(MIB_TCPROW2, dwLocalPort) == 8 && offsetof(MIB_TCPROW2, dwRemoteAddr) == 12 &&
                  offsetof(MIB_TCPROW2, dwRemotePort) == 16 && offsetof(MIB_TCPROW2, dwOwningPid) == 20 &&
                  offsetof(MIB_TCPROW2, dwOffloadState) == 24,
              "MIB_TCPROW2");
static_assert(sizeof(MIB_TCPTABLE2) == 32 && offsetof(MIB_TCPTABLE2, table) == 4, "MIB_TCPTABLE2");
static_assert(sizeof(MIB_UDPROW_OWNER_PID) == 12 && offsetof(MIB_UDPROW_OWNER_PID, dwLocalPort) == 4 &&
                  offsetof(MIB_UDPROW_OWNER_PID, dwOwningPid) == 8,
              "MIB_UDPROW_OWNER_PID");
static_assert(sizeof(MIB_UDPTABLE_OWNER_PID) == 16 && offsetof(MIB_UDPTABLE_OWNER_PID, table) == 4,
              "MIB_UDPTABLE_OWNER_PID");
static_assert(MIB_TCP_STATE_CLOSED == 1 && MIB_TCP_STATE_LISTEN == 2 && MIB_TCP_STATE_SYN_SENT == 3 &&
                  MIB_TCP_STATE_SYN_RCVD == 4 && MIB_TCP_STATE_ESTAB == 5 && MIB_TCP_STATE_FIN_WAIT1 == 6 &&
                  MIB_TCP_STATE_FIN_WAIT2 == 7 && MIB_TCP_STATE_CLOSE_WAIT == 8 && MIB_TCP_STATE_CLOSING == 9 &&
                  MIB_TCP_STATE_LAST_ACK == 10 && MIB_TCP_STATE_TIME_WAIT == 11 && MIB_TCP_STATE_DELETE_TCB == 12,
              "TCP states");
static_assert(UDP_TABLE_BASIC == 0 && UDP_TABLE_OWNER_PID == 1 && UDP_TABLE_OWNER_MODULE == 2, "UDP table classes");
static_assert(AF_INET == 2 && TcpConnectionOffloadStateInHost == 0, "address family, offload state");
