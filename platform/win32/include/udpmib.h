// Stand-in for the Windows SDK header of this name: the IPv4 UDP table with owning process ids (Win64 layout).
#pragma once
#include "bvwin/base.h"

#ifndef ANY_SIZE
#define ANY_SIZE 1
#endif

typedef struct _MIB_UDPROW_OWNER_PID {
  DWORD dwLocalAddr; // network byte order
  DWORD dwLocalPort; // network byte order in the low 16 bits
  DWORD dwOwningPid;
} MIB_UDPROW_OWNER_PID, *PMIB_UDPROW_OWNER_PID;

typedef struct _MIB_UDPTABLE_OWNER_PID {
  DWORD dwNumEntries;
  MIB_UDPROW_OWNER_PID table[ANY_SIZE];
} MIB_UDPTABLE_OWNER_PID, *PMIB_UDPTABLE_OWNER_PID;
