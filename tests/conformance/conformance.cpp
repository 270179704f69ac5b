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
//   child exit-process <code>   end with ExitProcess(<code>)
//   child ctrl-c-target <event> add a Ctrl+C handler that ends the process with 130, set the named event, wait
//   child ctrl-c <pid>          attach to <pid>'s console, ignore Ctrl+C, send it: 0 or the error
//   child ctrl-c-alone          send Ctrl+C without a console: 0 or the error
//   child select-driver         SetupDiSetSelectedDriverW(NULL) on an element of its own: 0 or the error
//   child area <name>           run one area (pow, pdh, com, dev, usb), its lines into a file beside the program
#include <winsock2.h> // before windows.h
#include <windows.h>

#include <aclapi.h>
#include <cfgmgr32.h>
#include <iphlpapi.h>
#include <netfw.h>
#include <newdev.h>
#include <objbase.h>
#include <oleauto.h>
#include <pdh.h>
#include <powrprof.h>
#include <sddl.h>
#include <setupapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <usbioctl.h>
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

// How a child ran: the error of CreateProcessW (0: started), whether it ended within kWaitMs, its whole exit code.
struct ChildRun {
  DWORD startError;
  bool ended;
  DWORD code;
};

ChildRun runChild(const char *args, DWORD flags = 0) {
  ChildRun run = {0, false, 0};
  PROCESS_INFORMATION pi;
  if (!startChild(args, flags, &pi)) {
    run.startError = GetLastError();
    return run;
  }
  run.ended = WaitForSingleObject(pi.hProcess, kWaitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &run.code);
  endChild(&pi);
  return run;
}

// A child that returns 0 or a Windows error: "1" or "0 err=<its whole exit code>", or why it gave none.
void sayChildResult(const char *what, const ChildRun &run) {
  if (run.startError) return say(what, "not started err=%u", U(run.startError));
  if (!run.ended) return say(what, "did not end");
  if (run.code == 0) return say(what, "1");
  say(what, "0 err=%u", U(run.code));
}

// A child's whole exit code (in hex with `hex`), or why it gave none.
void sayExitCode(const char *what, const ChildRun &run, bool hex = true) {
  if (run.startError) return say(what, "not started err=%u", U(run.startError));
  if (!run.ended) return say(what, "did not end");
  say(what, hex ? "0x%x" : "%u", U(run.code));
}

// A "spawn" child's exit code is a process id, or kChildFailed | an error, or an exception code such as 0xC0000005
// when it crashed: ids on both systems stay far below 0x10000000.
bool isProcessId(DWORD code) { return code != 0 && code < 0x10000000; }

// A "spawn" child's exit code as a "0 or error" result: the error its CreateProcessW gave, else the code whole.
ChildRun spawnResult(DWORD code) {
  if (isProcessId(code)) return {0, true, 0};
  return {0, true, (code & kChildFailed) == kChildFailed && code != kChildFailed ? code & ~kChildFailed : code};
}

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
  for (WCHAR &c : cut) c = 'x'; // a terminator seen below is the call's
  const DWORD full = GetModuleFileNameW(nullptr, path, MAX_PATH);
  say("proc: GetModuleFileNameW(NULL, MAX_PATH) returns the length of the text", "%d",
      B(full > 0 && full == wideLength(path)));
  arm();
  DWORD length = GetModuleFileNameW(nullptr, cut, 5);
  say("proc: GetModuleFileNameW(NULL, 5 characters)", "%u err=%u terminated=%d", U(length), U(GetLastError()),
      B(cut[4] == 0));
  for (WCHAR &c : cut) c = 'x';
  arm();
  length = GetModuleFileNameW(nullptr, cut, full);
  say("proc: GetModuleFileNameW(NULL, room for the text without its terminator)", "%s err=%u terminated=%d",
      length == full ? "size" : "other", U(GetLastError()), B(cut[full - 1] == 0));
  SetLastError(0); // the success case: whether the call sets an error at all
  length = GetModuleFileNameW(nullptr, cut, full + 1);
  say("proc: GetModuleFileNameW(NULL, room for the text and terminator)", "%s err=%u",
      length == full ? "length" : "other", U(GetLastError()));
  WCHAR image[MAX_PATH];
  DWORD size = MAX_PATH;
  arm();
  BOOL ok = QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size);
  sayBool("proc: QueryFullProcessImageNameW(own process)", ok, "same as module path=%d size is length=%d",
          B(ok && wideEqualNoCase(image, path)), B(ok && size == wideLength(image)));
  size = 4;
  sayBool("proc: QueryFullProcessImageNameW(4 characters)",
          (arm(), QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size)));
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
          (arm(), CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)));
  WCHAR missingFolder[] = TEXT("\"C:\\BrimvaultConformanceMissing\\none.exe\" child exit 0");
  sayBool("proc: CreateProcessW(program in a missing folder)",
          (arm(), CreateProcessW(nullptr, missingFolder, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)));
  selfCommand(" child exit 0", line, 2 * MAX_PATH);
  sayBool("proc: CreateProcessW(missing working folder)",
          (arm(), CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr,
                                 TEXT("C:\\BrimvaultConformanceMissing"),
                         &si, &pi)));
}

// Exit codes keep all 32 bits; a running child is STILL_ACTIVE until TerminateProcess gives it its code.
void childLifetimes() {
  PROCESS_INFORMATION pi;
  BOOL ok = startChild("exit 7", 0, &pi);
  sayBool("proc: CreateProcessW(child that exits with 7)", ok);
  DWORD code = 0;
  if (ok) {
    say("proc: WaitForSingleObject(child that exits)", "%u", U(WaitForSingleObject(pi.hProcess, kWaitMs)));
    arm();
    ok = GetExitCodeProcess(pi.hProcess, &code);
    sayBool("proc: GetExitCodeProcess(ended child)", ok, "code=%u", U(code));
    say("proc: GetProcessId(child's handle) is the id CreateProcessW gave", "%d",
        B(GetProcessId(pi.hProcess) == pi.dwProcessId));
    endChild(&pi);
  }
  sayExitCode("proc: exit code 3221225477 (0xC0000005) of a child", runChild("exit 3221225477"));
  sayExitCode("proc: exit code 1067 of a child", runChild("exit 1067"), false);
  sayExitCode("proc: ExitProcess(0xC0000409) in a child", runChild("exit-process 3221226505"));

  ok = startChild("forever", 0, &pi);
  sayBool("proc: CreateProcessW(child that waits forever)", ok);
  if (!ok) return;
  arm();
  ok = GetExitCodeProcess(pi.hProcess, &code);
  sayBool("proc: GetExitCodeProcess(running child)", ok, "code=%u", U(code));
  say("proc: WaitForSingleObject(running child, 0 ms)", "%u", U(WaitForSingleObject(pi.hProcess, 0)));
  DWORD session = 0xFFFFFFFF, own = 0xFFFFFFFE;
  arm();
  ok = ProcessIdToSessionId(pi.dwProcessId, &session);
  ProcessIdToSessionId(GetCurrentProcessId(), &own);
  sayBool("proc: ProcessIdToSessionId(child)", ok, "same as own=%d", B(session == own));
  arm();
  HANDLE opened = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pi.dwProcessId);
  const DWORD err = GetLastError();
  if (opened)
    say("proc: OpenProcess(running child, PROCESS_TERMINATE)", "handle");
  else
    say("proc: OpenProcess(running child, PROCESS_TERMINATE)", "NULL err=%u", U(err));
  sayBool("proc: TerminateProcess(running child, 42)", (arm(), TerminateProcess(opened ? opened : pi.hProcess, 42)));
  say("proc: WaitForSingleObject(terminated child)", "%u", U(WaitForSingleObject(pi.hProcess, kWaitMs)));
  arm();
  ok = GetExitCodeProcess(pi.hProcess, &code);
  sayBool("proc: GetExitCodeProcess(terminated child)", ok, "code=%u", U(code));
  sayBool("proc: TerminateProcess(ended child)", (arm(), TerminateProcess(pi.hProcess, 43)));
  if (opened) CloseHandle(opened);
  endChild(&pi);
}

// A process object lives until its last handle closes; then its id names nothing.
void endedProcessObjects() {
  PROCESS_INFORMATION pi;
  if (startChild("exit 5", 0, &pi)) {
    const DWORD pid = pi.dwProcessId;
    WaitForSingleObject(pi.hProcess, kWaitMs);
    arm();
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
              (arm(), OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)));
  }
  sayHandle("proc: OpenProcess(process id 0)", (arm(), OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)));
  sayHandle("proc: OpenProcess(process id never given out)",
            (arm(), OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, kNoSuchId)));
  sayHandle("proc: OpenProcess(own id)", (arm(), OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                                             GetCurrentProcessId())));

  DWORD code = 0;
  arm();
  const BOOL ok = GetExitCodeProcess(GetCurrentProcess(), &code);
  sayBool("proc: GetExitCodeProcess(GetCurrentProcess())", ok, "code=%u", U(code));
  sayBool("proc: CloseHandle(GetCurrentProcess())", (arm(), CloseHandle(GetCurrentProcess())));
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(kNoSuchId));
  sayBool("proc: CloseHandle(handle value never given out)", (arm(), CloseHandle(bogus)));
  arm();
  const DWORD wait = WaitForSingleObject(bogus, 0);
  say("proc: WaitForSingleObject(handle value never given out)", "0x%x err=%u", U(wait), U(GetLastError()));
}

void sessionsAndEnvironment() {
  DWORD session = 0xFFFFFFFF;
  arm();
  const BOOL ok = ProcessIdToSessionId(GetCurrentProcessId(), &session);
  const DWORD console = WTSGetActiveConsoleSessionId();
  sayBool("proc: ProcessIdToSessionId(own id)", ok, "same as console session=%d", B(session == console));
  say("proc: WTSGetActiveConsoleSessionId() has a session", "%d", B(console != 0xFFFFFFFF));
  sayBool("proc: ProcessIdToSessionId(process id never given out)", (arm(), ProcessIdToSessionId(kNoSuchId, &session)));
  WCHAR folder[MAX_PATH];
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  const DWORD got = GetCurrentDirectoryW(MAX_PATH, folder);
  say("proc: GetCurrentDirectoryW(size query) counts the terminator", "%d",
      B(needed > 0 && needed == got + 1 && got == wideLength(folder)));
  WCHAR value[8];
  arm();
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
  arm();
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
  setup("setup: CreateJobObjectW", job != nullptr);
  if (job)
    setup("setup: SetInformationJobObject(extended limits)",
          SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info)));
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
          (arm(), SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))));
  sayBool("job: SetInformationJobObject(extended limits, 8 bytes short)",
          (arm(), SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits) - 8)));
  flags = limitFlags(job, &ok);
  sayBool("job: QueryInformationJobObject(extended limits, after the set)", ok, "flags=0x%x", U(flags));
}

// Members and their descendants: a member's child is a member and stays one after its creator ended; closing the
// job's last handle ends them all.
void jobDescendants(HANDLE job, HANDLE go) {
  PROCESS_INFORMATION waiter, creator;
  BOOL ok = setup("setup: CreateProcessW(child forever)", startChild("forever", 0, &waiter));
  sayBool("job: AssignProcessToJobObject(running child)",
          ok && (arm(), AssignProcessToJobObject(job, waiter.hProcess)));
  ok = setup("setup: CreateProcessW(child spawn)", startChild("spawn BrimvaultConformance-Go", 0, &creator));
  sayBool("job: AssignProcessToJobObject(child that will start a grandchild)",
          ok && (arm(), AssignProcessToJobObject(job, creator.hProcess)));
  IdList ids = queryIds(job);
  sayBool("job: QueryInformationJobObject(process ids, two members)", ids.ok, "assigned=%u in list=%u both listed=%d",
          U(ids.assigned), U(ids.inList), B(listed(ids, waiter.dwProcessId) && listed(ids, creator.dwProcessId)));
  JOBOBJECT_BASIC_PROCESS_ID_LIST one; // room for exactly one id
  ZeroMemory(&one, sizeof(one));
  arm();
  ok = QueryInformationJobObject(job, JobObjectBasicProcessIdList, &one, sizeof(one), nullptr);
  const DWORD err = GetLastError();
  const char *what = "job: QueryInformationJobObject(process ids, room for one of two)";
  if (ok)
    say(what, "1 assigned=%u in list=%u", U(one.NumberOfAssignedProcesses), U(one.NumberOfProcessIdsInList));
  else
    say(what, "0 err=%u assigned=%u in list=%u", U(err), U(one.NumberOfAssignedProcesses),
        U(one.NumberOfProcessIdsInList));

  setup("setup: SetEvent(go)", SetEvent(go));
  const DWORD grandchild = exitCodeOf(creator.hProcess);
  const bool started = isProcessId(grandchild);
  say("job: a member started a grandchild and ended", "%d", B(started));
  ids = queryIds(job);
  sayBool("job: QueryInformationJobObject(process ids, after the creator ended)", ids.ok,
          "assigned=%u grandchild listed=%d creator listed=%d", U(ids.assigned), B(started && listed(ids, grandchild)),
          B(listed(ids, creator.dwProcessId)));
  // The structure's page: ActiveProcesses drops when the process exits and all references to it are released.
  sayAccounting("job: QueryInformationJobObject(accounting, after the creator ended, a handle to it open)", job);
  endChild(&creator);
  sayAccounting("job: QueryInformationJobObject(accounting, after the creator ended, its handles closed)", job);

  HANDLE grand = started ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, grandchild) : nullptr;
  sayBool("job: CloseHandle(last handle of a kill-on-close job)", (arm(), CloseHandle(job)));
  say("job: WaitForSingleObject(member after the job's last handle closed)", "%u",
      U(waiter.hProcess ? WaitForSingleObject(waiter.hProcess, kWaitMs) : WAIT_FAILED));
  say("job: WaitForSingleObject(grandchild after the job's last handle closed)", "%u",
      U(grand ? WaitForSingleObject(grand, kWaitMs) : WAIT_FAILED));
  if (grand) {
    TerminateProcess(grand, 1);
    CloseHandle(grand);
  }
  endChild(&waiter);
}

// A member starts a child with CREATE_BREAKAWAY_FROM_JOB in a job with `limits`: the child's id, or kChildFailed |
// the error of the member's CreateProcessW. *job receives the job (the caller closes it).
DWORD breakAway(DWORD limits, HANDLE go, HANDLE *job) {
  *job = newJob(limits);
  setup("setup: ResetEvent(go)", ResetEvent(go));
  PROCESS_INFORMATION creator;
  DWORD result = kChildFailed;
  if (*job && setup("setup: CreateProcessW(child spawn break)", startChild("spawn BrimvaultConformance-Go break", 0,
                                                                            &creator))) {
    if (setup("setup: AssignProcessToJobObject(creator)", AssignProcessToJobObject(*job, creator.hProcess))) {
      setup("setup: SetEvent(go)", SetEvent(go));
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
                 spawnResult(child));
  const IdList ids = queryIds(job);
  sayBool("job: QueryInformationJobObject(process ids, after the creator ended, its child broke away)", ids.ok,
          "child started=%d assigned=%u listed=%d", B(isProcessId(child)), U(ids.assigned),
          B(listed(ids, child)));
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
                 spawnResult(child));
  if (isProcessId(child)) terminateById(child);
  if (job) CloseHandle(job);
}

// A job given at creation through PROC_THREAD_ATTRIBUTE_JOB_LIST, as the product starts its core.
void jobAtCreation() {
  SIZE_T bytes = 0;
  sayBool("job: InitializeProcThreadAttributeList(size query)",
          (arm(), InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes)));
  say("job: InitializeProcThreadAttributeList(size query) gives a size", "%d", B(bytes > 0));
  BYTE *storage = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1));
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
  HANDLE job = newJob(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
  arm();
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
  arm();
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
  sayHandle("name: OpenMutexW(a mutex's name)", (arm(), OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                                                                   mutexName)));
  sayHandle("name: OpenMutexW(missing name)", (arm(), OpenMutexW(SYNCHRONIZE, FALSE,
                                                                 TEXT("BrimvaultConformance-None"))));
  sayHandle("name: OpenMutexW(the mutex's name in other case)",
            (arm(), OpenMutexW(SYNCHRONIZE, FALSE, TEXT("brimvaultconformance-mutex"))));
  sayChildResult("name: OpenMutexW(the mutex's name) in a child", runChild("open-mutex BrimvaultConformance-Mutex"));

  SetLastError(0);
  HANDLE event = sayCreated("name: CreateEventW(new name)", CreateEventW(nullptr, TRUE, FALSE, eventName));
  SetLastError(0);
  again = sayCreated("name: CreateEventW(an event's name)", CreateEventW(nullptr, TRUE, FALSE, eventName));
  if (again) CloseHandle(again);
  sayHandle("name: OpenEventW(an event's name)", (arm(), OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                                                    eventName)));
  sayHandle("name: OpenEventW(missing name)", (arm(), OpenEventW(SYNCHRONIZE, FALSE,
                                                                 TEXT("BrimvaultConformance-None"))));

  // One namespace for every kind of named object.
  sayHandle("name: CreateEventW(a mutex's name)", (arm(), CreateEventW(nullptr, TRUE, FALSE, mutexName)));
  sayHandle("name: CreateMutexW(an event's name)", (arm(), CreateMutexW(nullptr, FALSE, eventName)));
  sayHandle("name: OpenMutexW(an event's name)", (arm(), OpenMutexW(SYNCHRONIZE, FALSE, eventName)));
  sayHandle("name: OpenEventW(a mutex's name)", (arm(), OpenEventW(SYNCHRONIZE, FALSE, mutexName)));
  // "Local\" names the session namespace that plain names use.
  sayHandle("name: OpenMutexW(Local\\ and the mutex's name)",
            (arm(), OpenMutexW(SYNCHRONIZE, FALSE, TEXT("Local\\BrimvaultConformance-Mutex"))));

  // A named object goes with its last handle.
  if (mutex) CloseHandle(mutex);
  if (event) CloseHandle(event);
  sayHandle("name: OpenMutexW(name whose last handle closed)", (arm(), OpenMutexW(SYNCHRONIZE, FALSE, mutexName)));
  sayHandle("name: OpenEventW(name whose last handle closed)", (arm(), OpenEventW(SYNCHRONIZE, FALSE, eventName)));
}

void waitArea() {
  HANDLE autoEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  setup("setup: CreateEventW(auto-reset)", autoEvent != nullptr);
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  setup("setup: CreateEventW(manual-reset)", manual != nullptr);
  say("sync: WaitForSingleObject(signalled auto-reset event)", "%u", U(WaitForSingleObject(autoEvent, 0)));
  say("sync: WaitForSingleObject(auto-reset event after a wait)", "%u", U(WaitForSingleObject(autoEvent, 0)));
  const DWORD first = WaitForSingleObject(manual, 0);
  say("sync: WaitForSingleObject(signalled manual-reset event, twice)", "%u %u", U(first),
      U(WaitForSingleObject(manual, 0)));
  sayBool("sync: ResetEvent(manual-reset event)", (arm(), ResetEvent(manual)));
  say("sync: WaitForSingleObject(reset manual-reset event, 0 ms)", "%u", U(WaitForSingleObject(manual, 0)));

  HANDLE pair[2] = {autoEvent, manual};
  sayBool("sync: SetEvent(auto-reset event)", (arm(), SetEvent(autoEvent)));
  setup("setup: SetEvent(manual-reset event)", SetEvent(manual));
  say("sync: WaitForMultipleObjects(both signalled, any)", "%u", U(WaitForMultipleObjects(2, pair, FALSE, 0)));
  say("sync: WaitForMultipleObjects(second signalled, any)", "%u", U(WaitForMultipleObjects(2, pair, FALSE, 0)));
  say("sync: WaitForMultipleObjects(one unsignalled, all, 0 ms)", "%u", U(WaitForMultipleObjects(2, pair, TRUE, 0)));
  arm();
  const DWORD none = WaitForMultipleObjects(0, pair, FALSE, 0);
  say("sync: WaitForMultipleObjects(count 0)", "0x%x err=%u", U(none), U(GetLastError()));
  CloseHandle(autoEvent);
  CloseHandle(manual);

  // Mutex ownership: recursive, released once per acquisition, only by its owner.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  setup("setup: CreateMutexW(owned)", mutex != nullptr);
  say("sync: WaitForSingleObject(mutex the thread owns)", "%u", U(WaitForSingleObject(mutex, 0)));
  sayBool("sync: ReleaseMutex(owned twice, first release)", (arm(), ReleaseMutex(mutex)));
  sayBool("sync: ReleaseMutex(owned twice, second release)", (arm(), ReleaseMutex(mutex)));
  sayBool("sync: ReleaseMutex(not owned)", (arm(), ReleaseMutex(mutex)));
  CloseHandle(mutex);

  // A mutex whose owner ended without releasing it is abandoned; the next wait owns it.
  mutex = CreateMutexW(nullptr, FALSE, TEXT("BrimvaultConformance-Abandoned"));
  setup("setup: CreateMutexW(to abandon)", mutex != nullptr);
  sayChildResult("sync: child took the mutex and ended", runChild("take-mutex BrimvaultConformance-Abandoned"));
  say("sync: WaitForSingleObject(abandoned mutex)", "%u", U(WaitForSingleObject(mutex, kWaitMs)));
  sayBool("sync: ReleaseMutex(mutex taken over from an abandoned one)", (arm(), ReleaseMutex(mutex)));
  CloseHandle(mutex);
}

// --- consoles ----------------------------------------------------------------------------------------------------

BOOL WINAPI ignoreCtrl(DWORD) { return TRUE; }

BOOL WINAPI exitOnCtrlC(DWORD type) {
  if (type == CTRL_C_EVENT) ExitProcess(130);
  return FALSE;
}

// Ctrl+C as the service sends it to its core: from a copy without a console that attaches to the core's.
void consoleCtrlC() {
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, TEXT("BrimvaultConformance-Ready"));
  PROCESS_INFORMATION target;
  if (!setup("setup: CreateEventW(ready)", ready != nullptr) ||
      !setup("setup: CreateProcessW(ctrl-c target, CREATE_NO_WINDOW)",
             startChild("ctrl-c-target BrimvaultConformance-Ready", CREATE_NO_WINDOW, &target))) {
    if (ready) CloseHandle(ready);
    return;
  }
  if (setup("setup: WaitForSingleObject(target ready)", WaitForSingleObject(ready, kWaitMs) == WAIT_OBJECT_0)) {
    char args[64];
    snprintf(args, sizeof(args), "ctrl-c %u", U(target.dwProcessId));
    sayChildResult("con: GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) after AttachConsole to a child's console",
                   runChild(args, DETACHED_PROCESS));
    ChildRun run = {0, WaitForSingleObject(target.hProcess, kWaitMs) == WAIT_OBJECT_0, 0};
    if (run.ended && !GetExitCodeProcess(target.hProcess, &run.code)) run.ended = false;
    sayExitCode("con: the child's handler got CTRL_C_EVENT and ended with 130", run);
  }
  endChild(&target);
  CloseHandle(ready);
  sayChildResult("con: GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) without a console",
                 runChild("ctrl-c-alone", DETACHED_PROCESS));
}

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

  sayBool("con: SetConsoleCtrlHandler(NULL, TRUE)", (arm(), SetConsoleCtrlHandler(nullptr, TRUE)));
  sayBool("con: SetConsoleCtrlHandler(NULL, FALSE)", (arm(), SetConsoleCtrlHandler(nullptr, FALSE)));
  sayBool("con: SetConsoleCtrlHandler(handler, TRUE)", (arm(), SetConsoleCtrlHandler(ignoreCtrl, TRUE)));
  sayBool("con: SetConsoleCtrlHandler(handler, FALSE)", (arm(), SetConsoleCtrlHandler(ignoreCtrl, FALSE)));
  sayBool("con: SetConsoleCtrlHandler(handler never added, FALSE)", (arm(), SetConsoleCtrlHandler(ignoreCtrl, FALSE)));
  consoleCtrlC();
}

// --- memory, modules, SIDs -----------------------------------------------------------------------------------------

bool allZero(const void *p, size_t n) {
  const BYTE *b = static_cast<const BYTE *>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

void memoryAndModules() {
  arm();
  SetLastError(0x1234);
  say("mem: SetLastError(0x1234) then GetLastError()", "0x%x", U(GetLastError()));
  say("mem: GetProcessId(GetCurrentProcess()) is GetCurrentProcessId()", "%d",
      B(GetProcessId(GetCurrentProcess()) == GetCurrentProcessId()));
  BYTE *heap = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
  say("mem: HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64)", "%s zeroed=%d", heap ? "block" : "NULL",
      B(heap && allZero(heap, 64)));
  if (heap) sayBool("mem: HeapFree(block)", (arm(), HeapFree(GetProcessHeap(), 0, heap)));
  HLOCAL local = LocalAlloc(LMEM_ZEROINIT, 64);
  say("mem: LocalAlloc(LMEM_ZEROINIT, 64)", "%s zeroed=%d", local ? "block" : "NULL", B(local && allZero(local, 64)));
  if (local) say("mem: LocalFree(block) returns NULL", "%d", B(LocalFree(local) == nullptr));

  // The product finds CM_Get_Device_Interface_PropertyW at run time.
  arm();
  HMODULE cfgmgr = LoadLibraryW(TEXT("cfgmgr32.dll"));
  const DWORD err = GetLastError();
  if (!cfgmgr) {
    say("mod: LoadLibraryW(cfgmgr32.dll)", "NULL err=%u", U(err));
  } else {
    say("mod: LoadLibraryW(cfgmgr32.dll)", "module");
    say("mod: GetProcAddress(CM_Get_Device_Interface_PropertyW) finds it", "%d",
        B((arm(), GetProcAddress(cfgmgr, "CM_Get_Device_Interface_PropertyW")) != nullptr));
    arm();
    const bool none = GetProcAddress(cfgmgr, "BrimvaultNoSuchExport") == nullptr;
    say("mod: GetProcAddress(missing export)", "%s err=%u", none ? "NULL" : "found", U(GetLastError()));
    sayBool("mod: FreeLibrary(cfgmgr32)", (arm(), FreeLibrary(cfgmgr)));
  }
  arm();
  HMODULE missing = LoadLibraryW(TEXT("brimvault-no-such-library.dll"));
  say("mod: LoadLibraryW(missing library)", "%s err=%u", missing ? "module" : "NULL", U(GetLastError()));
  if (missing) FreeLibrary(missing);
}

void sidTexts() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!setup("setup: AllocateAndInitializeSid(Administrators)",
             AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                      &admins)))
    return;
  LPWSTR text = nullptr;
  arm();
  BOOL ok = ConvertSidToStringSidW(admins, &text);
  char narrow[64] = "";
  for (int i = 0; ok && text && text[i] && i < 63; ++i) narrow[i] = static_cast<char>(text[i]);
  sayBool("sid: ConvertSidToStringSidW(Administrators)", ok, "%s", narrow);
  if (ok) say("sid: LocalFree(the SID's text) returns NULL", "%d", B(LocalFree(text) == nullptr));
  BYTE bad[16];
  memcpy(bad, admins, sizeof(bad));
  bad[0] = 9; // a revision no SID has
  text = nullptr;
  sayBool("sid: ConvertSidToStringSidW(revision 9)", (arm(), ConvertSidToStringSidW(bad, &text)));
  if (text) LocalFree(text);
  say("sid: FreeSid(Administrators) returns NULL", "%d", B(FreeSid(admins) == nullptr));
}

// --- IP helper -----------------------------------------------------------------------------------------------------

// Size query, then the table: the size contract the product's port lists rely on.
void ipHelperArea() {
  ULONG size = 0;
  ULONG rc = GetTcpTable2(nullptr, &size, TRUE);
  say("ip: GetTcpTable2(NULL, size 0)", "%u gives a size=%d", U(rc), B(size >= sizeof(DWORD)));
  BYTE *bytes = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 4096));
  if (setup("setup: HeapAlloc(TCP table)", bytes != nullptr)) {
    ULONG room = size + 4096;
    PMIB_TCPTABLE2 tcp = reinterpret_cast<PMIB_TCPTABLE2>(bytes);
    rc = GetTcpTable2(tcp, &room, TRUE);
    say("ip: GetTcpTable2(room for the table)", "%u rows fit=%d", U(rc),
        B(rc == NO_ERROR && offsetof(MIB_TCPTABLE2, table) + tcp->dwNumEntries * sizeof(MIB_TCPROW2) <= room));
    room = 1;
    say("ip: GetTcpTable2(1-byte buffer)", "%u", U(GetTcpTable2(tcp, &room, TRUE)));
    HeapFree(GetProcessHeap(), 0, bytes);
  }
  DWORD udpSize = 0;
  DWORD urc = GetExtendedUdpTable(nullptr, &udpSize, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  say("ip: GetExtendedUdpTable(NULL, size 0, AF_INET, UDP_TABLE_OWNER_PID)", "%u gives a size=%d", U(urc),
      B(udpSize >= sizeof(DWORD)));
  bytes = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, udpSize + 4096));
  if (setup("setup: HeapAlloc(UDP table)", bytes != nullptr)) {
    DWORD room = udpSize + 4096;
    PMIB_UDPTABLE_OWNER_PID udp = reinterpret_cast<PMIB_UDPTABLE_OWNER_PID>(bytes);
    urc = GetExtendedUdpTable(udp, &room, TRUE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    say("ip: GetExtendedUdpTable(room for the table)", "%u rows fit=%d", U(urc),
        B(urc == NO_ERROR &&
          offsetof(MIB_UDPTABLE_OWNER_PID, table) + udp->dwNumEntries * sizeof(MIB_UDPROW_OWNER_PID) <= room));
    room = udpSize + 4096;
    say("ip: GetExtendedUdpTable(address family 12345)", "%u",
        U(GetExtendedUdpTable(udp, &room, TRUE, 12345, UDP_TABLE_OWNER_PID, 0)));
    HeapFree(GetProcessHeap(), 0, bytes);
  }
}

// --- power and performance counters ------------------------------------------------------------------------------

const GUID kProcessorSubgroup = {0x54533251, 0x82BE, 0x4824, {0x96, 0xC1, 0x47, 0xB6, 0x0B, 0x74, 0x0D, 0x00}};
const GUID kThrottleMaximum = {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xEC}};
const GUID kNoSuchSetting = {0x0B1A2C3D, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

void powerArea() {
  GUID *scheme = nullptr;
  DWORD rc = PowerGetActiveScheme(nullptr, &scheme);
  say("pow: PowerGetActiveScheme(NULL)", "%u scheme=%d", U(rc), B(scheme != nullptr));
  // Without an active scheme the calls below go to the balanced one, so that each still shows its result.
  static GUID balanced = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
  const bool owned = rc == ERROR_SUCCESS && scheme;
  if (!owned) scheme = &balanced;
  DWORD size = 0;
  rc = PowerReadFriendlyName(nullptr, scheme, nullptr, nullptr, nullptr, &size);
  say("pow: PowerReadFriendlyName(size query)", "%u gives a size=%d", U(rc), B(size > 2));
  BYTE name[512];
  memset(name, 'x', sizeof(name));
  DWORD small = 2;
  say("pow: PowerReadFriendlyName(2-byte buffer)", "%u",
      U(PowerReadFriendlyName(nullptr, scheme, nullptr, nullptr, name, &small)));
  DWORD room = sizeof(name);
  rc = PowerReadFriendlyName(nullptr, scheme, nullptr, nullptr, name, &room);
  say("pow: PowerReadFriendlyName", "%u size as queried=%d terminated=%d", U(rc), B(room == size),
      B(rc == ERROR_SUCCESS && room >= 2 && room <= sizeof(name) && name[room - 1] == 0 && name[room - 2] == 0));
  say("pow: PowerSetActiveScheme(the active scheme)", "%u", U(PowerSetActiveScheme(nullptr, scheme)));
  DWORD value = 0xFFFFFFFF;
  rc = PowerReadACValueIndex(nullptr, scheme, &kProcessorSubgroup, &kThrottleMaximum, &value);
  say("pow: PowerReadACValueIndex(processor throttle maximum)", "%u percent=%d", U(rc), B(value <= 100));
  DWORD other = 0;
  say("pow: PowerReadACValueIndex(missing setting)", "%u",
      U(PowerReadACValueIndex(nullptr, scheme, &kProcessorSubgroup, &kNoSuchSetting, &other)));
  if (value <= 100) {
    say("pow: PowerWriteACValueIndex(processor throttle maximum, the value read)", "%u",
        U(PowerWriteACValueIndex(nullptr, scheme, &kProcessorSubgroup, &kThrottleMaximum, value)));
  }
  if (owned) say("pow: LocalFree(the scheme) returns NULL", "%d", B(LocalFree(scheme) == nullptr));
}

void pdhArea() {
  PDH_HQUERY query = nullptr;
  PDH_STATUS rc = PdhOpenQueryW(nullptr, 0, &query);
  say("pdh: PdhOpenQueryW(NULL data source)", "0x%x", U(rc));
  if (rc != ERROR_SUCCESS) return;
  PDH_HCOUNTER time = nullptr, missing = nullptr;
  rc = PdhAddEnglishCounterW(query, TEXT("\\Processor Information(0,_Total)\\% Processor Time"), 0, &time);
  say("pdh: PdhAddEnglishCounterW(\\Processor Information(0,_Total)\\% Processor Time)", "0x%x", U(rc));
  rc = PdhAddEnglishCounterW(query, TEXT("\\Brimvault No Such Object\\No Such Counter"), 0, &missing);
  say("pdh: PdhAddEnglishCounterW(missing object)", "0x%x", U(rc));
  PDH_FMT_COUNTERVALUE value;
  memset(&value, 0, sizeof(value));
  if (time) {
    rc = PdhGetFormattedCounterValue(time, PDH_FMT_DOUBLE, nullptr, &value);
    say("pdh: PdhGetFormattedCounterValue(before any PdhCollectQueryData)", "0x%x", U(rc));
  } else {
    say("pdh: PdhGetFormattedCounterValue(before any PdhCollectQueryData)", "no counter");
  }
  say("pdh: PdhCollectQueryData(first sample)", "0x%x", U(PdhCollectQueryData(query)));
  Sleep(200);
  say("pdh: PdhCollectQueryData(after Sleep(200))", "0x%x", U(PdhCollectQueryData(query)));
  if (time) {
    memset(&value, 0, sizeof(value));
    rc = PdhGetFormattedCounterValue(time, PDH_FMT_DOUBLE, nullptr, &value);
    say("pdh: PdhGetFormattedCounterValue(PDH_FMT_DOUBLE, two samples)", "0x%x status=0x%x percent=%d", U(rc),
        U(value.CStatus), B(value.doubleValue >= 0 && value.doubleValue <= 100.0001));
  } else {
    say("pdh: PdhGetFormattedCounterValue(PDH_FMT_DOUBLE, two samples)", "no counter");
  }
  say("pdh: PdhCloseQuery", "0x%x", U(PdhCloseQuery(query)));
  say("pdh: PdhCloseQuery(closed query)", "0x%x", U(PdhCloseQuery(query)));
}

// --- shell ---------------------------------------------------------------------------------------------------------

void shellArea() {
  SHELLEXECUTEINFOW info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = TEXT("open");
  info.lpFile = g_self;
  info.lpParameters = TEXT("child exit 9");
  info.nShow = SW_HIDE;
  arm();
  BOOL ok = ShellExecuteExW(&info);
  sayBool("shell: ShellExecuteExW(open, this program, SEE_MASK_NOCLOSEPROCESS)", ok, "process=%d",
          B(info.hProcess != nullptr));
  if (ok && info.hProcess) {
    ChildRun run = {0, WaitForSingleObject(info.hProcess, kWaitMs) == WAIT_OBJECT_0, 0};
    if (run.ended && !GetExitCodeProcess(info.hProcess, &run.code)) run.ended = false;
    sayExitCode("shell: exit code of the program ShellExecuteExW started", run);
    CloseHandle(info.hProcess);
  }
  WCHAR missing[2 * MAX_PATH];
  selfCommand("", missing, 2 * MAX_PATH);
  widen("brimvault-missing-program.exe", const_cast<WCHAR *>(fileNameOf(missing)), MAX_PATH);
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = TEXT("open");
  info.lpFile = missing + 1; // without the opening quote
  info.nShow = SW_HIDE;
  sayBool("shell: ShellExecuteExW(open, missing program in this program's folder)", (arm(), ShellExecuteExW(&info)));
}

// --- files and folders -------------------------------------------------------------------------------------------

// The service's log folder rights.
const WCHAR kFolderRights[] = TEXT("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

void narrowInto(const WCHAR *text, char *out, size_t room) {
  size_t i = 0;
  for (; text && text[i] && i + 1 < room; ++i) out[i] = text[i] < 128 ? static_cast<char>(text[i]) : '?';
  out[i] = 0;
}

// folder + "\" + name.
void pathIn(const WCHAR *folder, const char *name, WCHAR *out) {
  size_t n = wideLength(folder);
  memcpy(out, folder, n * sizeof(WCHAR));
  if (n && out[n - 1] != '\\') out[n++] = '\\';
  widen(name, out + n, MAX_PATH - n);
}

bool makeFile(const WCHAR *path, const char *content) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(strlen(content));
  const bool ok = WriteFile(h, content, size, &written, nullptr) && written == size;
  CloseHandle(h);
  return ok;
}

// "0xffffffff err=<e>" for INVALID_FILE_ATTRIBUTES, else whether it is a folder.
void sayAttributes(const char *what, const WCHAR *path) {
  arm();
  const DWORD attributes = GetFileAttributesW(path);
  const DWORD err = GetLastError();
  if (attributes == INVALID_FILE_ATTRIBUTES) return say(what, "0x%x err=%u", U(attributes), U(err));
  say(what, "directory=%d reparse=%d", B(attributes & FILE_ATTRIBUTE_DIRECTORY),
      B(attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

int compareNames(const void *a, const void *b) {
  return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

// Lists `pattern` (named `name` in the lines) to its end: the names sorted, folders with a final "/", since the
// order is not documented; then how FindNextFileW ended and FindClose.
void sayListing(const char *name, const WCHAR *pattern) {
  char what[128];
  snprintf(what, sizeof(what), "files: FindFirstFileW(%s)", name);
  WIN32_FIND_DATAW entry;
  ZeroMemory(&entry, sizeof(entry));
  arm();
  HANDLE find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE) return say(what, "INVALID_HANDLE_VALUE err=%u", U(GetLastError()));
  char names[16][MAX_PATH];
  int count = 0;
  do {
    if (count < 16) {
      narrowInto(entry.cFileName, names[count], MAX_PATH - 1);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) strcat(names[count], "/");
      ++count;
    }
    ZeroMemory(&entry, sizeof(entry));
    arm();
  } while (FindNextFileW(find, &entry));
  const DWORD end = GetLastError();
  qsort(names, static_cast<size_t>(count), sizeof(names[0]), compareNames);
  char list[512] = "";
  for (int i = 0; i < count; ++i) {
    if (i) strncat(list, ",", sizeof(list) - strlen(list) - 1);
    strncat(list, names[i], sizeof(list) - strlen(list) - 1);
  }
  say(what, "%s", list);
  snprintf(what, sizeof(what), "files: FindNextFileW(%s, after the last)", name);
  say(what, "0 err=%u", U(end));
  snprintf(what, sizeof(what), "files: FindClose(%s)", name);
  sayBool(what, (arm(), FindClose(find)));
}

// The descriptor's owner and DACL as SDDL, with the length the call gives.
void saySddl(const char *what, PSECURITY_DESCRIPTOR sd) {
  LPWSTR text = nullptr;
  ULONG length = 0;
  arm();
  const BOOL ok = ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, kOwnerAndDacl, &text,
                                                                       &length);
  char narrow[512] = "";
  if (ok) narrowInto(text, narrow, sizeof(narrow));
  sayBool(what, ok, "%s length=%u", narrow, U(length));
  if (text) LocalFree(text);
}

// A named object's owner and DACL read back: the call's status, the owner as a SID string, the SDDL.
void sayNamedSecurity(const char *what, const WCHAR *path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, kOwnerAndDacl, &owner, nullptr, &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS || !sd) return say(what, "%u", U(rc));
  LPWSTR sid = nullptr;
  char ownerText[64] = "?";
  if (owner && ConvertSidToStringSidW(owner, &sid)) narrowInto(sid, ownerText, sizeof(ownerText));
  if (sid) LocalFree(sid);
  LPWSTR text = nullptr;
  char narrow[512] = "?";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, kOwnerAndDacl, &text, nullptr))
    narrowInto(text, narrow, sizeof(narrow));
  if (text) LocalFree(text);
  say(what, "%u owner=%s dacl=%d %s", U(rc), ownerText, B(dacl != nullptr), narrow);
  LocalFree(sd);
}

// The product's SDDL both ways and the parts the service takes from it.
void securityDescriptors(PSECURITY_DESCRIPTOR *made) {
  ULONG size = 0;
  arm();
  BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderRights, SDDL_REVISION_1, made, &size);
  sayBool("files: ConvertStringSecurityDescriptorToSecurityDescriptorW(service folder rights)", ok, "size=%u",
          U(size));
  if (!ok) *made = nullptr;
  PSECURITY_DESCRIPTOR bad = nullptr;
  arm();
  ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(TEXT("O:BAD:P(A;OICI;FA;;;SY"), SDDL_REVISION_1, &bad,
                                                            nullptr);
  sayBool("files: ConvertStringSecurityDescriptorToSecurityDescriptorW(ACE without its closing parenthesis)", ok);
  if (bad) LocalFree(bad);
  if (!*made) return;
  saySddl("files: ConvertSecurityDescriptorToStringSecurityDescriptorW(OWNER|DACL)", *made);
  PSID owner = nullptr;
  BOOL defaulted = TRUE;
  arm();
  ok = GetSecurityDescriptorOwner(*made, &owner, &defaulted);
  LPWSTR sid = nullptr;
  char ownerText[64] = "NULL";
  if (ok && owner && ConvertSidToStringSidW(owner, &sid)) narrowInto(sid, ownerText, sizeof(ownerText));
  if (sid) LocalFree(sid);
  sayBool("files: GetSecurityDescriptorOwner(made from SDDL)", ok, "owner=%s defaulted=%d", ownerText, B(defaulted));
  BOOL present = FALSE;
  PACL dacl = nullptr;
  defaulted = TRUE;
  arm();
  ok = GetSecurityDescriptorDacl(*made, &present, &dacl, &defaulted);
  sayBool("files: GetSecurityDescriptorDacl(made from SDDL)", ok, "present=%d aces=%d defaulted=%d", B(present),
          dacl ? dacl->AceCount : -1, B(defaulted));
}

// The calls the service's log folder hardening and the log pruning make, in a scratch folder of the temp folder.
void filesArea() {
  PSECURITY_DESCRIPTOR rights = nullptr;
  securityDescriptors(&rights);

  WCHAR temp[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, temp);
  if (!setup("setup: GetTempPathW", n > 0 && n < MAX_PATH - 64)) {
    LocalFree(rights);
    return;
  }
  WCHAR scratch[MAX_PATH], made[MAX_PATH], logs[MAX_PATH], sub[MAX_PATH], missing[MAX_PATH], deep[MAX_PATH];
  pathIn(temp, "BrimvaultConformanceFiles", scratch);
  pathIn(scratch, "made", made);
  pathIn(scratch, "logs", logs);
  pathIn(logs, "sub", sub);
  pathIn(scratch, "missing", missing);
  pathIn(missing, "deeper", deep);

  sayBool("files: CreateDirectoryW(new folder)", (arm(), CreateDirectoryW(scratch, nullptr)));
  sayBool("files: CreateDirectoryW(existing folder)", (arm(), CreateDirectoryW(scratch, nullptr)));
  sayBool("files: CreateDirectoryW(missing parent)", (arm(), CreateDirectoryW(deep, nullptr)));
  const bool madeWithRights = rights != nullptr;
  if (madeWithRights) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), rights, FALSE};
    sayBool("files: CreateDirectoryW(new folder, service folder rights)", (arm(), CreateDirectoryW(made, &sa)));
    sayNamedSecurity("files: GetNamedSecurityInfoW(folder made with service folder rights)", made);
  }

  WCHAR a[MAX_PATH], b[MAX_PATH], c[MAX_PATH], moved[MAX_PATH];
  pathIn(logs, "a.log", a);
  pathIn(logs, "b.log", b);
  pathIn(logs, "c.txt", c);
  pathIn(logs, "moved.log", moved);
  if (!setup("setup: CreateDirectoryW(logs)", CreateDirectoryW(logs, nullptr)) ||
      !setup("setup: CreateDirectoryW(logs\\sub)", CreateDirectoryW(sub, nullptr)) ||
      !setup("setup: CreateFileW(a.log)", makeFile(a, "abc")) ||
      !setup("setup: CreateFileW(b.log)", makeFile(b, "")) || !setup("setup: CreateFileW(c.txt)", makeFile(c, ""))) {
    LocalFree(rights);
    return;
  }
  sayAttributes("files: GetFileAttributesW(folder)", logs);
  sayAttributes("files: GetFileAttributesW(file)", a);
  sayAttributes("files: GetFileAttributesW(missing file)", missing);
  sayAttributes("files: GetFileAttributesW(missing parent)", deep);

  WCHAR pattern[MAX_PATH];
  pathIn(logs, "*.log", pattern);
  sayListing("*.log", pattern);
  pathIn(logs, "*", pattern);
  sayListing("*", pattern);
  pathIn(logs, "*.none", pattern);
  sayListing("*.none, no match", pattern);
  pathIn(missing, "*", pattern);
  sayListing("missing folder\\*", pattern);

  sayBool("files: MoveFileExW(rename, 0)", (arm(), MoveFileExW(a, moved, 0)));
  sayBool("files: MoveFileExW(onto an existing file, 0)", (arm(), MoveFileExW(moved, b, 0)));
  sayBool("files: MoveFileExW(onto an existing file, MOVEFILE_REPLACE_EXISTING)",
          (arm(), MoveFileExW(moved, b, MOVEFILE_REPLACE_EXISTING)));
  pathIn(logs, "*.log", pattern);
  WIN32_FIND_DATAW entry;
  ZeroMemory(&entry, sizeof(entry));
  HANDLE find = FindFirstFileW(pattern, &entry);
  if (setup("setup: FindFirstFileW(*.log after the replacement)", find != INVALID_HANDLE_VALUE)) {
    char name[MAX_PATH];
    narrowInto(entry.cFileName, name, sizeof(name));
    say("files: the only *.log after MOVEFILE_REPLACE_EXISTING", "%s size=%u more=%d", name, U(entry.nFileSizeLow),
        B(FindNextFileW(find, &entry)));
    FindClose(find);
  }

  sayBool("files: DeleteFileW(file)", (arm(), DeleteFileW(c)));
  sayBool("files: DeleteFileW(missing file)", (arm(), DeleteFileW(c)));
  sayBool("files: DeleteFileW(folder)", (arm(), DeleteFileW(sub)));
  sayBool("files: RemoveDirectoryW(folder with a file)", (arm(), RemoveDirectoryW(logs)));
  sayBool("files: RemoveDirectoryW(empty folder)", (arm(), RemoveDirectoryW(sub)));
  sayBool("files: RemoveDirectoryW(missing folder)", (arm(), RemoveDirectoryW(sub)));

  if (rights) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (setup("setup: GetSecurityDescriptorOwner", GetSecurityDescriptorOwner(rights, &owner, &defaulted)) &&
        setup("setup: GetSecurityDescriptorDacl", GetSecurityDescriptorDacl(rights, &present, &dacl, &defaulted))) {
      const SECURITY_INFORMATION what = kOwnerAndDacl | PROTECTED_DACL_SECURITY_INFORMATION;
      say("files: SetNamedSecurityInfoW(scratch folder, owner Administrators, protected DACL)", "%u",
          U(SetNamedSecurityInfoW(scratch, SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr)));
      sayNamedSecurity("files: GetNamedSecurityInfoW(scratch folder after SetNamedSecurityInfoW)", scratch);
      say("files: SetNamedSecurityInfoW(missing path)", "%u",
          U(SetNamedSecurityInfoW(missing, SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr)));
    }
    LocalFree(rights);
  }
  sayNamedSecurity("files: GetNamedSecurityInfoW(missing path)", missing);

  arm();
  OutputDebugStringW(TEXT("Brimvault conformance: a line for a debugger"));
  say("files: OutputDebugStringW(text) returns nothing; the last error after it", "err=%u", U(GetLastError()));

  setup("setup: DeleteFileW(b.log)", DeleteFileW(b));
  setup("setup: RemoveDirectoryW(logs)", RemoveDirectoryW(logs));
  if (madeWithRights) setup("setup: RemoveDirectoryW(made)", RemoveDirectoryW(made));
  setup("setup: RemoveDirectoryW(scratch folder)", RemoveDirectoryW(scratch));
}

// --- firewall COM ------------------------------------------------------------------------------------------------

const CLSID kNetFwPolicy2 = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
const IID kINetFwPolicy2 = {0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};
const CLSID kNetFwRule = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};
const IID kINetFwRule = {0xAF230D27, 0xBABA, 0x4E42, {0xAC, 0xED, 0xF5, 0x24, 0xF2, 0x2C, 0xFC, 0xE2}};
const CLSID kNoSuchClass = {0x0B1A2C3D, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77}};

void sayHr(const char *what, HRESULT hr, const char *extraFmt = "", ...) {
  char status[16];
  snprintf(status, sizeof(status), "0x%08x", static_cast<unsigned>(hr));
  va_list ap;
  va_start(ap, extraFmt);
  vsay(what, status, extraFmt, ap);
  va_end(ap);
}

void firewallRules(INetFwPolicy2 *policy) {
  INetFwRules *rules = nullptr;
  HRESULT hr = policy->get_Rules(&rules);
  sayHr("com: INetFwPolicy2::get_Rules", hr, "rules=%d", B(rules != nullptr));
  if (FAILED(hr) || !rules) return;
  LONG count = -1;
  hr = rules->get_Count(&count);
  sayHr("com: INetFwRules::get_Count", hr, "counted=%d", B(count >= 0));
  BSTR name = SysAllocString(TEXT("Brimvault conformance: no such rule"));
  INetFwRule *rule = reinterpret_cast<INetFwRule *>(1);
  hr = rules->Item(name, &rule);
  sayHr("com: INetFwRules::Item(missing rule)", hr);
  if (SUCCEEDED(hr) && rule && rule != reinterpret_cast<INetFwRule *>(1)) rule->Release();
  SysFreeString(name);
  rules->Release();
}

void comArea() {
  void *object = reinterpret_cast<void *>(1);
  HRESULT hr = CoCreateInstance(kNetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, kINetFwPolicy2, &object);
  sayHr("com: CoCreateInstance(NetFwPolicy2) before CoInitializeEx", hr, "out=%s", object ? "set" : "NULL");
  sayHr("com: CoInitializeEx(COINIT_APARTMENTTHREADED)", CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  sayHr("com: CoInitializeEx(COINIT_APARTMENTTHREADED) again", CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  sayHr("com: CoInitializeEx(COINIT_MULTITHREADED) in that apartment", CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  object = reinterpret_cast<void *>(1);
  hr = CoCreateInstance(kNoSuchClass, nullptr, CLSCTX_INPROC_SERVER, kINetFwPolicy2, &object);
  sayHr("com: CoCreateInstance(unregistered class)", hr, "out=%s", object ? "set" : "NULL");
  INetFwPolicy2 *policy = nullptr;
  hr = CoCreateInstance(kNetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, kINetFwPolicy2,
                                reinterpret_cast<void **>(&policy));
  sayHr("com: CoCreateInstance(NetFwPolicy2, INetFwPolicy2)", hr);
  if (SUCCEEDED(hr) && policy) {
    firewallRules(policy);
    policy->Release();
  }
  INetFwRule *rule = nullptr;
  hr = CoCreateInstance(kNetFwRule, nullptr, CLSCTX_INPROC_SERVER, kINetFwRule, reinterpret_cast<void **>(&rule));
  sayHr("com: CoCreateInstance(NetFwRule, INetFwRule)", hr);
  if (SUCCEEDED(hr) && rule) {
    BSTR name = SysAllocString(TEXT("Brimvault conformance"));
    BSTR back = nullptr;
    hr = rule->put_Name(name);
    sayHr("com: INetFwRule::put_Name", hr);
    hr = rule->get_Name(&back);
    sayHr("com: INetFwRule::get_Name", hr, "same=%d",
          B(back && SysStringLen(back) == SysStringLen(name) &&
            !memcmp(back, name, SysStringLen(name) * sizeof(WCHAR))));
    SysFreeString(back);
    SysFreeString(name);
    rule->Release();
  }

  BSTR text = SysAllocString(TEXT("abc"));
  say("com: SysAllocString(\"abc\")", "%s length=%u terminated=%d", text ? "string" : "NULL", U(SysStringLen(text)),
      B(text && text[3] == 0));
  say("com: SysAllocString(NULL)", "%s", SysAllocString(nullptr) ? "string" : "NULL");
  VARIANT v;
  memset(&v, 0xAB, sizeof(v));
  VariantInit(&v);
  say("com: VariantInit(a VARIANT filled with 0xAB)", "vt=%u", U(v.vt));
  v.vt = VT_BSTR;
  v.bstrVal = text; // VariantClear frees it
  hr = VariantClear(&v);
  sayHr("com: VariantClear(VT_BSTR)", hr, "vt=%u", U(v.vt));
  SysFreeString(nullptr);
  say("com: SysFreeString(NULL) returns", "1");
  // Two counted initialisations: after two CoUninitialize calls the thread may pick the other model.
  CoUninitialize();
  CoUninitialize();
  hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  sayHr("com: CoInitializeEx(COINIT_MULTITHREADED) after one CoUninitialize() per success", hr);
  if (SUCCEEDED(hr)) CoUninitialize();
}

// --- primary tokens --------------------------------------------------------------------------------------------------

// The service's way to start a program in a session: a primary copy of its token, moved to the session.
void tokenCopies() {
  HANDLE own = nullptr;
  if (!setup("setup: OpenProcessToken(TOKEN_ALL_ACCESS)",
             OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)))
    return;
  HANDLE copy = nullptr;
  arm();
  BOOL ok = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &copy);
  TOKEN_TYPE type = TokenImpersonation;
  DWORD size = 0;
  const BOOL typed = ok && GetTokenInformation(copy, TokenType, &type, sizeof(type), &size);
  sayBool("tok: DuplicateTokenEx(TOKEN_ALL_ACCESS, SecurityImpersonation, TokenPrimary)", ok, "primary=%d",
          B(typed && type == TokenPrimary));
  if (ok) {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    // Moving a token to a session takes SeTcbPrivilege, which only LocalSystem holds (the service's lines below).
    sayBool("tok: SetTokenInformation(TokenSessionId) as an administrator",
            (arm(), SetTokenInformation(copy, TokenSessionId, &session, sizeof(session))));
    sayBool("tok: SetTokenInformation(TokenSessionId, 2-byte length)",
            (arm(), SetTokenInformation(copy, TokenSessionId, &session, 2)));
    CloseHandle(copy);
  }
  CloseHandle(own);
  HANDLE query = nullptr;
  if (setup("setup: OpenProcessToken(TOKEN_QUERY)", OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &query))) {
    copy = nullptr;
    sayBool("tok: DuplicateTokenEx(token opened without TOKEN_DUPLICATE)",
            (arm(), DuplicateTokenEx(query, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &copy)));
    if (copy) CloseHandle(copy);
    CloseHandle(query);
  }
}

// The service side of the same: records each result under kRegService, 0 for success or the error.
void serviceStartsInSession(void (*record)(const WCHAR *, DWORD)) {
  HANDLE own = nullptr, copy = nullptr;
  const DWORD console = WTSGetActiveConsoleSessionId();
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return record(TEXT("Duplicate"), GetLastError());
  BOOL ok = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &copy);
  record(TEXT("Duplicate"), ok ? 0 : GetLastError());
  CloseHandle(own);
  if (!ok) return;
  DWORD session = console;
  ok = SetTokenInformation(copy, TokenSessionId, &session, sizeof(session));
  record(TEXT("MoveSession"), ok ? 0 : GetLastError());
  WCHAR line[2 * MAX_PATH];
  selfCommand(" child exit 11", line, 2 * MAX_PATH);
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof(pi));
  ok = CreateProcessAsUserW(copy, nullptr, line, nullptr, nullptr, FALSE, DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT,
                            nullptr, nullptr, &si, &pi);
  record(TEXT("AsUser"), ok ? 0 : GetLastError());
  if (ok) {
    DWORD childSession = 0xFFFFFFFF, code = 0xFFFFFFFF;
    ProcessIdToSessionId(pi.dwProcessId, &childSession);
    record(TEXT("AsUserInConsole"), childSession == console ? 1 : 0);
    if (WaitForSingleObject(pi.hProcess, kWaitMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    record(TEXT("AsUserExit"), code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(copy);
}

// --- devices -------------------------------------------------------------------------------------------------------

const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kHubInterface = {0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};
const DEVPROPKEY kInstanceIdKey = {{0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}}, 256};
const WCHAR kHardwareId[] = TEXT("Root\\BrimvaultConformance\0");

void sayConfigRet(const char *what, CONFIGRET cr, const char *extraFmt = "", ...) {
  char status[16];
  snprintf(status, sizeof(status), "0x%x", static_cast<unsigned>(cr));
  va_list ap;
  va_start(ap, extraFmt);
  vsay(what, status, extraFmt, ap);
  va_end(ap);
}

bool narrowEqualsWide(const char *a, const WCHAR *w) {
  while (*a && static_cast<WCHAR>(static_cast<unsigned char>(*a)) == *w) ++a, ++w;
  return !*a && !*w;
}

// SetupAPI's size contracts and errors on a device this program registers (ROOT\BRIMVAULTCONFORMANCE\nnnn).
void deviceQueries(HDEVINFO set, SP_DEVINFO_DATA *dev, const WCHAR *id) {
  const DWORD length = static_cast<DWORD>(wideLength(id));
  DWORD needed = 0;
  WCHAR wide[256];
  sayBool("dev: SetupDiGetDeviceInstanceIdW(size query)",
          (arm(), SetupDiGetDeviceInstanceIdW(set, dev, nullptr, 0, &needed)), "");
  say("dev: SetupDiGetDeviceInstanceIdW(size query) needs the length and its terminator", "%d",
      B(needed == length + 1));
  char narrow[256];
  needed = 0;
  sayBool("dev: SetupDiGetDeviceInstanceIdA(buffer of the length without terminator)",
          (arm(), SetupDiGetDeviceInstanceIdA(set, dev, narrow, length, &needed)), "");
  BOOL ok = SetupDiGetDeviceInstanceIdA(set, dev, narrow, sizeof(narrow), &needed);
  sayBool("dev: SetupDiGetDeviceInstanceIdA", ok, "same as W=%d", B(ok && narrowEqualsWide(narrow, id)));

  DWORD type = 0;
  needed = 0;
  arm();
  ok = SetupDiGetDeviceRegistryPropertyW(set, dev, SPDRP_HARDWAREID, &type, nullptr, 0, &needed);
  sayBool("dev: SetupDiGetDeviceRegistryPropertyW(SPDRP_HARDWAREID, size query)", ok, "");
  say("dev: SetupDiGetDeviceRegistryPropertyW(SPDRP_HARDWAREID, size query) gives", "type=%u size=%u", U(type),
      U(needed));
  BYTE bytes[512];
  memset(bytes, 'x', sizeof(bytes));
  ok = SetupDiGetDeviceRegistryPropertyW(set, dev, SPDRP_HARDWAREID, &type, bytes, sizeof(bytes), &needed);
  sayBool("dev: SetupDiGetDeviceRegistryPropertyW(SPDRP_HARDWAREID)", ok, "type=%u size=%u same=%d", U(type),
          U(needed), B(ok && needed == sizeof(kHardwareId) && !memcmp(bytes, kHardwareId, sizeof(kHardwareId))));
  memset(bytes, 'x', sizeof(bytes));
  ok = SetupDiGetDeviceRegistryPropertyA(set, dev, SPDRP_HARDWAREID, &type, bytes, sizeof(bytes), &needed);
  sayBool("dev: SetupDiGetDeviceRegistryPropertyA(SPDRP_HARDWAREID)", ok, "type=%u size=%u", U(type), U(needed));
  sayBool("dev: SetupDiGetDeviceRegistryPropertyW(SPDRP_FRIENDLYNAME, never set)",
          (arm(), SetupDiGetDeviceRegistryPropertyW(set, dev, SPDRP_FRIENDLYNAME, &type, bytes, sizeof(bytes),
                                                     &needed)));
  DEVPROPTYPE propType = 0;
  needed = 0;
  arm();
  ok = SetupDiGetDevicePropertyW(set, dev, &kInstanceIdKey, &propType, reinterpret_cast<PBYTE>(wide), sizeof(wide),
                                 &needed, 0);
  sayBool("dev: SetupDiGetDevicePropertyW(DEVPKEY_Device_InstanceId)", ok, "type=0x%x size=%u same=%d", U(propType),
          U(needed), B(ok && wideEqualNoCase(wide, id)));
  SP_DEVINSTALL_PARAMS_W params;
  ZeroMemory(&params, sizeof(params));
  sayBool("dev: SetupDiGetDeviceInstallParamsW(cbSize 0)", (arm(), SetupDiGetDeviceInstallParamsW(set, dev, &params)));
  params.cbSize = sizeof(params);
  sayBool("dev: SetupDiGetDeviceInstallParamsW", (arm(), SetupDiGetDeviceInstallParamsW(set, dev, &params)));
  SP_PROPCHANGE_PARAMS change;
  ZeroMemory(&change, sizeof(change));
  change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  change.StateChange = DICS_PROPCHANGE;
  change.Scope = DICS_FLAG_GLOBAL;
  sayBool("dev: SetupDiSetClassInstallParamsW(DIF_PROPERTYCHANGE)",
          (arm(), SetupDiSetClassInstallParamsW(set, dev, &change.ClassInstallHeader, sizeof(change))));
  change.ClassInstallHeader.cbSize = 4;
  sayBool("dev: SetupDiSetClassInstallParamsW(header cbSize 4)",
          (arm(), SetupDiSetClassInstallParamsW(set, dev, &change.ClassInstallHeader, sizeof(change))));

  // Drivers: none matches this hardware id.
  sayBool("dev: SetupDiBuildDriverInfoList(SPDIT_COMPATDRIVER)",
          (arm(), SetupDiBuildDriverInfoList(set, dev, SPDIT_COMPATDRIVER)));
  SP_DRVINFO_DATA_W driver;
  ZeroMemory(&driver, sizeof(driver));
  driver.cbSize = sizeof(driver);
  sayBool("dev: SetupDiEnumDriverInfoW(index 0, no compatible driver)",
          (arm(), SetupDiEnumDriverInfoW(set, dev, SPDIT_COMPATDRIVER, 0, &driver)));
  // In a child: Wine 8 has no SetupDiSetSelectedDriverW and ends a process that calls it.
  sayChildResult("dev: SetupDiSetSelectedDriverW(NULL) in a child, on an element of its own",
                 runChild("select-driver"));
  sayBool("dev: SetupDiDestroyDriverInfoList(SPDIT_COMPATDRIVER)",
          (arm(), SetupDiDestroyDriverInfoList(set, dev, SPDIT_COMPATDRIVER)));
}

// CfgMgr32 on the same device: the node, its place in the tree, ids and their sizes.
void deviceNodes(const WCHAR *id) {
  DEVINST node = 0, root = 0, up = 0, first = 0, next = 0;
  sayConfigRet("cfg: CM_Locate_DevNodeW(the registered device)",
               CM_Locate_DevNodeW(&node, const_cast<DEVINSTID_W>(id), CM_LOCATE_DEVNODE_NORMAL));
  char narrowId[256];
  size_t i = 0;
  for (; id[i] && i < 255; ++i) narrowId[i] = static_cast<char>(id[i]);
  narrowId[i] = 0;
  DEVINST viaA = 0;
  const CONFIGRET crA = CM_Locate_DevNodeA(&viaA, narrowId, CM_LOCATE_DEVNODE_NORMAL);
  sayConfigRet("cfg: CM_Locate_DevNodeA(the registered device)", crA, "same node=%d", B(viaA == node));
  sayConfigRet("cfg: CM_Locate_DevNodeW(missing id)",
               CM_Locate_DevNodeW(&up, const_cast<DEVINSTID_W>(TEXT("ROOT\\BRIMVAULTNOSUCHDEVICE\\0000")),
                                  CM_LOCATE_DEVNODE_NORMAL));
  sayConfigRet("cfg: CM_Locate_DevNodeW(NULL: the root)", CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL));
  const CONFIGRET crUp = CM_Get_Parent(&up, node, 0);
  sayConfigRet("cfg: CM_Get_Parent(the registered device)", crUp, "is the root=%d", B(up == root));
  sayConfigRet("cfg: CM_Get_Parent(the root)", CM_Get_Parent(&next, root, 0));
  const CONFIGRET crChild = CM_Get_Child(&first, root, 0);
  sayConfigRet("cfg: CM_Get_Child(the root)", crChild);
  // The registered device is among the root's children.
  bool found = false;
  int steps = 0;
  for (DEVINST at = first; crChild == CR_SUCCESS && steps < 100000; ++steps) {
    if (at == node) found = true;
    if (CM_Get_Sibling(&next, at, 0) != CR_SUCCESS) break;
    at = next;
  }
  say("cfg: CM_Get_Sibling(from the root's first child on) reaches the registered device", "%d", B(found));
  ULONG status = 0, problem = 0;
  const CONFIGRET crStatus = CM_Get_DevNode_Status(&status, &problem, node, 0);
  sayConfigRet("cfg: CM_Get_DevNode_Status(registered device without a driver)", crStatus, "problem=%u has problem=%d",
               U(problem), B((status & DN_HAS_PROBLEM) != 0));
  ULONG size = 0;
  CONFIGRET cr = CM_Get_Device_ID_Size(&size, node, 0);
  sayConfigRet("cfg: CM_Get_Device_ID_Size(the registered device)", cr, "is the length=%d", B(size == wideLength(id)));
  WCHAR wide[256];
  for (WCHAR &c : wide) c = 'x';
  cr = CM_Get_Device_IDW(node, wide, size, 0);
  sayConfigRet("cfg: CM_Get_Device_IDW(buffer of the length, no room for the terminator)", cr, "same=%d",
               B(!memcmp(wide, id, size * sizeof(WCHAR))));
  sayConfigRet("cfg: CM_Get_Device_IDW(buffer one short of the length)", CM_Get_Device_IDW(node, wide, size - 1, 0));
  char narrow[256];
  memset(narrow, 'x', sizeof(narrow));
  const CONFIGRET crIdA = CM_Get_Device_IDA(node, narrow, sizeof(narrow), 0);
  sayConfigRet("cfg: CM_Get_Device_IDA(the registered device)", crIdA, "same=%d",
               B(crIdA == CR_SUCCESS && !strcmp(narrow, narrowId)));
  DEVPROPTYPE type = 0;
  ULONG bytes = 0;
  cr = CM_Get_DevNode_PropertyW(node, &kInstanceIdKey, &type, nullptr, &bytes, 0);
  sayConfigRet("cfg: CM_Get_DevNode_PropertyW(DEVPKEY_Device_InstanceId, size query)", cr, "type=0x%x size=%u",
               U(type), U(bytes));
  ULONG regType = 0;
  BYTE reg[512];
  bytes = sizeof(reg);
  cr = CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, &regType, reg, &bytes, 0);
  sayConfigRet("cfg: CM_Get_DevNode_Registry_PropertyA(CM_DRP_HARDWAREID)", cr, "type=%u size=%u", U(regType),
               U(bytes));

  ULONG listSize = 0;
  const CONFIGRET crSize = CM_Get_Device_ID_List_SizeW(&listSize, nullptr, CM_GETIDLIST_FILTER_NONE);
  sayConfigRet("cfg: CM_Get_Device_ID_List_SizeW(every device)", crSize, "more than the empty list=%d",
               B(listSize > 1));
  WCHAR one[1] = {'x'};
  sayConfigRet("cfg: CM_Get_Device_ID_ListW(1-character buffer)",
               CM_Get_Device_ID_ListW(nullptr, one, 1, CM_GETIDLIST_FILTER_NONE));
  WCHAR *list = static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (listSize + 1) * sizeof(WCHAR)));
  if (setup("setup: HeapAlloc(device id list)", list != nullptr)) {
    const CONFIGRET cr = CM_Get_Device_ID_ListW(nullptr, list, listSize, CM_GETIDLIST_FILTER_NONE);
    bool listed = false;
    for (const WCHAR *p = list; cr == CR_SUCCESS && *p; p += wideLength(p) + 1)
      listed = listed || wideEqualNoCase(p, id);
    sayConfigRet("cfg: CM_Get_Device_ID_ListW(the size given)", cr, "lists the registered device=%d", B(listed));
    HeapFree(GetProcessHeap(), 0, list);
  }
}

// The hubs' interfaces as a list (none under Wine).
void deviceInterfaceLists() {
  ULONG size = 0;
  GUID hub = kHubInterface;
  const CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&size, &hub, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
  sayConfigRet("cfg: CM_Get_Device_Interface_List_SizeW(USB hubs)", cr, "at least the final terminator=%d",
               B(size >= 1));
  WCHAR *list = static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (size + 1) * sizeof(WCHAR)));
  if (setup("setup: HeapAlloc(interface list)", list != nullptr)) {
    const CONFIGRET crList =
        CM_Get_Device_Interface_ListW(&hub, nullptr, list, size, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    sayConfigRet("cfg: CM_Get_Device_Interface_ListW(USB hubs, the size given)", crList, "hubs=%d", B(list[0] != 0));
    HeapFree(GetProcessHeap(), 0, list);
  }
}

// A hub's interface: its detail (size contract), its path opened with CreateFileA and one request to its driver.
void hubInterface() {
  HDEVINFO hubs = SetupDiGetClassDevsW(&kHubInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (!setup("setup: SetupDiGetClassDevsW(USB hub interfaces)", hubs != INVALID_HANDLE_VALUE)) return;
  SP_DEVICE_INTERFACE_DATA iface;
  ZeroMemory(&iface, sizeof(iface));
  iface.cbSize = sizeof(iface);
  arm();
  BOOL ok = SetupDiEnumDeviceInterfaces(hubs, nullptr, &kHubInterface, 0, &iface);
  sayBool("usb: SetupDiEnumDeviceInterfaces(USB hubs, index 0)", ok);
  if (ok) {
    DWORD needed = 0;
    SP_DEVINFO_DATA owner;
    ZeroMemory(&owner, sizeof(owner));
    owner.cbSize = sizeof(owner);
    sayBool("usb: SetupDiGetDeviceInterfaceDetailW(size query)",
            (arm(), SetupDiGetDeviceInterfaceDetailW(hubs, &iface, nullptr, 0, &needed, &owner)), "");
    const DWORD neededW = needed;
    say("usb: SetupDiGetDeviceInterfaceDetailW(size query) names the device", "%d", B(owner.DevInst != 0));
    BYTE room[1024];
    ZeroMemory(room, sizeof(room));
    SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(room);
    detail->cbSize = 1; // wrong: the fixed part's size is asked for
    sayBool("usb: SetupDiGetDeviceInterfaceDetailA(detail cbSize 1)",
            (arm(), SetupDiGetDeviceInterfaceDetailA(hubs, &iface, detail, sizeof(room), &needed, nullptr)));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ok = SetupDiGetDeviceInterfaceDetailA(hubs, &iface, detail, sizeof(room), &needed, nullptr);
    const size_t pathLength = ok ? strlen(detail->DevicePath) : 0;
    sayBool("usb: SetupDiGetDeviceInterfaceDetailA", ok, "W size counts the path in UTF-16=%d",
            B(ok && neededW == offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                   (pathLength + 1) * sizeof(WCHAR)));
    if (ok) {
      HDEVINFO empty = SetupDiCreateDeviceInfoList(nullptr, nullptr);
      WCHAR path[512];
      widen(detail->DevicePath, path, 512);
      SP_DEVICE_INTERFACE_DATA opened;
      ZeroMemory(&opened, sizeof(opened));
      opened.cbSize = sizeof(opened);
      if (setup("setup: SetupDiCreateDeviceInfoList", empty != INVALID_HANDLE_VALUE)) {
        arm();
        ok = SetupDiOpenDeviceInterfaceW(empty, path, 0, &opened);
        sayBool("usb: SetupDiOpenDeviceInterfaceW(the hub's path)", ok, "same class=%d",
                B(!memcmp(&opened.InterfaceClassGuid, &kHubInterface, sizeof(GUID))));
        SetupDiDestroyDeviceInfoList(empty);
      }
      arm();
      HANDLE hub = CreateFileA(detail->DevicePath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      const DWORD err = GetLastError();
      if (hub == INVALID_HANDLE_VALUE) {
        say("usb: CreateFileA(the hub's path, OPEN_EXISTING)", "INVALID_HANDLE_VALUE err=%u", U(err));
      } else {
        say("usb: CreateFileA(the hub's path, OPEN_EXISTING)", "handle");
        USB_NODE_INFORMATION info;
        ZeroMemory(&info, sizeof(info));
        DWORD got = 0;
        arm();
        ok = DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, &info, sizeof(info), &info, sizeof(info), &got,
                             nullptr);
        sayBool("usb: DeviceIoControl(IOCTL_USB_GET_NODE_INFORMATION)", ok, "whole reply=%d a hub with ports=%d",
                B(got == sizeof(info)),
                B(info.NodeType == UsbHub && info.u.HubInformation.HubDescriptor.bNumberOfPorts > 0));
        CloseHandle(hub);
      }
    }
  }
  SetupDiDestroyDeviceInfoList(hubs);
}

void usbArea() {
  hubInterface();
  arm();
  HANDLE none = CreateFileA("\\\\.\\BrimvaultNoSuchHub", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  say("usb: CreateFileA(missing device name)", "%s err=%u",
      none == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "handle",
      U(GetLastError()));
  if (none != INVALID_HANDLE_VALUE) CloseHandle(none);
  // The error paths of the interface calls, which need no hub.
  HDEVINFO empty = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (setup("setup: SetupDiCreateDeviceInfoList", empty != INVALID_HANDLE_VALUE)) {
    SP_DEVICE_INTERFACE_DATA iface;
    ZeroMemory(&iface, sizeof(iface));
    iface.cbSize = sizeof(iface);
    sayBool("usb: SetupDiOpenDeviceInterfaceW(missing path)",
            (arm(), SetupDiOpenDeviceInterfaceW(empty, TEXT("\\\\?\\BrimvaultNoSuchInterface"), 0, &iface)));
    DWORD needed = 0;
    sayBool("usb: SetupDiGetDeviceInterfaceDetailW(interface data never enumerated)",
            (arm(), SetupDiGetDeviceInterfaceDetailW(empty, &iface, nullptr, 0, &needed, nullptr)));
    sayBool("usb: SetupDiGetDeviceInterfaceDetailA(interface data never enumerated)",
            (arm(), SetupDiGetDeviceInterfaceDetailA(empty, &iface, nullptr, 0, &needed, nullptr)));
    SetupDiDestroyDeviceInfoList(empty);
  }
  BYTE buffer[64];
  DWORD got = 0;
  sayBool("usb: DeviceIoControl(INVALID_HANDLE_VALUE)",
          (arm(), DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_USB_GET_NODE_INFORMATION, buffer, sizeof(buffer), buffer,
                                  sizeof(buffer), &got, nullptr)));
  deviceInterfaceLists(); // last: Wine 8 has CM_Get_Device_Interface_ListW only as a stub
}

// An INF file this program writes beside itself (with the C library: the stand-in has no files behind CreateFileW):
// the class it names, as the product reads it before an install.
void infClass() {
  WCHAR path[MAX_PATH];
  selfCommand("", path, MAX_PATH);
  widen("brimvault-conformance.inf", const_cast<WCHAR *>(fileNameOf(path)), MAX_PATH);
  memmove(path, path + 1, (wideLength(path) + 1) * sizeof(WCHAR)); // without the opening quote
  char narrow[MAX_PATH];
  size_t i = 0;
  for (; path[i] && i + 1 < MAX_PATH; ++i) narrow[i] = static_cast<char>(path[i]);
  narrow[i] = 0;
  FILE *file = fopen(narrow, "wb");
  if (!setup("setup: fopen(INF)", file != nullptr)) return;
  const char text[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\n"
                      "ClassGuid={4d36e978-e325-11ce-bfc1-08002be10318}\r\nProvider=Brimvault\r\n";
  setup("setup: fwrite(INF)", fwrite(text, 1, sizeof(text) - 1, file) == sizeof(text) - 1);
  fclose(file);
  GUID guid;
  WCHAR name[64];
  DWORD needed = 0;
  BOOL ok = (arm(), SetupDiGetINFClassW(path, &guid, name, 64, &needed));
  sayBool("dev: SetupDiGetINFClassW(INF of class Ports)", ok, "class=%d guid=%d size=%u",
          B(ok && wideEqualNoCase(name, TEXT("Ports"))), B(ok && !memcmp(&guid, &kPortsClass, sizeof(GUID))),
          U(needed));
  sayBool("dev: SetupDiGetINFClassW(2-character buffer)", (arm(), SetupDiGetINFClassW(path, &guid, name, 2, &needed)),
          "");
  say("dev: SetupDiGetINFClassW(2-character buffer) needs", "%u", U(needed));
  BOOL reboot = FALSE;
  sayBool("dev: UpdateDriverForPlugAndPlayDevicesW(INF with no model, no such device)",
          (arm(), UpdateDriverForPlugAndPlayDevicesW(nullptr, TEXT("Root\\BrimvaultNoSuchDevice"), path, 0, &reboot)));
  sayBool("dev: UpdateDriverForPlugAndPlayDevicesW(relative INF path)",
          (arm(), UpdateDriverForPlugAndPlayDevicesW(nullptr, TEXT("Root\\BrimvaultConformance"),
                                                     TEXT("brimvault-conformance.inf"), 0, &reboot)));
  remove(narrow);
  WCHAR missing[MAX_PATH];
  memcpy(missing, path, sizeof(path));
  widen("brimvault-missing.inf", const_cast<WCHAR *>(fileNameOf(missing)), MAX_PATH);
  sayBool("dev: SetupDiGetINFClassW(missing INF)", (arm(), SetupDiGetINFClassW(missing, &guid, name, 64, &needed)));
}

void deviceArea() {
  arm();
  HDEVINFO unclassed = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT);
  say("dev: SetupDiGetClassDevsW(NULL class, without DIGCF_ALLCLASSES)", "%s err=%u",
      unclassed == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "set", U(GetLastError()));
  if (unclassed != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(unclassed);
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (!setup("setup: SetupDiCreateDeviceInfoList(Ports)", set != INVALID_HANDLE_VALUE)) return;
  say("dev: SetupDiCreateDeviceInfoList(Ports)", "set");
  SP_DEVINFO_DATA dev;
  ZeroMemory(&dev, sizeof(dev));
  dev.cbSize = 4;
  sayBool("dev: SetupDiCreateDeviceInfoW(DICD_GENERATE_ID, element cbSize 4)",
          (arm(), SetupDiCreateDeviceInfoW(set, TEXT("BrimvaultConformance"), &kPortsClass, nullptr, nullptr,
                                           DICD_GENERATE_ID, &dev)));
  dev.cbSize = sizeof(dev);
  BOOL ok = (arm(), SetupDiCreateDeviceInfoW(set, TEXT("BrimvaultConformance"), &kPortsClass, nullptr, nullptr,
                                             DICD_GENERATE_ID, &dev));
  sayBool("dev: SetupDiCreateDeviceInfoW(DICD_GENERATE_ID)", ok);
  ok = ok && (arm(), SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID,
                                                       reinterpret_cast<const BYTE *>(kHardwareId),
                                                       sizeof(kHardwareId)));
  sayBool("dev: SetupDiSetDeviceRegistryPropertyW(SPDRP_HARDWAREID)", ok);
  ok = ok && (arm(), SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev));
  sayBool("dev: SetupDiCallClassInstaller(DIF_REGISTERDEVICE)", ok);
  WCHAR id[256] = {0};
  if (ok && setup("setup: SetupDiGetDeviceInstanceIdW",
                  SetupDiGetDeviceInstanceIdW(set, &dev, id, 256, nullptr))) {
    char shown[256];
    size_t i = 0;
    for (; id[i] && i < 255; ++i) shown[i] = static_cast<char>(id[i]);
    shown[i] = 0;
    say("dev: SetupDiGetDeviceInstanceIdW(the generated id)", "%s", shown);
    deviceQueries(set, &dev, id);
    deviceNodes(id);

    // Another set finds it by id, in both character sets; a set of every class with enumerator ROOT lists it.
    HDEVINFO other = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (setup("setup: SetupDiCreateDeviceInfoList", other != INVALID_HANDLE_VALUE)) {
      SP_DEVINFO_DATA found;
      ZeroMemory(&found, sizeof(found));
      found.cbSize = sizeof(found);
      arm();
      const BOOL opened = SetupDiOpenDeviceInfoW(other, id, nullptr, 0, &found);
      sayBool("dev: SetupDiOpenDeviceInfoW(the registered id)", opened, "same class=%d",
              B(!memcmp(&found.ClassGuid, &kPortsClass, sizeof(GUID))));
      sayBool("dev: SetupDiOpenDeviceInfoA(missing id)",
              (arm(), SetupDiOpenDeviceInfoA(other, "ROOT\\BRIMVAULTNOSUCHDEVICE\\0000", nullptr, 0, &found)));
      SetupDiDestroyDeviceInfoList(other);
    }
    HDEVINFO roots = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
    bool listed = false;
    SP_DEVINFO_DATA each;
    ZeroMemory(&each, sizeof(each));
    each.cbSize = sizeof(each);
    DWORD index = 0;
    for (; roots != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(roots, index, &each); ++index) {
      WCHAR eachId[256];
      if (SetupDiGetDeviceInstanceIdW(roots, &each, eachId, 256, nullptr) && wideEqualNoCase(eachId, id)) listed = true;
    }
    say("dev: SetupDiGetClassDevsA(DIGCF_ALLCLASSES, enumerator ROOT) lists the registered device", "%d",
        B(listed));
    if (roots != INVALID_HANDLE_VALUE) {
      sayBool("dev: SetupDiEnumDeviceInfo(past the last)", (arm(), SetupDiEnumDeviceInfo(roots, index, &each)));
      each.cbSize = 0;
      sayBool("dev: SetupDiEnumDeviceInfo(element cbSize 0)", (arm(), SetupDiEnumDeviceInfo(roots, 0, &each)));
      SetupDiDestroyDeviceInfoList(roots);
    }
    sayBool("dev: SetupDiCallClassInstaller(DIF_REMOVE)", (arm(), SetupDiCallClassInstaller(DIF_REMOVE, set, &dev)));
    DEVINST gone = 0;
    sayConfigRet("cfg: CM_Locate_DevNodeW(removed device)",
                 CM_Locate_DevNodeW(&gone, id, CM_LOCATE_DEVNODE_NORMAL));
  }
  sayBool("dev: SetupDiDestroyDeviceInfoList", (arm(), SetupDiDestroyDeviceInfoList(set)));
  sayBool("dev: SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE)",
          (arm(), SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE)));
  infClass();
}

// --- areas in a child ----------------------------------------------------------------------------------------------

// Areas whose calls Wine may have only as stubs, which end the process that calls them.
struct ChildArea {
  const char *name;
  void (*run)();
};
const ChildArea kChildAreas[] = {{"pow", powerArea}, {"pdh", pdhArea}, {"com", comArea}, {"dev", deviceArea},
                                 {"usb", usbArea}};

// The file beside this program where the child running `area` writes its lines (narrow: the C library opens it).
void areaFile(const char *area, char *path, size_t room) {
  WCHAR wide[MAX_PATH];
  selfCommand("", wide, MAX_PATH);
  char name[64];
  snprintf(name, sizeof(name), "brimvault-conformance-%s.txt", area);
  widen(name, const_cast<WCHAR *>(fileNameOf(wide)), MAX_PATH);
  size_t i = 0;
  for (; wide[i + 1] && i + 1 < room; ++i) path[i] = static_cast<char>(wide[i + 1]); // without the opening quote
  path[i] = 0;
}

// Runs an area in a child, then prints its lines and how the child ended: after a stub ended it, the area's later
// lines are missing and that line names the code.
void runAreaInChild(const char *area) {
  char path[MAX_PATH];
  areaFile(area, path, sizeof(path));
  remove(path);
  char args[64];
  snprintf(args, sizeof(args), "area %s", area);
  const ChildRun run = runChild(args);
  if (FILE *lines = fopen(path, "r")) {
    char line[1024];
    while (fgets(line, sizeof(line), lines)) fputs(line, stdout);
    fclose(lines);
    fflush(stdout);
    remove(path);
  }
  char what[64];
  snprintf(what, sizeof(what), "%s: the child that made these calls ended", area);
  sayExitCode(what, run);
}

int runAreaMode(const char *area) {
  char path[MAX_PATH];
  areaFile(area, path, sizeof(path));
  for (const ChildArea &a : kChildAreas) {
    if (strcmp(a.name, area)) continue;
    if (!freopen(path, "w", stdout)) return static_cast<int>(kChildFailed);
    a.run();
    fflush(stdout);
    return 0;
  }
  return 2;
}

// --- service control manager -------------------------------------------------------------------------------------

// What the service saw, written by it under kRegService, and the program's word to go on.
DWORD readServiceRecord(const WCHAR *name, DWORD fallback) {
  const RegRead r = regGet(HKEY_LOCAL_MACHINE, kRegService, name, RRF_RT_REG_DWORD, 4);
  return r.rc == ERROR_SUCCESS ? r.number : fallback;
}

void writeServiceRecord(const WCHAR *name, DWORD value) {
  const LSTATUS rc = RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRegService, name, REG_DWORD, &value, sizeof(value));
  SetLastError(static_cast<DWORD>(rc));
  setup("setup: RegSetKeyValueW(a record of the service area)", rc == ERROR_SUCCESS);
}

// The service side: START_PENDING, accepting nothing, until the program writes "Proceed"; then RUNNING, accepting
// STOP only (not PAUSE_CONTINUE).
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status;
HANDLE g_stopEvent = nullptr;

BOOL report(DWORD state, DWORD accepted) {
  const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwCheckPoint = settled ? 0 : g_status.dwCheckPoint + 1;
  g_status.dwWaitHint = settled ? 0 : 30000;
  return SetServiceStatus(g_statusHandle, &g_status);
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
  writeServiceRecord(TEXT("Handler"), g_statusHandle ? 0 : GetLastError());
  if (!g_statusHandle) return;
  writeServiceRecord(TEXT("Pending"), report(SERVICE_START_PENDING, 0) ? 0 : GetLastError());
  serviceStartsInSession(writeServiceRecord);
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
  arm();
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
  sayService("svc: CreateServiceW(existing name)", (arm(), createOwnService(scm, kServiceName)));
  sayService("svc: CreateServiceW(existing name in other case)",
             (arm(), createOwnService(scm, TEXT("brimvaultconformance"))));
  sayService("svc: OpenServiceW(name in other case)",
             (arm(), OpenServiceW(scm, TEXT("BRIMVAULTCONFORMANCE"), SERVICE_QUERY_STATUS)));
  DWORD needed = 0;
  sayBool("svc: QueryServiceConfigW(size query)", (arm(), QueryServiceConfigW(service, nullptr, 0, &needed)));
  // As the product reads it: into LocalAlloc of the size asked for.
  QUERY_SERVICE_CONFIGW *qsc = static_cast<QUERY_SERVICE_CONFIGW *>(LocalAlloc(LMEM_ZEROINIT, needed));
  arm();
  const BOOL ok = qsc && QueryServiceConfigW(service, qsc, needed, &needed);
  sayBool("svc: QueryServiceConfigW(into LocalAlloc(LMEM_ZEROINIT, size asked for))", ok, "type=0x%x start=%u",
          U(ok ? qsc->dwServiceType : 0), U(ok ? qsc->dwStartType : 0));
  if (qsc) LocalFree(qsc);
  SERVICE_DESCRIPTIONW description;
  description.lpDescription = const_cast<LPWSTR>(TEXT("Brimvault conformance service"));
  sayBool("svc: ChangeServiceConfig2W(SERVICE_CONFIG_DESCRIPTION)",
          (arm(), ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)));
  sayBool("svc: ChangeServiceConfig2W(SERVICE_CONFIG_DESCRIPTION, NULL info)",
          (arm(), ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr)));
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  sayBool("svc: SetServiceStatus(NULL status handle)", (arm(), SetServiceStatus(nullptr, &status)));
  sayBool("svc: ChangeServiceConfigW(disabled)",
          (arm(), ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)));
  sayBool("svc: StartServiceW(disabled service)", (arm(), StartServiceW(service, 0, nullptr)));
  ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr);

  statusCase("svc: QueryServiceStatus(never started)", service);
  controlCase("svc: ControlService(STOP, stopped)", service, SERVICE_CONTROL_STOP, false);
  controlCase("svc: ControlService(INTERROGATE, stopped)", service, SERVICE_CONTROL_INTERROGATE, false);
  SERVICE_STATUS_PROCESS ssp;
  needed = 0;
  sayBool("svc: QueryServiceStatusEx(8-byte buffer)",
          (arm(), QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&ssp), 8, &needed)));
  say("svc: QueryServiceStatusEx(8-byte buffer) asks for a SERVICE_STATUS_PROCESS", "%d",
      B(needed == sizeof(SERVICE_STATUS_PROCESS)));
}

// Start, START_PENDING, RUNNING: which controls reach the service in which state, and what the service saw. Returns
// a handle to the service's process, opened while it runs.
// A result the service recorded: "1", "0 err=<e>", or "not recorded".
void sayRecord(const char *what, const WCHAR *name) {
  const DWORD v = readServiceRecord(name, 0xFFFFFFFF);
  if (v == 0xFFFFFFFF) return say(what, "not recorded");
  if (v == 0) return say(what, "1");
  say(what, "0 err=%u", U(v));
}

HANDLE serviceRun(SC_HANDLE service) {
  sayBool("svc: StartServiceW", (arm(), StartServiceW(service, 0, nullptr)));
  sayBool("svc: StartServiceW(started service)", (arm(), StartServiceW(service, 0, nullptr)));
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
  sayRecord("svc: RegisterServiceCtrlHandlerExW(own name) in the service", TEXT("Handler"));
  sayRecord("svc: SetServiceStatus(SERVICE_START_PENDING) in the service", TEXT("Pending"));
  sayRecord("svc: DuplicateTokenEx(own token, TokenPrimary) in the service", TEXT("Duplicate"));
  sayRecord("svc: SetTokenInformation(TokenSessionId, console session) in the service", TEXT("MoveSession"));
  sayRecord("svc: CreateProcessAsUserW(that token) in the service", TEXT("AsUser"));
  say("svc: the child CreateProcessAsUserW started runs in the console session", "%u",
      U(readServiceRecord(TEXT("AsUserInConsole"), 0xFFFFFFFF)));
  say("svc: exit code of the child CreateProcessAsUserW started", "%u",
      U(readServiceRecord(TEXT("AsUserExit"), 0xFFFFFFFF)));
  HANDLE process = ssp.dwProcessId ? OpenProcess(SYNCHRONIZE, FALSE, ssp.dwProcessId) : nullptr;
  setup("setup: OpenProcess(running service's process)", process != nullptr);
  return process;
}

// Stop, then delete.
void serviceEnd(SC_HANDLE scm, SC_HANDLE service, HANDLE process) {
  controlCase("svc: ControlService(STOP, running)", service, SERVICE_CONTROL_STOP, false);
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  const bool stopped = waitForState(service, SERVICE_STOPPED, &status);
  say("svc: service reached STOPPED", "%d exit=%u", B(stopped), U(status.dwWin32ExitCode));
  controlCase("svc: ControlService(STOP, stopped, its process still running)", service, SERVICE_CONTROL_STOP, false);
  say("svc: service process ended", "%d", B(process && WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0));
  if (process) CloseHandle(process);
  sayBool("svc: DeleteService", (arm(), DeleteService(service)));
  sayBool("svc: DeleteService(marked for deletion)", (arm(), DeleteService(service)));
  sayBool("svc: CloseServiceHandle(service)", (arm(), CloseServiceHandle(service)));
  const DWORD err = waitDeleted(scm);
  if (err)
    say("svc: OpenServiceW(deleted service, every handle closed)", "NULL err=%u", U(err));
  else
    say("svc: OpenServiceW(deleted service, every handle closed)", "handle");
}

void serviceArea() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), serviceMain}, {nullptr, nullptr}};
  sayBool("svc: StartServiceCtrlDispatcherW(outside the control manager)", (arm(), StartServiceCtrlDispatcherW(table)));
  arm();
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  DWORD err = GetLastError();
  if (!scm) return say("svc: OpenSCManagerW(SC_MANAGER_ALL_ACCESS)", "NULL err=%u", U(err));
  say("svc: OpenSCManagerW(SC_MANAGER_ALL_ACCESS)", "handle");
  removeLeftService(scm);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRegService);
  sayService("svc: OpenServiceW(missing service)", (arm(), OpenServiceW(scm, kServiceName, SERVICE_QUERY_STATUS)));
  SC_HANDLE service = createOwnService(scm, kServiceName);
  err = GetLastError();
  if (service) {
    say("svc: CreateServiceW(own program, demand start)", "handle");
    serviceEntry(scm, service);
    serviceEnd(scm, service, serviceRun(service));
  } else {
    say("svc: CreateServiceW(own program, demand start)", "NULL err=%u", U(err));
  }
  sayBool("svc: CloseServiceHandle(SCM)", (arm(), CloseServiceHandle(scm)));
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
  const BOOL started = setup("setup: CreateProcessW(child forever)", startChild("forever", 0, &child));
  arm();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  const DWORD err = GetLastError();
  if (snapshot == INVALID_HANDLE_VALUE) {
    say("th: CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS)", "INVALID_HANDLE_VALUE err=%u", U(err));
    return endChild(&child);
  }
  say("th: CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS)", "handle");
  PROCESSENTRY32W entry;
  ZeroMemory(&entry, sizeof(entry));
  sayBool("th: Process32FirstW(dwSize 0)", (arm(), Process32FirstW(snapshot, &entry)));
  entry.dwSize = sizeof(entry);
  arm();
  BOOL more = Process32FirstW(snapshot, &entry);
  sayBool("th: Process32FirstW", more);
  while (more) {
    arm();
    more = Process32NextW(snapshot, &entry);
  }
  sayBool("th: Process32NextW(after the last)", more);
  bool found = findInSnapshot(snapshot, GetCurrentProcessId(), &entry);
  say("th: snapshot lists this process", "%d name is the module's file name=%d", B(found),
      B(found && wideEqualNoCase(entry.szExeFile, fileNameOf(g_self))));
  // The service finds its core by comparing lengths first.
  say("th: lstrlenW(szExeFile of this process) is the name's length", "%d",
      B(found && lstrlenW(entry.szExeFile) == static_cast<int>(wideLength(fileNameOf(g_self)))));
  say("th: lstrlenW(NULL)", "%d", lstrlenW(nullptr));
  found = started && findInSnapshot(snapshot, child.dwProcessId, &entry);
  say("th: snapshot lists the running child", "%d parent is this process=%d", B(found),
      B(found && entry.th32ParentProcessID == GetCurrentProcessId()));
  // A snapshot is taken once: a process started afterwards is not in it.
  const BOOL laterStarted = startChild("forever", 0, &later);
  found = laterStarted && findInSnapshot(snapshot, later.dwProcessId, &entry);
  say("th: snapshot lists a child started after it was taken", "started=%d listed=%d", B(laterStarted), B(found));
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
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", -1)", n, out);
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, hello, 5, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", 5 units, no terminator)", n, out);
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, out, 3, nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, \"h\\u00E9llo\", 3-byte buffer)", n, nullptr);
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, hello, 0, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, length 0)", n, nullptr);
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, hello, -1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, lpUsedDefaultChar given)", n, nullptr);
  arm();
  n = WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, hello, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS)", n, nullptr);
  const WCHAR lone[] = {'a', 0xD800, 'b', 0};
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, lone surrogate)", n, out);
  arm();
  n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone surrogate)", n, nullptr);
  const WCHAR emoji[] = {0xD83D, 0xDE00, 0};
  arm();
  n = WideCharToMultiByte(CP_UTF8, 0, emoji, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_UTF8, U+1F600 as a surrogate pair)", n, out);

  arm();
  n = MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9llo", -1, nullptr, 0);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, \"h\\xC3\\xA9llo\", -1, size query)", n, nullptr);
  arm();
  n = MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9llo", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, \"h\\xC3\\xA9llo\", -1)", n, wide);
  arm();
  n = MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9llo", -1, wide, 3);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, 3-unit buffer)", n, nullptr);
  arm();
  n = MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, length 0)", n, nullptr);
  arm();
  n = MultiByteToWideChar(CP_UTF8, 0, "a\xC3(b", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, truncated sequence)", n, wide);
  arm();
  n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3(b", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, truncated sequence)", n, nullptr);
  arm();
  n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC0\xAF", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, overlong \"/\")", n, nullptr);
  arm();
  n = MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED)", n, nullptr);
  arm();
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
  arm();
  n = WideCharToMultiByte(1252, 0, han, -1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, \"a\\u4E2D\")", n, out, usedText(used));
  used = FALSE;
  arm();
  n = WideCharToMultiByte(1252, 0, han, -1, out, sizeof(out), "#", &used);
  sayBytes("cp: WideCharToMultiByte(1252, \"a\\u4E2D\", default char \"#\")", n, out, usedText(used));
  WCHAR fullwidth[94];
  for (int i = 0; i < 94; ++i) fullwidth[i] = static_cast<WCHAR>(0xFF01 + i);
  used = TRUE;
  arm();
  n = WideCharToMultiByte(1252, 0, fullwidth, 94, out, sizeof(out), nullptr, &used);
  bool ascii = n == 94;
  for (int i = 0; ascii && i < 94; ++i) ascii = out[i] == static_cast<char>(0x21 + i);
  say("cp: WideCharToMultiByte(1252, U+FF01..U+FF5E fullwidth)", "%d ascii=%d %s", n, B(ascii), usedText(used));
  const WCHAR infinity[] = {0x221E, 0};
  used = TRUE;
  arm();
  n = WideCharToMultiByte(1252, 0, infinity, 1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, U+221E infinity)", n, out, usedText(used));
  const WCHAR fullA[] = {0xFF21, 0};
  used = FALSE;
  arm();
  n = WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, fullA, 1, out, sizeof(out), nullptr, &used);
  sayBytes("cp: WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, U+FF21)", n, out, usedText(used));
  arm();
  n = WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, latin, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS)", n, nullptr);
  arm();
  n = MultiByteToWideChar(1252, 0, "a\xE9\x80", 3, wide, 64);
  sayUnits("cp: MultiByteToWideChar(1252, \"a\\xE9\\x80\")", n, wide);
  arm();
  n = WideCharToMultiByte(12345, 0, latin, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(code page 12345)", n, nullptr);
  arm();
  n = WideCharToMultiByte(CP_ACP, 0, latin, -1, out, sizeof(out), nullptr, nullptr);
  sayBytes("cp: WideCharToMultiByte(CP_ACP, \"a\\u00E9\\u20AC\")", n, out);
  arm();
  n = MultiByteToWideChar(CP_ACP, 0, "a\xE9\x80", -1, wide, 64);
  sayUnits("cp: MultiByteToWideChar(CP_ACP, \"a\\xE9\\x80\")", n, wide);
  WCHAR upper[] = {'a', 'b', 0xE9, 0x3B1, '1', 0};
  const DWORD converted = CharUpperBuffW(upper, 5);
  sayUnits("cp: CharUpperBuffW(\"ab\\u00E9\\u03B11\")", static_cast<int>(converted), upper);
}

// --- tokens ------------------------------------------------------------------------------------------------------

void tokenArea() {
  HANDLE token = nullptr;
  arm();
  BOOL ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  sayBool("tok: OpenProcessToken(own process, TOKEN_QUERY)", ok);
  if (!ok) return;
  TOKEN_ELEVATION elevation;
  elevation.TokenIsElevated = 0;
  DWORD size = 0;
  arm();
  ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
  sayBool("tok: GetTokenInformation(TokenElevation)", ok, "elevated=%d size=%u", B(elevation.TokenIsElevated), U(size));
  size = 0;
  arm();
  ok = GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  say("tok: GetTokenInformation(TokenUser, size query)", "%d err=%u gives a size=%d", B(ok), U(GetLastError()),
      B(size > 0));
  DWORD session = 0xFFFFFFFF, own = 0xFFFFFFFE;
  arm();
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
    arm();
    ok = CheckTokenMembership(nullptr, admins, &member);
    sayBool("tok: CheckTokenMembership(NULL, Administrators)", ok, "member=%d", B(member));
    sayBool("tok: CheckTokenMembership(primary token, Administrators)",
            (arm(), CheckTokenMembership(token, admins, &member)));
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
  if (!strcmp(mode, "area")) return runAreaMode(a);
  if (!strcmp(mode, "exit-process")) ExitProcess(static_cast<UINT>(strtoul(a, nullptr, 10)));
  if (!strcmp(mode, "select-driver")) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    SP_DEVINFO_DATA dev;
    ZeroMemory(&dev, sizeof(dev));
    dev.cbSize = sizeof(dev);
    if (set == INVALID_HANDLE_VALUE ||
        !SetupDiCreateDeviceInfoW(set, TEXT("BrimvaultConformance"), &kPortsClass, nullptr, nullptr, DICD_GENERATE_ID,
                                  &dev))
      return failed | static_cast<int>(GetLastError());
    arm();
    const int rc = SetupDiSetSelectedDriverW(set, &dev, nullptr) ? 0 : static_cast<int>(GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return rc;
  }
  if (!strcmp(mode, "ctrl-c-target")) {
    // Ends with 130 from its handler when Ctrl+C reaches it; tells the parent through the named event when ready.
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (!ready || !SetConsoleCtrlHandler(exitOnCtrlC, TRUE) || !SetEvent(ready))
      return failed | static_cast<int>(GetLastError());
    Sleep(kWaitMs);
    return 0;
  }
  if (!strcmp(mode, "ctrl-c")) {
    // As the service's terminate copy: attach to the target's console, ignore Ctrl+C here, send it to the console.
    if (!AttachConsole(static_cast<DWORD>(strtoul(a, nullptr, 10)))) return failed | static_cast<int>(GetLastError());
    SetConsoleCtrlHandler(nullptr, TRUE);
    return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 0 : static_cast<int>(GetLastError());
  }
  if (!strcmp(mode, "ctrl-c-alone"))
    return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 0 : static_cast<int>(GetLastError());
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
  tokenCopies();
  memoryAndModules();
  sidTexts();
  ipHelperArea();
  shellArea();
  filesArea();
  for (const ChildArea &a : kChildAreas) runAreaInChild(a.name);
  serviceArea();
  consoleArea();
  return 0;
}
