// Sizes, offsets and values of the service-control types and constants; compiles against the stand-in and mingw-w64.
#include <windows.h>
#include <winsvc.h>
#include <wtsapi32.h>

#include <cstddef>

static_assert(sizeof(SERVICE_STATUS) == 28 && offsetof(SERVICE_STATUS, dwCurrentState) == 4 &&
                  offsetof(SERVICE_STATUS, dwControlsAccepted) == 8 && offsetof(SERVICE_STATUS, dwWin32ExitCode) == 12 &&
                  offsetof(SERVICE_STATUS, dwCheckPoint) == 20 && offsetof(SERVICE_STATUS, dwWaitHint) == 24,
              "SERVICE_STATUS");
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36 && offsetof(SERVICE_STATUS_PROCESS, dwProcessId) == 28,
              "SERVICE_STATUS_PROCESS");
static_assert(sizeof(SERVICE_TABLE_ENTRYW) == 16 && offsetof(SERVICE_TABLE_ENTRYW, lpServiceProc) == 8,
              "SERVICE_TABLE_ENTRYW");
static_assert(sizeof(WTSSESSION_NOTIFICATION) == 8 && offsetof(WTSSESSION_NOTIFICATION, dwSessionId) == 4,
              "WTSSESSION_NOTIFICATION");
static_assert(sizeof(QUERY_SERVICE_CONFIGW) == 64 && offsetof(QUERY_SERVICE_CONFIGW, lpBinaryPathName) == 16 &&
                  offsetof(QUERY_SERVICE_CONFIGW, dwTagId) == 32 && offsetof(QUERY_SERVICE_CONFIGW, lpDisplayName) == 56,
              "QUERY_SERVICE_CONFIGW");
static_assert(sizeof(SERVICE_DESCRIPTIONW) == 8, "SERVICE_DESCRIPTIONW");

static_assert(SERVICE_WIN32_OWN_PROCESS == 0x10 && SERVICE_WIN32_SHARE_PROCESS == 0x20 &&
                  SERVICE_INTERACTIVE_PROCESS == 0x100,
              "service types");
static_assert(SERVICE_STOPPED == 1 && SERVICE_START_PENDING == 2 && SERVICE_STOP_PENDING == 3 && SERVICE_RUNNING == 4 &&
                  SERVICE_CONTINUE_PENDING == 5 && SERVICE_PAUSE_PENDING == 6 && SERVICE_PAUSED == 7,
              "states");
static_assert(SERVICE_CONTROL_STOP == 1 && SERVICE_CONTROL_PAUSE == 2 && SERVICE_CONTROL_CONTINUE == 3 &&
                  SERVICE_CONTROL_INTERROGATE == 4 && SERVICE_CONTROL_SHUTDOWN == 5 &&
                  SERVICE_CONTROL_PARAMCHANGE == 6 && SERVICE_CONTROL_DEVICEEVENT == 11 &&
                  SERVICE_CONTROL_POWEREVENT == 13 && SERVICE_CONTROL_SESSIONCHANGE == 14 &&
                  SERVICE_CONTROL_PRESHUTDOWN == 15 && SERVICE_CONTROL_TIMECHANGE == 16 &&
                  SERVICE_CONTROL_TRIGGEREVENT == 32,
              "controls");
static_assert(SERVICE_ACCEPT_STOP == 0x1 && SERVICE_ACCEPT_PAUSE_CONTINUE == 0x2 && SERVICE_ACCEPT_SHUTDOWN == 0x4 &&
                  SERVICE_ACCEPT_PARAMCHANGE == 0x8 && SERVICE_ACCEPT_NETBINDCHANGE == 0x10 &&
                  SERVICE_ACCEPT_POWEREVENT == 0x40 && SERVICE_ACCEPT_SESSIONCHANGE == 0x80 &&
                  SERVICE_ACCEPT_PRESHUTDOWN == 0x100 && SERVICE_ACCEPT_TIMECHANGE == 0x200 &&
                  (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE | SERVICE_ACCEPT_PRESHUTDOWN) == 0x181,
              "accepted controls");
static_assert(WTS_CONSOLE_CONNECT == 1 && WTS_CONSOLE_DISCONNECT == 2 && WTS_SESSION_LOGON == 5 &&
                  WTS_SESSION_LOGOFF == 6 && WTS_SESSION_LOCK == 7 && WTS_SESSION_TERMINATE == 0xB,
              "session-change event types");
static_assert(SC_MANAGER_CONNECT == 1 && SC_MANAGER_CREATE_SERVICE == 2 && SC_MANAGER_MODIFY_BOOT_CONFIG == 0x20 &&
                  SC_MANAGER_ALL_ACCESS == 0xF003F && SERVICE_QUERY_CONFIG == 1 && SERVICE_CHANGE_CONFIG == 2 &&
                  SERVICE_QUERY_STATUS == 4 && SERVICE_START == 0x10 && SERVICE_STOP == 0x20 &&
                  SERVICE_INTERROGATE == 0x80 && SERVICE_USER_DEFINED_CONTROL == 0x100 &&
                  SERVICE_ALL_ACCESS == 0xF01FF && DELETE == 0x10000,
              "access rights");
static_assert(SERVICE_AUTO_START == 2 && SERVICE_DEMAND_START == 3 && SERVICE_DISABLED == 4 &&
                  SERVICE_ERROR_NORMAL == 1 && SERVICE_NO_CHANGE == 0xFFFFFFFF && SERVICE_CONFIG_DESCRIPTION == 1 &&
                  SC_STATUS_PROCESS_INFO == 0,
              "configuration values");
static_assert(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT == 1063 && ERROR_SERVICE_CANNOT_ACCEPT_CTRL == 1061 &&
                  ERROR_SERVICE_NOT_ACTIVE == 1062 && ERROR_SERVICE_ALREADY_RUNNING == 1056 &&
                  ERROR_SERVICE_DOES_NOT_EXIST == 1060 && ERROR_SERVICE_EXISTS == 1073 &&
                  ERROR_SERVICE_MARKED_FOR_DELETE == 1072 && ERROR_SERVICE_REQUEST_TIMEOUT == 1053 &&
                  ERROR_INVALID_SERVICE_CONTROL == 1052 && ERROR_SERVICE_NOT_IN_EXE == 1083 &&
                  ERROR_DUPLICATE_SERVICE_NAME == 1078 && ERROR_SERVICE_DISABLED == 1058 &&
                  ERROR_CALL_NOT_IMPLEMENTED == 120 && ERROR_PROCESS_ABORTED == 1067,
              "service error codes");
