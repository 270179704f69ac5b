// Stand-in for the Windows SDK header of this name: the IPv4 TCP table with owning process ids (Win64 layout).
#pragma once
#include "bvwin/base.h"

#ifndef ANY_SIZE
#define ANY_SIZE 1
#endif

typedef enum {
  MIB_TCP_STATE_CLOSED = 1,
  MIB_TCP_STATE_LISTEN = 2,
  MIB_TCP_STATE_SYN_SENT = 3,
  MIB_TCP_STATE_SYN_RCVD = 4,
  MIB_TCP_STATE_ESTAB = 5,
  MIB_TCP_STATE_FIN_WAIT1 = 6,
  MIB_TCP_STATE_FIN_WAIT2 = 7,
  MIB_TCP_STATE_CLOSE_WAIT = 8,
  MIB_TCP_STATE_CLOSING = 9,
  MIB_TCP_STATE_LAST_ACK = 10,
  MIB_TCP_STATE_TIME_WAIT = 11,
  MIB_TCP_STATE_DELETE_TCB = 12,
} MIB_TCP_STATE;

typedef enum {
  TcpConnectionOffloadStateInHost = 0,
  TcpConnectionOffloadStateOffloading = 1,
  TcpConnectionOffloadStateOffloaded = 2,
  TcpConnectionOffloadStateUploading = 3,
  TcpConnectionOffloadStateMax = 4,
} TCP_CONNECTION_OFFLOAD_STATE;

// Addresses and ports in network byte order; a port uses the low 16 bits.
typedef struct _MIB_TCPROW2 {
  DWORD dwState;
  DWORD dwLocalAddr;
  DWORD dwLocalPort;
  DWORD dwRemoteAddr;
  DWORD dwRemotePort;
  DWORD dwOwningPid;
  TCP_CONNECTION_OFFLOAD_STATE dwOffloadState;
} MIB_TCPROW2, *PMIB_TCPROW2;

typedef struct _MIB_TCPTABLE2 {
  DWORD dwNumEntries;
  MIB_TCPROW2 table[ANY_SIZE];
} MIB_TCPTABLE2, *PMIB_TCPTABLE2;
