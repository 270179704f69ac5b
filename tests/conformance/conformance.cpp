// Conformance program: makes the Win32 calls whose results the product branches on and prints one line per
// observation, "<area>: <call/case> -> <value> [err=<GetLastError>]", compared with expected.txt (Windows' values).
// One source for the stand-in and the Windows SDK (mingw-w64, run under Wine): plain Win32, no stand-in header, no Qt.
//
// Modes (argv[1]):
//   (none)                      run every area and print the observations
//   --service                   be the service that the service area starts (StartServiceCtrlDispatcherW)
//   child exit <code>           return <code>
//   child forever               sleep until ended
//   child spawn <event> [break] wait for the named event, start "child forever" (with CREATE_BREAKAWAY_FROM_JOB
//                               when "break"), return its process id, or kChildFailed | the error
//   child take-mutex <name>     open and take the named mutex, return 0 without releasing it (it is abandoned)
//   child open-mutex <name>     return 0 when OpenMutexW finds the name, else the error
//   child attach <pid|parent>   return 0 when AttachConsole succeeds, else the error
//   child free                  return 0 when FreeConsole succeeds, else the error
#include <windows.h>

#include <tlhelp32.h>
#include <winsvc.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "observe.h"

namespace {

const DWORD kWaitMs = 20000;           // any wait for another process; generous, never reached when things work
const DWORD kChildFailed = 0xF0000000; // a child's exit code for "this call failed", or'ed with the error
const DWORD kNoSuchId = 0x7FFFFFF8;    // a process id and handle value never given out
const WCHAR kServiceName[] = TEXT("BrimvaultConformance");
const WCHAR kRegRoot[] = TEXT("SOFTWARE\\BrimvaultConformance");
const WCHAR kRegService[] = TEXT("SOFTWARE\\BrimvaultConformance\\Service");

WCHAR g_self[MAX_PATH]; // this program's path, for its children and its service entry

// A child's "0 or error" exit code.
void sayChildResult(const char *what, DWORD code) {
  if (code == 0) return say(what, "1");
  say(what, "0 err=%u", U(code & ~kChildFailed));
}

// --- children ----------------------------------------------------------------------------------------------------

// `"<self>"<suffix>`: a command line that starts this program.
void selfCommand(const char *suffix, WCHAR *line, size_t room) {
  size_t n = 0;
  line[n++] = '"';
  for (const WCHAR *p = g_self; *p && n + 2 < room; ++p) line[n++] = *p;
  line[n++] = '"';
  widen(suffix, line + n, room - n);
}

BOOL startChild(const char *args, DWORD flags, PROCESS_INFORMATION *pi, STARTUPINFOW *si = nullptr) {
  char suffix[MAX_PATH];
  snprintf(suffix, sizeof(suffix), " child %s", args);
  WCHAR line[2 * MAX_PATH];
  selfCommand(suffix, line, 2 * MAX_PATH);
  STARTUPINFOW plain;
  ZeroMemory(&plain, sizeof(plain));
  plain.cb = sizeof(plain);
  ZeroMemory(pi, sizeof(*pi));
  return CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, flags, nullptr, nullptr, si ? si : &plain, pi);
}

// The exit code of a child that has ended or ends within kWaitMs; kChildFailed if it does not.
DWORD exitCodeOf(HANDLE process) {
  DWORD code = kChildFailed;
  if (process && WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  return code;
}

void endChild(PROCESS_INFORMATION *pi) {
  if (!pi->hProcess) return;
  TerminateProcess(pi->hProcess, 1);
  WaitForSingleObject(pi->hProcess, kWaitMs);
  CloseHandle(pi->hThread);
  CloseHandle(pi->hProcess);
  ZeroMemory(pi, sizeof(*pi));
}

// Runs a child to its end: its exit code, or kChildFailed | the error when it could not be started.
DWORD runChild(const char *args, DWORD flags = 0) {
  PROCESS_INFORMATION pi;
  if (!startChild(args, flags, &pi)) return kChildFailed | GetLastError();
  const DWORD code = exitCodeOf(pi.hProcess);
  endChild(&pi);
  return code;
}

bool isProcessId(DWORD code) { return code != 0 && (code & kChildFailed) != kChildFailed; }

void terminateById(DWORD pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (!h) return;
  TerminateProcess(h, 1);
  WaitForSingleObject(h, kWaitMs);
  CloseHandle(h);
}

// --- registry ----------------------------------------------------------------------------------------------------

// One read: the status, type and size the call gave, and the data.
struct RegRead {
  LSTATUS rc;
  DWORD type;
  DWORD size;
  union {
    WCHAR text[32];
    DWORD number;
    BYTE bytes[64];
  };
};

// RegGetValueW into a buffer of `room` bytes (0: a size query, no buffer).
RegRead regGet(HKEY key, const WCHAR *subKey, const WCHAR *name, DWORD flags, DWORD room) {
  RegRead r;
  memset(&r, 0, sizeof(r));
  memset(r.bytes, 'x', sizeof(r.bytes));
  r.size = room;
  r.rc = RegGetValueW(key, subKey, name, flags, &r.type, room ? r.bytes : nullptr, &r.size);
  return r;
}

RegRead regQuery(HKEY key, const WCHAR *name, DWORD room) {
  RegRead r;
  memset(&r, 0, sizeof(r));
  r.size = room;
  r.rc = RegQueryValueExW(key, name, nullptr, &r.type, room ? r.bytes : nullptr, &r.size);
  return r;
}

LSTATUS regCreate(HKEY parent, const WCHAR *path, HKEY *key, DWORD *disposition) {
  *disposition = 0;
  return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key, disposition);
}

// Keys: creation, opening, case. Returns the test root, open for all access.
HKEY registryKeys() {
  HKEY root = nullptr, key = nullptr;
  DWORD disposition;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRegRoot); // what an earlier run left
  sayStatus("reg: RegOpenKeyExW(missing key)", RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegRoot, 0, KEY_READ, &key));
  LSTATUS rc = regCreate(HKEY_LOCAL_MACHINE, kRegRoot, &root, &disposition);
  sayStatus("reg: RegCreateKeyExW(new key)", rc, "disposition=%u", U(disposition));
  rc = regCreate(HKEY_LOCAL_MACHINE, kRegRoot, &key, &disposition);
  sayStatus("reg: RegCreateKeyExW(existing key)", rc, "disposition=%u", U(disposition));
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  rc = root ? regCreate(root, TEXT("Deep\\Deeper"), &key, &disposition) : ERROR_INVALID_HANDLE;
  sayStatus("reg: RegCreateKeyExW(two missing levels)", rc, "disposition=%u", U(disposition));
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("software\\brimvaultCONFORMANCE\\deep"), 0, KEY_READ, &key);
  sayStatus("reg: RegOpenKeyExW(path in other case)", rc);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return root;
}

// REG_SZ: sizes in bytes, UTF-16 with its terminator; one stored without it.
void registryStrings(HKEY root) {
  const WCHAR abc[] = TEXT("abc");
  sayStatus("reg: RegSetValueExW(REG_SZ \"abc\" with terminator, 8 bytes)",
            RegSetValueExW(root, TEXT("Text"), 0, REG_SZ, reinterpret_cast<const BYTE *>(abc), sizeof(abc)));
  RegRead r = regQuery(root, TEXT("Text"), 0);
  sayStatus("reg: RegQueryValueExW(REG_SZ, size query)", r.rc, "type=%u size=%u", U(r.type), U(r.size));
  r = regQuery(root, TEXT("Text"), 4);
  sayStatus("reg: RegQueryValueExW(REG_SZ, 4-byte buffer)", r.rc, "size=%u", U(r.size));
  r = regQuery(root, TEXT("TEXT"), sizeof(r.bytes));
  sayStatus("reg: RegQueryValueExW(value name in other case)", r.rc, "size=%u same=%d", U(r.size),
            B(r.rc == ERROR_SUCCESS && !memcmp(r.text, abc, sizeof(abc))));
  sayStatus("reg: RegQueryValueExW(missing value)", regQuery(root, TEXT("Missing"), sizeof(r.bytes)).rc);
  sayStatus("reg: RegQueryValueExW(default value never set)", regQuery(root, nullptr, sizeof(r.bytes)).rc);

  sayStatus("reg: RegSetValueExW(REG_SZ \"abc\" without terminator, 6 bytes)",
            RegSetValueExW(root, TEXT("Bare"), 0, REG_SZ, reinterpret_cast<const BYTE *>(abc), 6));
  r = regQuery(root, TEXT("Bare"), 0);
  sayStatus("reg: RegQueryValueExW(unterminated REG_SZ, size query)", r.rc, "size=%u", U(r.size));
  sayStatus("reg: RegGetValueW(unterminated REG_SZ, 6-byte buffer)",
            regGet(root, nullptr, TEXT("Bare"), RRF_RT_REG_SZ, 6).rc);
  r = regGet(root, nullptr, TEXT("Bare"), RRF_RT_REG_SZ, 8);
  sayStatus("reg: RegGetValueW(unterminated REG_SZ, 8-byte buffer)", r.rc, "size=%u terminated=%d", U(r.size),
            B(r.rc == ERROR_SUCCESS && !memcmp(r.text, abc, sizeof(abc))));
}

// RegGetValueW's type restrictions and sizes, on REG_SZ, REG_DWORD and REG_MULTI_SZ values.
void registryTypes(HKEY root) {
  RegRead r = regGet(HKEY_LOCAL_MACHINE, kRegRoot, TEXT("Text"), RRF_RT_REG_SZ, 0);
  sayStatus("reg: RegGetValueW(REG_SZ, RRF_RT_REG_SZ, size query)", r.rc, "type=%u size=%u", U(r.type), U(r.size));
  r = regGet(root, nullptr, TEXT("Text"), RRF_RT_REG_SZ, sizeof(r.bytes));
  sayStatus("reg: RegGetValueW(REG_SZ, RRF_RT_REG_SZ, read)", r.rc, "size=%u", U(r.size));
  sayStatus("reg: RegGetValueW(REG_SZ value, RRF_RT_REG_DWORD)",
            regGet(root, nullptr, TEXT("Text"), RRF_RT_REG_DWORD, 4).rc);
  r = regGet(root, nullptr, TEXT("Text"), RRF_RT_ANY, sizeof(r.bytes));
  sayStatus("reg: RegGetValueW(REG_SZ value, RRF_RT_ANY)", r.rc, "type=%u", U(r.type));

  const DWORD stored = 0x12345678;
  sayStatus("reg: RegSetValueExW(REG_DWORD)",
            RegSetValueExW(root, TEXT("Number"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&stored), 4));
  r = regGet(root, nullptr, TEXT("Number"), RRF_RT_REG_DWORD, 4);
  sayStatus("reg: RegGetValueW(REG_DWORD, RRF_RT_REG_DWORD)", r.rc, "type=%u size=%u value=0x%x", U(r.type), U(r.size),
            U(r.number));
  r = regGet(root, nullptr, TEXT("Number"), RRF_RT_REG_DWORD, 2);
  sayStatus("reg: RegGetValueW(REG_DWORD, 2-byte buffer)", r.rc, "size=%u", U(r.size));
  sayStatus("reg: RegGetValueW(REG_DWORD, RRF_RT_DWORD)", regGet(root, nullptr, TEXT("Number"), RRF_RT_DWORD, 4).rc);
  sayStatus("reg: RegGetValueW(REG_DWORD value, RRF_RT_REG_SZ)",
            regGet(root, nullptr, TEXT("Number"), RRF_RT_REG_SZ, sizeof(r.bytes)).rc);
  sayStatus(
      "reg: RegGetValueW(missing key)",
      regGet(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\BrimvaultConformance\\Nowhere"), TEXT("Number"), RRF_RT_REG_DWORD, 4)
          .rc);
  sayStatus("reg: RegGetValueW(missing value)", regGet(root, nullptr, TEXT("Missing"), RRF_RT_REG_DWORD, 4).rc);

  // RegSetKeyValueW creates the subkey, as the product's list values need.
  const WCHAR multi[] = {'a', 0, 'b', 'c', 0, 0};
  sayStatus("reg: RegSetKeyValueW(REG_MULTI_SZ, new subkey, 12 bytes)",
            RegSetKeyValueW(root, TEXT("Lists"), TEXT("Multi"), REG_MULTI_SZ, multi, sizeof(multi)));
  r = regGet(root, TEXT("Lists"), TEXT("Multi"), RRF_RT_REG_MULTI_SZ, 0);
  sayStatus("reg: RegGetValueW(REG_MULTI_SZ, size query)", r.rc, "type=%u size=%u", U(r.type), U(r.size));
  sayStatus("reg: RegGetValueW(REG_MULTI_SZ value, RRF_RT_REG_SZ)",
            regGet(root, TEXT("Lists"), TEXT("Multi"), RRF_RT_REG_SZ, sizeof(r.bytes)).rc);
}

// Access rights, enumeration and deletion; closes the root.
void registryListsAndDeletion(HKEY root) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegRoot, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    const DWORD value = 1;
    sayStatus("reg: RegSetValueExW(key opened with KEY_READ)",
              RegSetValueExW(key, TEXT("Denied"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4));
    RegCloseKey(key);
  }
  LSTATUS rc;
  DWORD index = 0;
  for (;; ++index) {
    WCHAR name[64];
    DWORD length = 64;
    if ((rc = RegEnumKeyExW(root, index, name, &length, nullptr, nullptr, nullptr, nullptr)) != ERROR_SUCCESS) break;
  }
  sayStatus("reg: RegEnumKeyExW(past the last subkey)", rc, "subkeys=%u", U(index));
  WCHAR shortName[3];
  DWORD shortLength = 3;
  sayStatus("reg: RegEnumKeyExW(name buffer of 3 characters)",
            RegEnumKeyExW(root, 0, shortName, &shortLength, nullptr, nullptr, nullptr, nullptr));
  DWORD subkeys = 0, values = 0;
  rc = RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                        nullptr);
  sayStatus("reg: RegQueryInfoKeyW", rc, "subkeys=%u values=%u", U(subkeys), U(values));

  sayStatus("reg: RegDeleteValueW(existing)", RegDeleteValueW(root, TEXT("Bare")));
  sayStatus("reg: RegDeleteValueW(missing)", RegDeleteValueW(root, TEXT("Bare")));
  sayStatus("reg: RegDeleteKeyW(key with a subkey)", RegDeleteKeyW(root, TEXT("Deep")));
  sayStatus("reg: RegDeleteKeyW(leaf key)", RegDeleteKeyW(root, TEXT("Deep\\Deeper")));
  sayStatus("reg: RegDeleteKeyW(missing key)", RegDeleteKeyW(root, TEXT("Deep\\Deeper")));
  RegCloseKey(root);
  sayStatus("reg: RegDeleteTreeW(whole tree)", RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRegRoot));
  sayStatus("reg: RegOpenKeyExW(deleted key)", RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegRoot, 0, KEY_READ, &key));
  sayStatus("reg: RegCloseKey(closed handle)", RegCloseKey(root));
}

void registryArea() {
  HKEY root = registryKeys();
  if (!root) return;
  registryStrings(root);
  registryTypes(root);
  registryListsAndDeletion(root);
}

// --- processes ---------------------------------------------------------------------------------------------------

// Module and image names: lengths, truncation, terminators.
void moduleNames() {
  WCHAR path[MAX_PATH], cut[MAX_PATH];
  const DWORD full = GetModuleFileNameW(nullptr, path, MAX_PATH);
  say("proc: GetModuleFileNameW(NULL, MAX_PATH) returns the length of the text", "%d",
      B(full > 0 && full == wideLength(path)));
  SetLastError(0);
  DWORD length = GetModuleFileNameW(nullptr, cut, 5);
  say("proc: GetModuleFileNameW(NULL, 5 characters)", "%u err=%u terminated=%d", U(length), U(GetLastError()),
      B(cut[4] == 0));
  SetLastError(0);
  length = GetModuleFileNameW(nullptr, cut, full);
  say("proc: GetModuleFileNameW(NULL, room for the text without its terminator)", "%s err=%u terminated=%d",
      length == full ? "size" : "other", U(GetLastError()), B(cut[full - 1] == 0));
  SetLastError(0);
  length = GetModuleFileNameW(nullptr, cut, full + 1);
  say("proc: GetModuleFileNameW(NULL, room for the text and terminator)", "%s err=%u",
      length == full ? "length" : "other", U(GetLastError()));
  WCHAR image[MAX_PATH];
  DWORD size = MAX_PATH;
  BOOL ok = QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size);
  sayBool("proc: QueryFullProcessImageNameW(own process)", ok, "same as module path=%d size is length=%d",
          B(ok && wideEqualNoCase(image, path)), B(ok && size == wideLength(image)));
  size = 4;
  sayBool("proc: QueryFullProcessImageNameW(4 characters)",
          QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size));
}

void creationFailures() {
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  WCHAR line[2 * MAX_PATH];
  selfCommand("", line, 2 * MAX_PATH);
  widen("missing-program.exe\"", const_cast<WCHAR *>(fileNameOf(line)), MAX_PATH);
  sayBool("proc: CreateProcessW(missing program in this program's folder)",
          CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WCHAR missingFolder[] = TEXT("\"C:\\BrimvaultConformanceMissing\\none.exe\" child exit 0");
  sayBool("proc: CreateProcessW(program in a missing folder)",
          CreateProcessW(nullptr, missingFolder, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  selfCommand(" child exit 0", line, 2 * MAX_PATH);
  sayBool("proc: CreateProcessW(missing working folder)",
          CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, TEXT("C:\\BrimvaultConformanceMissing"),
                         &si, &pi));
}

// Exit codes keep all 32 bits; a running child is STILL_ACTIVE until TerminateProcess gives it its code.
void childLifetimes() {
  PROCESS_INFORMATION pi;
  BOOL ok = startChild("exit 7", 0, &pi);
  sayBool("proc: CreateProcessW(child that exits with 7)", ok);
  DWORD code = 0;
  if (ok) {
    say("proc: WaitForSingleObject(child that exits)", "%u", U(WaitForSingleObject(pi.hProcess, kWaitMs)));
    ok = GetExitCodeProcess(pi.hProcess, &code);
    sayBool("proc: GetExitCodeProcess(ended child)", ok, "code=%u", U(code));
    say("proc: GetProcessId(child's handle) is the id CreateProcessW gave", "%d",
        B(GetProcessId(pi.hProcess) == pi.dwProcessId));
    endChild(&pi);
  }
  say("proc: exit code 3221225477 (0xC0000005) of a child", "0x%x", U(runChild("exit 3221225477")));
  say("proc: exit code 1067 of a child", "%u", U(runChild("exit 1067")));

  ok = startChild("forever", 0, &pi);
  sayBool("proc: CreateProcessW(child that waits forever)", ok);
  if (!ok) return;
  ok = GetExitCodeProcess(pi.hProcess, &code);
  sayBool("proc: GetExitCodeProcess(running child)", ok, "code=%u", U(code));
  say("proc: WaitForSingleObject(running child, 0 ms)", "%u", U(WaitForSingleObject(pi.hProcess, 0)));
  DWORD session = 0xFFFFFFFF, own = 0xFFFFFFFE;
  ok = ProcessIdToSessionId(pi.dwProcessId, &session);
  ProcessIdToSessionId(GetCurrentProcessId(), &own);
  sayBool("proc: ProcessIdToSessionId(child)", ok, "same as own=%d", B(session == own));
  HANDLE opened = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pi.dwProcessId);
  const DWORD err = GetLastError();
  if (opened)
    say("proc: OpenProcess(running child, PROCESS_TERMINATE)", "handle");
  else
    say("proc: OpenProcess(running child, PROCESS_TERMINATE)", "NULL err=%u", U(err));
  sayBool("proc: TerminateProcess(running child, 42)", TerminateProcess(opened ? opened : pi.hProcess, 42));
  say("proc: WaitForSingleObject(terminated child)", "%u", U(WaitForSingleObject(pi.hProcess, kWaitMs)));
  ok = GetExitCodeProcess(pi.hProcess, &code);
  sayBool("proc: GetExitCodeProcess(terminated child)", ok, "code=%u", U(code));
  sayBool("proc: TerminateProcess(ended child)", TerminateProcess(pi.hProcess, 43));
  if (opened) CloseHandle(opened);
  endChild(&pi);
}

// A process object lives until its last handle closes; then its id names nothing.
void endedProcessObjects() {
  PROCESS_INFORMATION pi;
  if (startChild("exit 5", 0, &pi)) {
    const DWORD pid = pi.dwProcessId;
    WaitForSingleObject(pi.hProcess, kWaitMs);
    HANDLE again = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    const DWORD err = GetLastError();
    if (again)
      say("proc: OpenProcess(ended child, a handle still open)", "handle");
    else
      say("proc: OpenProcess(ended child, a handle still open)", "NULL err=%u", U(err));
    DWORD code = 0;
    const BOOL ok = again && GetExitCodeProcess(again, &code);
    sayBool("proc: GetExitCodeProcess(through that new handle)", ok, "code=%u", U(code));
    if (again) CloseHandle(again);
    endChild(&pi);
    sayHandle("proc: OpenProcess(ended child, every handle closed)",
              OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  }
  sayHandle("proc: OpenProcess(process id 0)", OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0));
  sayHandle("proc: OpenProcess(process id never given out)",
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, kNoSuchId));
  sayHandle("proc: OpenProcess(own id)", OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));

  DWORD code = 0;
  const BOOL ok = GetExitCodeProcess(GetCurrentProcess(), &code);
  sayBool("proc: GetExitCodeProcess(GetCurrentProcess())", ok, "code=%u", U(code));
  sayBool("proc: CloseHandle(GetCurrentProcess())", CloseHandle(GetCurrentProcess()));
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(kNoSuchId));
  sayBool("proc: CloseHandle(handle value never given out)", CloseHandle(bogus));
  const DWORD wait = WaitForSingleObject(bogus, 0);
  say("proc: WaitForSingleObject(handle value never given out)", "0x%x err=%u", U(wait), U(GetLastError()));
}

void sessionsAndEnvironment() {
  DWORD session = 0xFFFFFFFF;
  const BOOL ok = ProcessIdToSessionId(GetCurrentProcessId(), &session);
  const DWORD console = WTSGetActiveConsoleSessionId();
  sayBool("proc: ProcessIdToSessionId(own id)", ok, "same as console session=%d", B(session == console));
  say("proc: WTSGetActiveConsoleSessionId() has a session", "%d", B(console != 0xFFFFFFFF));
  sayBool("proc: ProcessIdToSessionId(process id never given out)", ProcessIdToSessionId(kNoSuchId, &session));
  WCHAR folder[MAX_PATH];
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  const DWORD got = GetCurrentDirectoryW(MAX_PATH, folder);
  say("proc: GetCurrentDirectoryW(size query) counts the terminator", "%d",
      B(needed > 0 && needed == got + 1 && got == wideLength(folder)));
  WCHAR value[8];
  SetLastError(0);
  const DWORD length = GetEnvironmentVariableW(TEXT("BRIMVAULT_CONFORMANCE_UNSET"), value, 8);
  say("proc: GetEnvironmentVariableW(unset variable)", "%u err=%u", U(length), U(GetLastError()));
}

void processArea() {
  moduleNames();
  creationFailures();
  childLifetimes();
  endedProcessObjects();
  sessionsAndEnvironment();
}

// --- jobs --------------------------------------------------------------------------------------------------------

const WCHAR kGoEvent[] = TEXT("BrimvaultConformance-Go"); // tells a "spawn" child to start its grandchild

// The process ids of a job (room for 16).
struct IdList {
  BOOL ok;
  DWORD assigned;
  DWORD inList;
  ULONG_PTR ids[16];
};

IdList queryIds(HANDLE job) {
  union {
    JOBOBJECT_BASIC_PROCESS_ID_LIST list; // ends in an array of one id
    BYTE bytes[sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 15 * sizeof(ULONG_PTR)];
  } buffer;
  ZeroMemory(&buffer, sizeof(buffer));
  IdList out;
  ZeroMemory(&out, sizeof(out));
  out.ok = QueryInformationJobObject(job, JobObjectBasicProcessIdList, &buffer, sizeof(buffer), nullptr);
  out.assigned = buffer.list.NumberOfAssignedProcesses;
  out.inList = buffer.list.NumberOfProcessIdsInList;
  // The ids run on past the declared array of one: read from the bytes.
  const BYTE *first = buffer.bytes + offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
  for (DWORD i = 0; i < out.inList && i < 16; ++i)
    memcpy(&out.ids[i], first + i * sizeof(ULONG_PTR), sizeof(ULONG_PTR));
  return out;
}

bool listed(const IdList &list, DWORD pid) {
  for (DWORD i = 0; i < list.inList && i < 16; ++i)
    if (list.ids[i] == pid) return true;
  return false;
}


void sayAccounting(const char *what, HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
  ZeroMemory(&info, sizeof(info));
  const BOOL ok = QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof(info), nullptr);
  sayBool(what, ok, "total=%u active=%u", U(info.TotalProcesses), U(info.ActiveProcesses));
}

DWORD limitFlags(HANDLE job, BOOL *ok) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof(limits));
  *ok = QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits), nullptr);
  return limits.BasicLimitInformation.LimitFlags;
}

HANDLE newJob(DWORD limits) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info;
  ZeroMemory(&info, sizeof(info));
  info.BasicLimitInformation.LimitFlags = limits;
  if (job) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info));
  return job;
}

// Limits as the product sets them: kill on close, breakaway allowed.
void jobLimits(HANDLE job) {
  sayAccounting("job: QueryInformationJobObject(accounting, new job)", job);
  BOOL ok;
  DWORD flags = limitFlags(job, &ok);
  sayBool("job: QueryInformationJobObject(extended limits, new job)", ok, "flags=0x%x", U(flags));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof(limits));
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  sayBool("job: SetInformationJobObject(extended limits, kill on close and breakaway)",
          SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)));
  sayBool("job: SetInformationJobObject(extended limits, 8 bytes short)",
          SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits) - 8));
  flags = limitFlags(job, &ok);
  sayBool("job: QueryInformationJobObject(extended limits, after the set)", ok, "flags=0x%x", U(flags));
}

// Members and their descendants: a member's child is a member and stays one after its creator ended; closing the
// job's last handle ends them all.
void jobDescendants(HANDLE job, HANDLE go) {
  PROCESS_INFORMATION waiter, creator;
  BOOL ok = startChild("forever", 0, &waiter);
  sayBool("job: AssignProcessToJobObject(running child)", ok && AssignProcessToJobObject(job, waiter.hProcess));
  ok = startChild("spawn BrimvaultConformance-Go", 0, &creator);
  sayBool("job: AssignProcessToJobObject(child that will start a grandchild)",
          ok && AssignProcessToJobObject(job, creator.hProcess));
  IdList ids = queryIds(job);
  sayBool("job: QueryInformationJobObject(process ids, two members)", ids.ok, "assigned=%u in list=%u both listed=%d",
          U(ids.assigned), U(ids.inList), B(listed(ids, waiter.dwProcessId) && listed(ids, creator.dwProcessId)));
  JOBOBJECT_BASIC_PROCESS_ID_LIST one; // room for exactly one id
  ZeroMemory(&one, sizeof(one));
  ok = QueryInformationJobObject(job, JobObjectBasicProcessIdList, &one, sizeof(one), nullptr);
  const DWORD err = GetLastError();
  const char *what = "job: QueryInformationJobObject(process ids, room for one of two)";
  if (ok)
    say(what, "1 assigned=%u in list=%u", U(one.NumberOfAssignedProcesses), U(one.NumberOfProcessIdsInList));
  else
    say(what, "0 err=%u assigned=%u in list=%u", U(err), U(one.NumberOfAssignedProcesses),
        U(one.NumberOfProcessIdsInList));

  SetEvent(go);
  const DWORD grandchild = exitCodeOf(creator.hProcess);
  const bool started = isProcessId(grandchild);
  say("job: a member started a grandchild and ended", "%d", B(started));
  ids = queryIds(job);
  sayBool("job: QueryInformationJobObject(process ids, after the creator ended)", ids.ok,
          "assigned=%u grandchild listed=%d creator listed=%d", U(ids.assigned), B(started && listed(ids, grandchild)),
          B(listed(ids, creator.dwProcessId)));
  sayAccounting("job: QueryInformationJobObject(accounting, after the creator ended)", job);

  HANDLE grand = started ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, grandchild) : nullptr;
  sayBool("job: CloseHandle(last handle of a kill-on-close job)", CloseHandle(job));
  say("job: WaitForSingleObject(member after the job's last handle closed)", "%u",
      U(waiter.hProcess ? WaitForSingleObject(waiter.hProcess, kWaitMs) : WAIT_FAILED));
  say("job: WaitForSingleObject(grandchild after the job's last handle closed)", "%u",
      U(grand ? WaitForSingleObject(grand, kWaitMs) : WAIT_FAILED));
  if (grand) {
    TerminateProcess(grand, 1);
    CloseHandle(grand);
  }
  endChild(&waiter);
  endChild(&creator);
}

// A member starts a child with CREATE_BREAKAWAY_FROM_JOB in a job with `limits`: the child's id, or kChildFailed |
// the error of the member's CreateProcessW. *job receives the job (the caller closes it).
DWORD breakAway(DWORD limits, HANDLE go, HANDLE *job) {
  *job = newJob(limits);
  ResetEvent(go);
  PROCESS_INFORMATION creator;
  DWORD result = kChildFailed;
  if (*job && startChild("spawn BrimvaultConformance-Go break", 0, &creator)) {
    if (AssignProcessToJobObject(*job, creator.hProcess)) {
      SetEvent(go);
      result = exitCodeOf(creator.hProcess);
    }
    endChild(&creator);
  }
  return result;
}

void jobBreakaway(HANDLE go) {
  HANDLE job;
  DWORD child = breakAway(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK, go, &job);
  sayChildResult("job: member's CreateProcessW(CREATE_BREAKAWAY_FROM_JOB, job allows breakaway)",
                 isProcessId(child) ? 0 : child);
  const IdList ids = queryIds(job);
  say("job: process ids after the creator ended, its child broke away", "assigned=%u listed=%d", U(ids.assigned),
      B(isProcessId(child) && listed(ids, child)));
  if (job) CloseHandle(job);
  if (isProcessId(child)) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, child);
    say("job: child that broke away outlives the job's last handle", "%d",
        B(h && WaitForSingleObject(h, 500) == WAIT_TIMEOUT));
    if (h) CloseHandle(h);
    terminateById(child);
  }

  child = breakAway(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, go, &job);
  sayChildResult("job: member's CreateProcessW(CREATE_BREAKAWAY_FROM_JOB, job without breakaway)",
                 isProcessId(child) ? 0 : child);
  if (isProcessId(child)) terminateById(child);
  if (job) CloseHandle(job);
}

// A job given at creation through PROC_THREAD_ATTRIBUTE_JOB_LIST, as the product starts its core.
void jobAtCreation() {
  SIZE_T bytes = 0;
  sayBool("job: InitializeProcThreadAttributeList(size query)",
          InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes));
  say("job: InitializeProcThreadAttributeList(size query) gives a size", "%d", B(bytes > 0));
  BYTE *storage = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1));
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
  HANDLE job = newJob(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
  BOOL ok = InitializeProcThreadAttributeList(attributes, 1, 0, &bytes);
  sayBool("job: InitializeProcThreadAttributeList", ok);
  if (ok) {
    sayBool(
        "job: UpdateProcThreadAttribute(PROC_THREAD_ATTRIBUTE_JOB_LIST)",
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof(job), nullptr, nullptr));
    STARTUPINFOEXW six;
    ZeroMemory(&six, sizeof(six));
    six.StartupInfo.cb = sizeof(six);
    six.lpAttributeList = attributes;
    PROCESS_INFORMATION member;
    ok = startChild("forever", EXTENDED_STARTUPINFO_PRESENT, &member, &six.StartupInfo);
    sayBool("job: CreateProcessW(EXTENDED_STARTUPINFO_PRESENT, job list)", ok);
    const IdList ids = queryIds(job);
    say("job: process ids of the job given at creation", "assigned=%u child listed=%d", U(ids.assigned),
        B(ok && listed(ids, member.dwProcessId)));
    CloseHandle(job);
    job = nullptr;
    if (ok) {
      say("job: WaitForSingleObject(child after the job's last handle closed)", "%u",
          U(WaitForSingleObject(member.hProcess, kWaitMs)));
      endChild(&member);
    }
    DeleteProcThreadAttributeList(attributes);
  }
  if (job) CloseHandle(job);
  HeapFree(GetProcessHeap(), 0, storage);
}

void jobArea() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  const DWORD err = GetLastError();
  if (!job) return say("job: CreateJobObjectW(unnamed)", "NULL err=%u", U(err));
  say("job: CreateJobObjectW(unnamed)", "handle");
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, kGoEvent);
  jobLimits(job);
  jobDescendants(job, go); // closes the job
  jobBreakaway(go);
  if (go) CloseHandle(go);
  jobAtCreation();
}

// --- named objects and waits -------------------------------------------------------------------------------------

void namedObjectArea() {
  const WCHAR *mutexName = TEXT("BrimvaultConformance-Mutex");
  const WCHAR *eventName = TEXT("BrimvaultConformance-Event");
  SetLastError(0);
  HANDLE mutex = sayCreated("name: CreateMutexW(new name)", CreateMutexW(nullptr, FALSE, mutexName));
  SetLastError(0);
  HANDLE again = sayCreated("name: CreateMutexW(a mutex's name)", CreateMutexW(nullptr, FALSE, mutexName));
  if (again) CloseHandle(again);
  sayHandle("name: OpenMutexW(a mutex's name)", OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName));
  sayHandle("name: OpenMutexW(missing name)", OpenMutexW(SYNCHRONIZE, FALSE, TEXT("BrimvaultConformance-None")));
  sayHandle("name: OpenMutexW(the mutex's name in other case)",
            OpenMutexW(SYNCHRONIZE, FALSE, TEXT("brimvaultconformance-mutex")));
  sayChildResult("name: OpenMutexW(the mutex's name) in a child", runChild("open-mutex BrimvaultConformance-Mutex"));

  SetLastError(0);
  HANDLE event = sayCreated("name: CreateEventW(new name)", CreateEventW(nullptr, TRUE, FALSE, eventName));
  SetLastError(0);
  again = sayCreated("name: CreateEventW(an event's name)", CreateEventW(nullptr, TRUE, FALSE, eventName));
  if (again) CloseHandle(again);
  sayHandle("name: OpenEventW(an event's name)", OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, eventName));
  sayHandle("name: OpenEventW(missing name)", OpenEventW(SYNCHRONIZE, FALSE, TEXT("BrimvaultConformance-None")));

  // One namespace for every kind of named object.
  sayHandle("name: CreateEventW(a mutex's name)", CreateEventW(nullptr, TRUE, FALSE, mutexName));
  sayHandle("name: CreateMutexW(an event's name)", CreateMutexW(nullptr, FALSE, eventName));
  sayHandle("name: OpenMutexW(an event's name)", OpenMutexW(SYNCHRONIZE, FALSE, eventName));
  sayHandle("name: OpenEventW(a mutex's name)", OpenEventW(SYNCHRONIZE, FALSE, mutexName));
  // "Local\" names the session namespace that plain names use.
  sayHandle("name: OpenMutexW(Local\\ and the mutex's name)",
            OpenMutexW(SYNCHRONIZE, FALSE, TEXT("Local\\BrimvaultConformance-Mutex")));

  // A named object goes with its last handle.
  if (mutex) CloseHandle(mutex);
  if (event) CloseHandle(event);
  sayHandle("name: OpenMutexW(name whose last handle closed)", OpenMutexW(SYNCHRONIZE, FALSE, mutexName));
  sayHandle("name: OpenEventW(name whose last handle closed)", OpenEventW(SYNCHRONIZE, FALSE, eventName));
}

void waitArea() {
  HANDLE autoEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  say("sync: WaitForSingleObject(signalled auto-reset event)", "%u", U(WaitForSingleObject(autoEvent, 0)));
  say("sync: WaitForSingleObject(auto-reset event after a wait)", "%u", U(WaitForSingleObject(autoEvent, 0)));
  const DWORD first = WaitForSingleObject(manual, 0);
  say("sync: WaitForSingleObject(signalled manual-reset event, twice)", "%u %u", U(first),
      U(WaitForSingleObject(manual, 0)));
  sayBool("sync: ResetEvent(manual-reset event)", ResetEvent(manual));
  say("sync: WaitForSingleObject(reset manual-reset event, 0 ms)", "%u", U(WaitForSingleObject(manual, 0)));

  HANDLE pair[2] = {autoEvent, manual};
  SetEvent(autoEvent);
  SetEvent(manual);
  say("sync: WaitForMultipleObjects(both signalled, any)", "%u", U(WaitForMultipleObjects(2, pair, FALSE, 0)));
  say("sync: WaitForMultipleObjects(second signalled, any)", "%u", U(WaitForMultipleObjects(2, pair, FALSE, 0)));
  say("sync: WaitForMultipleObjects(one unsignalled, all, 0 ms)", "%u", U(WaitForMultipleObjects(2, pair, TRUE, 0)));
  const DWORD none = WaitForMultipleObjects(0, pair, FALSE, 0);
  say("sync: WaitForMultipleObjects(count 0)", "0x%x err=%u", U(none), U(GetLastError()));
  CloseHandle(autoEvent);
  CloseHandle(manual);

  // Mutex ownership: recursive, released once per acquisition, only by its owner.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  say("sync: WaitForSingleObject(mutex the thread owns)", "%u", U(WaitForSingleObject(mutex, 0)));
  sayBool("sync: ReleaseMutex(owned twice, first release)", ReleaseMutex(mutex));
  sayBool("sync: ReleaseMutex(owned twice, second release)", ReleaseMutex(mutex));
  sayBool("sync: ReleaseMutex(not owned)", ReleaseMutex(mutex));
  CloseHandle(mutex);

  // A mutex whose owner ended without releasing it is abandoned; the next wait owns it.
  mutex = CreateMutexW(nullptr, FALSE, TEXT("BrimvaultConformance-Abandoned"));
  sayChildResult("sync: child took the mutex and ended", runChild("take-mutex BrimvaultConformance-Abandoned"));
  say("sync: WaitForSingleObject(abandoned mutex)", "%u", U(WaitForSingleObject(mutex, kWaitMs)));
  sayBool("sync: ReleaseMutex(mutex taken over from an abandoned one)", ReleaseMutex(mutex));
  CloseHandle(mutex);
}

// --- consoles ----------------------------------------------------------------------------------------------------

BOOL WINAPI ignoreCtrl(DWORD) { return TRUE; }

// AttachConsole from children without a console (DETACHED_PROCESS), as the product's terminate copy attaches.
void consoleArea() {
  char args[64];
  sayChildResult("con: AttachConsole(process id never given out) without a console",
                 runChild("attach 2147483640", DETACHED_PROCESS));
  PROCESS_INFORMATION detached;
  if (startChild("forever", DETACHED_PROCESS, &detached)) {
    snprintf(args, sizeof(args), "attach %u", U(detached.dwProcessId));
    sayChildResult("con: AttachConsole(a process without a console) without a console",
                   runChild(args, DETACHED_PROCESS));
    endChild(&detached);
  }
  sayChildResult("con: FreeConsole() without a console", runChild("free", DETACHED_PROCESS));
  snprintf(args, sizeof(args), "attach %u", U(GetCurrentProcessId()));
  sayChildResult("con: AttachConsole(a process with a console) without a console", runChild(args, DETACHED_PROCESS));
  sayChildResult("con: AttachConsole(ATTACH_PARENT_PROCESS) sharing the parent's console", runChild("attach parent"));

  sayBool("con: SetConsoleCtrlHandler(NULL, TRUE)", SetConsoleCtrlHandler(nullptr, TRUE));
  sayBool("con: SetConsoleCtrlHandler(NULL, FALSE)", SetConsoleCtrlHandler(nullptr, FALSE));
  sayBool("con: SetConsoleCtrlHandler(handler, TRUE)", SetConsoleCtrlHandler(ignoreCtrl, TRUE));
  sayBool("con: SetConsoleCtrlHandler(handler, FALSE)", SetConsoleCtrlHandler(ignoreCtrl, FALSE));
  sayBool("con: SetConsoleCtrlHandler(handler never added, FALSE)", SetConsoleCtrlHandler(ignoreCtrl, FALSE));
}

// --- service control manager -------------------------------------------------------------------------------------

// What the service saw, written by it under kRegService, and the program's word to go on.
DWORD readServiceRecord(const WCHAR *name, DWORD fallback) {
  const RegRead r = regGet(HKEY_LOCAL_MACHINE, kRegService, name, RRF_RT_REG_DWORD, 4);
  return r.rc == ERROR_SUCCESS ? r.number : fallback;
}

void writeServiceRecord(const WCHAR *name, DWORD value) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRegService, name, REG_DWORD, &value, sizeof(value));
}

// The service side: START_PENDING, accepting nothing, until the program writes "Proceed"; then RUNNING, accepting
// STOP only (not PAUSE_CONTINUE).
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status;
HANDLE g_stopEvent = nullptr;

void report(DWORD state, DWORD accepted) {
  const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwCheckPoint = settled ? 0 : g_status.dwCheckPoint + 1;
  g_status.dwWaitHint = settled ? 0 : 30000;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI serviceHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
  case SERVICE_CONTROL_STOP:
    report(SERVICE_STOP_PENDING, 0);
    SetEvent(g_stopEvent);
    return NO_ERROR;
  case SERVICE_CONTROL_INTERROGATE:
    return NO_ERROR;
  case 200:
    writeServiceRecord(TEXT("Control200"), readServiceRecord(TEXT("Control200"), 0) + 1);
    return NO_ERROR;
  default:
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI serviceMain(DWORD, LPWSTR *) {
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, serviceHandler, nullptr);
  if (!g_statusHandle) return;
  report(SERVICE_START_PENDING, 0);
  DWORD session = 0xFFFFFFFE;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) session = 0xFFFFFFFE;
  writeServiceRecord(TEXT("Session"), session);
  for (DWORD waited = 0; waited < 3 * kWaitMs && !readServiceRecord(TEXT("Proceed"), 0); waited += 50) Sleep(50);
  report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
  WaitForSingleObject(g_stopEvent, 6 * kWaitMs);
  report(SERVICE_STOPPED, 0);
}

// The process goes on for a while after its service reported SERVICE_STOPPED, as a process may, so that the program
// sends a control to a service that is stopped while its process still runs.
int runService() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), serviceMain}, {nullptr, nullptr}};
  const int rc = StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
  Sleep(2000);
  return rc;
}

// The program's side.
bool waitForState(SC_HANDLE service, DWORD state, SERVICE_STATUS *status) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
    if (QueryServiceStatus(service, status) && status->dwCurrentState == state) return true;
    Sleep(50);
  }
  return false;
}

// A service handle result, "handle" or "NULL err=<e>"; the handle is closed.
void sayService(const char *what, SC_HANDLE h) {
  const DWORD err = GetLastError();
  if (!h) return say(what, "NULL err=%u", U(err));
  say(what, "handle");
  CloseServiceHandle(h);
}

// Polls until OpenServiceW no longer finds the service (deletion completes once every handle is closed): its error
// then, 0 while it still finds it.
DWORD waitDeleted(SC_HANDLE scm) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
    SC_HANDLE found = OpenServiceW(scm, kServiceName, SERVICE_QUERY_STATUS);
    if (!found) return GetLastError();
    CloseServiceHandle(found);
    Sleep(50);
  }
  return 0;
}

// A service entry an earlier run left, stopped and removed.
void removeLeftService(SC_HANDLE scm) {
  SC_HANDLE old = OpenServiceW(scm, kServiceName, SERVICE_ALL_ACCESS);
  if (!old) return;
  SERVICE_STATUS status;
  writeServiceRecord(TEXT("Proceed"), 1);
  ControlService(old, SERVICE_CONTROL_STOP, &status);
  waitForState(old, SERVICE_STOPPED, &status);
  DeleteService(old);
  CloseServiceHandle(old);
  waitDeleted(scm);
}

// QueryServiceStatus: the result, the state and the controls accepted.
void statusCase(const char *what, SC_HANDLE service) {
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  BOOL queried = QueryServiceStatus(service, &status);
  sayBool(what, queried, "state=%u accepted=0x%x", U(status.dwCurrentState), U(status.dwControlsAccepted));
}

// ControlService: the result, and with `withState` the state of the status it fills in ("?" when it did not).
void controlCase(const char *what, SC_HANDLE service, DWORD control, bool withState) {
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  const BOOL ok = ControlService(service, control, &status);
  const DWORD err = GetLastError();
  char state[16] = "";
  if (withState) {
    const DWORD s = status.dwCurrentState;
    if (s >= SERVICE_STOPPED && s <= SERVICE_PAUSED)
      snprintf(state, sizeof(state), " state=%u", U(s));
    else
      snprintf(state, sizeof(state), " state=?");
  }
  if (ok) return say(what, "1%s", state);
  say(what, "0 err=%u%s", U(err), state);
}

SC_HANDLE createOwnService(SC_HANDLE scm, const WCHAR *name) {
  WCHAR binary[2 * MAX_PATH];
  selfCommand(" --service", binary, 2 * MAX_PATH);
  return CreateServiceW(scm, name, name == kServiceName ? TEXT("Brimvault conformance") : nullptr, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
}

// Creation and configuration, while stopped.
void serviceEntry(SC_HANDLE scm, SC_HANDLE service) {
  sayService("svc: CreateServiceW(existing name)", createOwnService(scm, kServiceName));
  sayService("svc: CreateServiceW(existing name in other case)", createOwnService(scm, TEXT("brimvaultconformance")));
  sayService("svc: OpenServiceW(name in other case)",
             OpenServiceW(scm, TEXT("BRIMVAULTCONFORMANCE"), SERVICE_QUERY_STATUS));
  DWORD needed = 0;
  sayBool("svc: QueryServiceConfigW(size query)", QueryServiceConfigW(service, nullptr, 0, &needed));
  BYTE config[8192];
  QUERY_SERVICE_CONFIGW *qsc = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(config);
  const BOOL ok = needed <= sizeof(config) && QueryServiceConfigW(service, qsc, sizeof(config), &needed);
  sayBool("svc: QueryServiceConfigW", ok, "type=0x%x start=%u", U(ok ? qsc->dwServiceType : 0),
          U(ok ? qsc->dwStartType : 0));
  sayBool("svc: ChangeServiceConfigW(disabled)",
          ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr));
  sayBool("svc: StartServiceW(disabled service)", StartServiceW(service, 0, nullptr));
  ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr);

  statusCase("svc: QueryServiceStatus(never started)", service);
  controlCase("svc: ControlService(STOP, stopped)", service, SERVICE_CONTROL_STOP, false);
  controlCase("svc: ControlService(INTERROGATE, stopped)", service, SERVICE_CONTROL_INTERROGATE, false);
  SERVICE_STATUS_PROCESS ssp;
  needed = 0;
  sayBool("svc: QueryServiceStatusEx(8-byte buffer)",
          QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), 8, &needed));
  say("svc: QueryServiceStatusEx(8-byte buffer) asks for a SERVICE_STATUS_PROCESS", "%d",
      B(needed == sizeof(SERVICE_STATUS_PROCESS)));
}

// Start, START_PENDING, RUNNING: which controls reach the service in which state. Returns the service's process id.
DWORD serviceRun(SC_HANDLE service) {
  sayBool("svc: StartServiceW", StartServiceW(service, 0, nullptr));
  sayBool("svc: StartServiceW(started service)", StartServiceW(service, 0, nullptr));
  for (DWORD waited = 0; readServiceRecord(TEXT("Session"), 0xFFFFFFFF) == 0xFFFFFFFF && waited < kWaitMs; waited += 50)
    Sleep(50); // until its main function has reported START_PENDING
  statusCase("svc: QueryServiceStatus(start pending)", service);
  controlCase("svc: ControlService(STOP, start pending, stop not accepted)", service, SERVICE_CONTROL_STOP, false);
  controlCase("svc: ControlService(INTERROGATE, start pending)", service, SERVICE_CONTROL_INTERROGATE, false);
  controlCase("svc: ControlService(PAUSE, start pending)", service, SERVICE_CONTROL_PAUSE, false);
  writeServiceRecord(TEXT("Proceed"), 1);

  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  say("svc: service reached RUNNING", "%d", B(waitForState(service, SERVICE_RUNNING, &status)));
  SERVICE_STATUS_PROCESS ssp;
  ZeroMemory(&ssp, sizeof(ssp));
  DWORD needed = 0;
  const BOOL ok =
      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), sizeof(ssp), &needed);
  sayBool("svc: QueryServiceStatusEx(running)", ok, "state=%u accepted=0x%x has process id=%d", U(ssp.dwCurrentState),
          U(ssp.dwControlsAccepted), B(ssp.dwProcessId != 0));
  controlCase("svc: ControlService(PAUSE, running, accepts STOP only)", service, SERVICE_CONTROL_PAUSE, true);
  controlCase("svc: ControlService(CONTINUE, running, accepts STOP only)", service, SERVICE_CONTROL_CONTINUE, true);
  controlCase("svc: ControlService(INTERROGATE, running)", service, SERVICE_CONTROL_INTERROGATE, true);
  controlCase("svc: ControlService(user-defined 200, running)", service, 200, true);
  say("svc: ProcessIdToSessionId in the service", "session=%u", U(readServiceRecord(TEXT("Session"), 0xFFFFFFFF)));
  say("svc: handler saw control 200", "%u", U(readServiceRecord(TEXT("Control200"), 0)));
  return ssp.dwProcessId;
}

// Stop, then delete.
void serviceEnd(SC_HANDLE scm, SC_HANDLE service, DWORD pid) {
  controlCase("svc: ControlService(STOP, running)", service, SERVICE_CONTROL_STOP, false);
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  const bool stopped = waitForState(service, SERVICE_STOPPED, &status);
  say("svc: service reached STOPPED", "%d exit=%u", B(stopped), U(status.dwWin32ExitCode));
  controlCase("svc: ControlService(STOP, stopped, its process still running)", service, SERVICE_CONTROL_STOP, false);
  if (pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid); // NULL: ended and gone already
    say("svc: service process ended", "%d", B(!process || WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0));
    if (process) CloseHandle(process);
  }
  sayBool("svc: DeleteService", DeleteService(service));
  sayBool("svc: DeleteService(marked for deletion)", DeleteService(service));
  sayBool("svc: CloseServiceHandle(service)", CloseServiceHandle(service));
  const DWORD err = waitDeleted(scm);
  if (err)
    say("svc: OpenServiceW(deleted service, every handle closed)", "NULL err=%u", U(err));
  else
    say("svc: OpenServiceW(deleted service, every handle closed)", "handle");
}

void serviceArea() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), serviceMain}, {nullptr, nullptr}};
  sayBool("svc: StartServiceCtrlDispatcherW(outside the control manager)", StartServiceCtrlDispatcherW(table));
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  DWORD err = GetLastError();
  if (!scm) return say("svc: OpenSCManagerW(SC_MANAGER_ALL_ACCESS)", "NULL err=%u", U(err));
  say("svc: OpenSCManagerW(SC_MANAGER_ALL_ACCESS)", "handle");
  removeLeftService(scm);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRegService);
  sayService("svc: OpenServiceW(missing service)", OpenServiceW(scm, kServiceName, SERVICE_QUERY_STATUS));
  SC_HANDLE service = createOwnService(scm, kServiceName);
  err = GetLastError();
  if (service) {
    say("svc: CreateServiceW(own program, demand start)", "handle");
    serviceEntry(scm, service);
    serviceEnd(scm, service, serviceRun(service));
  } else {
    say("svc: CreateServiceW(own program, demand start)", "NULL err=%u", U(err));
  }
  sayBool("svc: CloseServiceHandle(SCM)", CloseServiceHandle(scm));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRegRoot);
}

// --- toolhelp ----------------------------------------------------------------------------------------------------

// Walks a process snapshot: whether `pid` is in it, and its parent.
bool findInSnapshot(HANDLE snapshot, DWORD pid, PROCESSENTRY32W *found) {
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == pid) {
      *found = entry;
      return true;
    }
  }
  return false;
}

void toolhelpArea() {
  PROCESS_INFORMATION child, later;
  const BOOL started = startChild("forever", 0, &child);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  const DWORD err = GetLastError();
  if (snapshot == INVALID_HANDLE_VALUE) {
    say("th: CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS)", "INVALID_HANDLE_VALUE err=%u", U(err));
    return endChild(&child);
  }
  say("th: CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS)", "handle");
  PROCESSENTRY32W entry;
  ZeroMemory(&entry, sizeof(entry));
  sayBool("th: Process32FirstW(dwSize 0)", Process32FirstW(snapshot, &entry));
  entry.dwSize = sizeof(entry);
  BOOL more = Process32FirstW(snapshot, &entry);
  sayBool("th: Process32FirstW", more);
  while (more) more = Process32NextW(snapshot, &entry);
  sayBool("th: Process32NextW(after the last)", more);
  bool found = findInSnapshot(snapshot, GetCurrentProcessId(), &entry);
  say("th: snapshot lists this process", "%d name is the module's file name=%d", B(found),
      B(found && wideEqualNoCase(entry.szExeFile, fileNameOf(g_self))));
  found = started && findInSnapshot(snapshot, child.dwProcessId, &entry);
  say("th: snapshot lists the running child", "%d parent is this process=%d", B(found),
      B(found && entry.th32ParentProcessID == GetCurrentProcessId()));
  // A snapshot is taken once: a process started afterwards is not in it.
  found = startChild("forever", 0, &later) && findInSnapshot(snapshot, later.dwProcessId, &entry);
  say("th: snapshot lists a child started after it was taken", "%d", B(found));
  CloseHandle(snapshot);
  endChild(&later);
  endChild(&child);
}

// --- code pages --------------------------------------------------------------------------------------------------

// A conversion's result: the count and the bytes (or UTF-16 units) written, or "0 err=<e>".
void sayBytes(const char *what, int n, const char *bytes, const char *extra = "") {
  const DWORD err = GetLastError();
  if (n <= 0) return say(what, "0 err=%u", U(err));
  char hex[256] = "";
  size_t at = 0;
  for (int i = 0; bytes && i < n && at + 4 < sizeof(hex); ++i)
    at += snprintf(hex + at, sizeof(hex) - at, "%s%02X", i ? " " : "", static_cast<unsigned char>(bytes[i]));
  say(what, "%d%s%s%s%s", n, bytes ? " bytes=" : "", hex, *extra ? " " : "", extra);
}

void sayUnits(const char *what, int n, const WCHAR *units) {
  const DWORD err = GetLastError();
  if (n <= 0) return say(what, "0 err=%u", U(err));
  char hex[256] = "";
  size_t at = 0;
  for (int i = 0; units && i < n && at + 6 < sizeof(hex); ++i)
    at += snprintf(hex + at, sizeof(hex) - at, "%s%04X", i ? " " : "", static_cast<unsigned>(units[i]));
  say(what, "%d%s%s", n, units ? " units=" : "", hex);
}

const char *usedText(BOOL used) { return used ? "used default=1" : "used default=0"; }

void utf8Conversions() {
  char out[256];
  WCHAR wide[64];
  BOOL used = FALSE;
  const WCHAR hello[] = {'h', 0xE9, 'l', 'l', 'o', 0};
  int n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, nullptr, 0, nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", -1, size query)", n, nullptr);
  n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", -1)", n, out);
  n = WideCharToMultiByte(CP_UTF8, 0, hello, 5, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", 5 units, no terminator)", n, out);
  n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, out, 3, nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", 3-byte buffer)", n, nullptr);
  n = WideCharToMultiByte(CP_UTF8, 0, hello, 0, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, length 0)", n, nullptr);
  n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, lpUsedDefaultChar given)", n, nullptr);
  n = WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, hello, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS)", n, nullptr);
  const WCHAR lone[] = {'a', 0xD800, 'b', 0};
  n = WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, lone surrogate)", n, out);
  n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone surrogate)", n, nullptr);
  const WCHAR emoji[] = {0xD83D, 0xDE00, 0};
  n = WideCharToMultiByte(CP_UTF8, 0, emoji, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, U+1F600 as a surrogate pair)", n, out);

  n = MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9llo", -1, nullptr, 0);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, \"h\\xC3\\xA9llo\", -1, size query)", n, nullptr);
  n = MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9llo", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, \"h\\xC3\\xA9llo\", -1)", n, wide);
  n = MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9llo", -1, wide, 3);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, 3-unit buffer)", n, nullptr);
  n = MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, length 0)", n, nullptr);
  n = MultiByteToWideChar(CP_UTF8, 0, "a\xC3(b", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, truncated sequence)", n, wide);
  n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3(b", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, truncated sequence)", n, nullptr);
  n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC0\xAF", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, overlong \"/\")", n, nullptr);
  n = MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED)", n, nullptr);
  n = MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, 4-byte sequence)", n, wide);
}

// Code page 1252, explicitly and as the system's ANSI code page; best fit.
void windows1252Conversions() {
  char out[256];
  WCHAR wide[64];
  BOOL used = FALSE;
  const WCHAR latin[] = {'a', 0xE9, 0x20AC, 0};
  int n = WideCharToMultiByte(1252, 0, latin, -1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, \"a\\u00E9\\u20AC\")", n, out, usedText(used));
  const WCHAR han[] = {'a', 0x4E2D, 0};
  used = FALSE;
  n = WideCharToMultiByte(1252, 0, han, -1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, \"a\\u4E2D\")", n, out, usedText(used));
  used = FALSE;
  n = WideCharToMultiByte(1252, 0, han, -1, out, sizeof(out), "#", &used);
  sayBytes("cp: WideCharToMultiByte(1252, \"a\\u4E2D\", default char \"#\")", n, out, usedText(used));
  WCHAR fullwidth[94];
  for (int i = 0; i < 94; ++i) fullwidth[i] = static_cast<WCHAR>(0xFF01 + i);
  used = TRUE;
  n = WideCharToMultiByte(1252, 0, fullwidth, 94, out, sizeof(out), nullptr, &used);
  bool ascii = n == 94;
  for (int i = 0; ascii && i < 94; ++i) ascii = out[i] == static_cast<char>(0x21 + i);
  say("cp: WideCharToMultiByte(1252, U+FF01..U+FF5E fullwidth)", "%d ascii=%d %s", n, B(ascii), usedText(used));
  const WCHAR infinity[] = {0x221E, 0};
  used = TRUE;
  n = WideCharToMultiByte(1252, 0, infinity, 1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, U+221E infinity)", n, out, usedText(used));
  const WCHAR fullA[] = {0xFF21, 0};
  used = FALSE;
  n = WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, fullA, 1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, U+FF21)", n, out, usedText(used));
  n = WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, latin, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS)", n, nullptr);
  n = MultiByteToWideChar(1252, 0, "a\xE9\x80", 3, wide, 64);
  sayUnits("cp: MultiByteToWideChar(1252, \"a\\xE9\\x80\")", n, wide);
  n = WideCharToMultiByte(12345, 0, latin, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(code page 12345)", n, nullptr);
  n = WideCharToMultiByte(CP_ACP, 0, latin, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_ACP, \"a\\u00E9\\u20AC\")", n, out);
  n = MultiByteToWideChar(CP_ACP, 0, "a\xE9\x80", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_ACP, \"a\\xE9\\x80\")", n, wide);
  WCHAR upper[] = {'a', 'b', 0xE9, 0x3B1, '1', 0};
  const DWORD converted = CharUpperBuffW(upper, 5);
  sayUnits("cp: CharUpperBuffW(\"ab\\u00E9\\u03B11\")", static_cast<int>(converted), upper);
}

// --- tokens ------------------------------------------------------------------------------------------------------

void tokenArea() {
  HANDLE token = nullptr;
  BOOL ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  sayBool("tok: OpenProcessToken(own process, TOKEN_QUERY)", ok);
  if (!ok) return;
  TOKEN_ELEVATION elevation;
  elevation.TokenIsElevated = 0;
  DWORD size = 0;
  ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
  sayBool("tok: GetTokenInformation(TokenElevation)", ok, "elevated=%d size=%u", B(elevation.TokenIsElevated), U(size));
  size = 0;
  ok = GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  say("tok: GetTokenInformation(TokenUser, size query)", "%d err=%u gives a size=%d", B(ok), U(GetLastError()),
      B(size > 0));
  DWORD session = 0xFFFFFFFF, own = 0xFFFFFFFE;
  ok = GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &size);
  ProcessIdToSessionId(GetCurrentProcessId(), &own);
  sayBool("tok: GetTokenInformation(TokenSessionId)", ok, "same as ProcessIdToSessionId=%d", B(session == own));
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  ok =
      AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
  sayBool("tok: AllocateAndInitializeSid(Administrators)", ok);
  if (ok) {
    BOOL member = FALSE;
    ok = CheckTokenMembership(nullptr, admins, &member);
    sayBool("tok: CheckTokenMembership(NULL, Administrators)", ok, "member=%d", B(member));
    sayBool("tok: CheckTokenMembership(primary token, Administrators)", CheckTokenMembership(token, admins, &member));
    FreeSid(admins);
  }
  CloseHandle(token);
}

// --- child modes -------------------------------------------------------------------------------------------------

int runChildMode(int argc, char **argv) {
  const char *mode = argc > 2 ? argv[2] : "";
  const char *a = argc > 3 ? argv[3] : "";
  WCHAR name[MAX_PATH];
  widen(a, name, MAX_PATH);
  const int failed = static_cast<int>(kChildFailed);
  if (!strcmp(mode, "exit")) return static_cast<int>(strtoul(a, nullptr, 10));
  if (!strcmp(mode, "forever"))
    for (;;) Sleep(1000);
  if (!strcmp(mode, "spawn")) {
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (!go) return failed | static_cast<int>(GetLastError());
    WaitForSingleObject(go, kWaitMs);
    const DWORD flags = argc > 4 && !strcmp(argv[4], "break") ? CREATE_BREAKAWAY_FROM_JOB : 0;
    PROCESS_INFORMATION pi;
    if (!startChild("forever", flags, &pi)) return failed | static_cast<int>(GetLastError());
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(pi.dwProcessId);
  }
  if (!strcmp(mode, "take-mutex")) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (!mutex) return failed | static_cast<int>(GetLastError());
    return WaitForSingleObject(mutex, kWaitMs) == WAIT_OBJECT_0 ? 0 : failed;
  }
  if (!strcmp(mode, "open-mutex")) return OpenMutexW(SYNCHRONIZE, FALSE, name) ? 0 : static_cast<int>(GetLastError());
  if (!strcmp(mode, "attach")) {
    const DWORD pid = !strcmp(a, "parent") ? ATTACH_PARENT_PROCESS : static_cast<DWORD>(strtoul(a, nullptr, 10));
    return AttachConsole(pid) ? 0 : static_cast<int>(GetLastError());
  }
  if (!strcmp(mode, "free")) return FreeConsole() ? 0 : static_cast<int>(GetLastError());
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (!GetModuleFileNameW(nullptr, g_self, MAX_PATH)) return 3;
  if (argc > 1 && !strcmp(argv[1], "child")) return runChildMode(argc, argv);
  if (argc > 1 && !strcmp(argv[1], "--service")) return runService();
  registryArea();
  processArea();
  jobArea();
  namedObjectArea();
  waitArea();
  toolhelpArea();
  utf8Conversions();
  windows1252Conversions();
  tokenArea();
  serviceArea();
  consoleArea();
  return 0;
}
