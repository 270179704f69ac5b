// Stand-in for the Windows SDK header of this name: the IPv4 TCP and UDP endpoint tables.
#pragma once
#include "windows.h"
#include "tcpmib.h"
#include "udpmib.h"

typedef enum {
  UDP_TABLE_BASIC = 0,
  UDP_TABLE_OWNER_PID = 1,
  UDP_TABLE_OWNER_MODULE = 2,
} UDP_TABLE_CLASS,
    *PUDP_TABLE_CLASS;

#ifdef __cplusplus
extern "C" {
#endif
ULONG WINAPI GetTcpTable2(PMIB_TCPTABLE2 TcpTable, PULONG SizePointer, BOOL Order);
DWORD WINAPI GetExtendedUdpTable(PVOID pUdpTable, PDWORD pdwSize, BOOL bOrder, ULONG ulAf, UDP_TABLE_CLASS TableClass,
                                 ULONG Reserved);
#ifdef __cplusplus
}
#endif
