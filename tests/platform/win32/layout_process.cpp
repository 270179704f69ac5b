// Sizes, offsets and values of the process, job, token, snapshot, console and wait types and constants;
// compiles against the stand-in and mingw-w64.
#include <windows.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstddef>

static_assert(sizeof(STARTUPINFOW) == 104 && offsetof(STARTUPINFOW, lpDesktop) == 16 &&
                  offsetof(STARTUPINFOW, dwFlags) == 60 && offsetof(STARTUPINFOW, wShowWindow) == 64 &&
                  offsetof(STARTUPINFOW, lpReserved2) == 72 && offsetof(STARTUPINFOW, hStdInput) == 80 &&
                  offsetof(STARTUPINFOW, hStdError) == 96,
              "STARTUPINFOW");
static_assert(sizeof(STARTUPINFOEXW) == 112 && offsetof(STARTUPINFOEXW, lpAttributeList) == 104, "STARTUPINFOEXW");
static_assert(sizeof(PROCESS_INFORMATION) == 24 && offsetof(PROCESS_INFORMATION, dwProcessId) == 16 &&
                  offsetof(PROCESS_INFORMATION, dwThreadId) == 20,
              "PROCESS_INFORMATION");
static_assert(sizeof(PROCESSENTRY32W) == 568 && offsetof(PROCESSENTRY32W, th32ProcessID) == 8 &&
                  offsetof(PROCESSENTRY32W, th32DefaultHeapID) == 16 &&
                  offsetof(PROCESSENTRY32W, th32ParentProcessID) == 32 && offsetof(PROCESSENTRY32W, szExeFile) == 44,
              "PROCESSENTRY32W");
static_assert(sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION) == 64 &&
                  offsetof(JOBOBJECT_BASIC_LIMIT_INFORMATION, LimitFlags) == 16 &&
                  offsetof(JOBOBJECT_BASIC_LIMIT_INFORMATION, Affinity) == 48,
              "JOBOBJECT_BASIC_LIMIT_INFORMATION");
static_assert(sizeof(IO_COUNTERS) == 48 && sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144 &&
                  offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, IoInfo) == 64 &&
                  offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, ProcessMemoryLimit) == 112 &&
                  offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, PeakJobMemoryUsed) == 136,
              "JOBOBJECT_EXTENDED_LIMIT_INFORMATION");
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == 48 &&
                  offsetof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION, TotalProcesses) == 36 &&
                  offsetof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION, ActiveProcesses) == 40,
              "JOBOBJECT_BASIC_ACCOUNTING_INFORMATION");

static_assert(CREATE_NO_WINDOW == 0x08000000 && EXTENDED_STARTUPINFO_PRESENT == 0x00080000 &&
                  CREATE_UNICODE_ENVIRONMENT == 0x400 && DETACHED_PROCESS == 0x8 && CREATE_NEW_CONSOLE == 0x10 &&
                  CREATE_NEW_PROCESS_GROUP == 0x200 && CREATE_BREAKAWAY_FROM_JOB == 0x01000000,
              "creation flags");
static_assert((CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT) == 0x08080400 &&
                  (DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT) == 0x408,
              "the service's flag sets");
static_assert(STARTF_USESTDHANDLES == 0x100 && STARTF_USESHOWWINDOW == 1, "startup flags");
static_assert(PROC_THREAD_ATTRIBUTE_JOB_LIST == 0x2000D && PROC_THREAD_ATTRIBUTE_PARENT_PROCESS == 0x20000 &&
                  PROC_THREAD_ATTRIBUTE_HANDLE_LIST == 0x20002,
              "attributes");
static_assert(STILL_ACTIVE == 259 && STATUS_CONTROL_C_EXIT == 0xC000013A, "exit codes");
static_assert(PROCESS_TERMINATE == 1 && PROCESS_QUERY_INFORMATION == 0x400 &&
                  PROCESS_QUERY_LIMITED_INFORMATION == 0x1000 && PROCESS_ALL_ACCESS == 0x1FFFFF,
              "process rights");
static_assert(JobObjectBasicLimitInformation == 2 && JobObjectExtendedLimitInformation == 9 &&
                  JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE == 0x2000 && JOB_OBJECT_LIMIT_BREAKAWAY_OK == 0x800 &&
                  (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK) == 0x2800,
              "jobs");
static_assert(TOKEN_DUPLICATE == 2 && TOKEN_QUERY == 8 && TOKEN_ADJUST_SESSIONID == 0x100 &&
                  TOKEN_ALL_ACCESS == 0xF01FF && TokenUser == 1 && TokenType == 8 && TokenSessionId == 12 &&
                  TokenElevation == 20 && SecurityImpersonation == 2 && TokenPrimary == 1,
              "tokens");
static_assert(TH32CS_SNAPPROCESS == 2 && TH32CS_SNAPALL == 0xF, "snapshots");
static_assert(CTRL_C_EVENT == 0 && CTRL_BREAK_EVENT == 1 && CTRL_CLOSE_EVENT == 2 && ATTACH_PARENT_PROCESS == 0xFFFFFFFF,
              "consoles");
static_assert(WTS_CONSOLE_CONNECT == 1 && WTS_CONSOLE_DISCONNECT == 2 && WTS_SESSION_LOGOFF == 6, "session events");

static_assert(WAIT_OBJECT_0 == 0 && WAIT_ABANDONED_0 == 0x80 && WAIT_ABANDONED == 0x80 && WAIT_TIMEOUT == 0x102 &&
                  WAIT_FAILED == 0xFFFFFFFF && MAXIMUM_WAIT_OBJECTS == 64,
              "wait results");
static_assert(SYNCHRONIZE == 0x00100000 && MUTEX_MODIFY_STATE == 1 && (SYNCHRONIZE | MUTEX_MODIFY_STATE) == 0x100001 &&
                  MUTEX_ALL_ACCESS == 0x1F0001 && EVENT_MODIFY_STATE == 2 && EVENT_ALL_ACCESS == 0x1F0003,
              "sync rights");
static_assert(ERROR_NOT_OWNER == 288 && ERROR_NO_MORE_FILES == 18 && ERROR_BAD_LENGTH == 24, "errors");
static_assert(ERROR_FILENAME_EXCED_RANGE == 206, "name longer than MAX_PATH");
