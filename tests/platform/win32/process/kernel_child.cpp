// Child program of the kernel stand-in tests. It runs one mode given on its command line and reports through files,
// its exit code and its own behaviour:
//   exit <code>                  return <code> from main
//   exitprocess <code>           ExitProcess(<code>)
//   sleep <ms>                   sleep (unscaled), then exit 0
//   report <file>                write "argv..." lines, "cwd=", "session=", "env:<name>=" lines, then exit 0
//   ctrlc <file>                 install a Ctrl+C handler that writes <file>, returns TRUE and lets main exit 7
//   ignore-ctrlc <ready>         SetConsoleCtrlHandler(NULL, TRUE), write <ready>, sleep
//   spawn <file> [exit|breakaway] start "kernel_child sleep" in the same group, write its pid to <file>, then
//                                sleep, or exit 0 at once (with "breakaway" the child leaves the job)
//   hold-mutex <name> <ready>    own the named mutex, write <ready>, sleep until killed
//   lock-mutex <name> <result>   wait for the named mutex, write the wait result to <result>, exit 0
//   terminate-by-ctrlc <pid>     AttachConsole(pid), ignore Ctrl+C, send it; exit with 0 or the failing error
//   wait-event <name> <result>   create or open the named auto-reset event, wait for it, write "<wait result>
//                                <creation's last error>" to <result>, exit 0
//   job-owner <file> <member>    start "spawn <file>" in a kill-on-close job of its own (in it before it runs, so
//                                what it starts is in it too), write its pid to <member>, sleep until killed
//   open-hold <pid> <result>     OpenProcess(<pid>), write 0 or the failing error to <result>, sleep until killed
//   exit-on <file> <code>        wait until <file> exists, then return <code> from main
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::string g_flagFile;

void writeText(const std::string &path, const std::string &text) {
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << text;
  }
  std::rename(temp.c_str(), path.c_str());
}

BOOL WINAPI onCtrl(DWORD type) {
  std::string seen;
  if (std::ifstream in{g_flagFile}) seen.assign(std::istreambuf_iterator<char>(in), {});
  writeText(g_flagFile, seen + "ctrl " + std::to_string(type) + "\n");
  return TRUE;
}

[[noreturn]] void sleepForever() {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

std::u16string toWide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  const std::string a = argc > 2 ? argv[2] : "";
  const std::string b = argc > 3 ? argv[3] : "";
  if (mode == "exit") return static_cast<int>(std::strtoul(a.c_str(), nullptr, 0));
  if (mode == "exitprocess") ExitProcess(static_cast<UINT>(std::strtoul(a.c_str(), nullptr, 0)));
  if (mode == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(a.c_str())));
    return 0;
  }
  if (mode == "report") {
    std::string text;
    for (int i = 0; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
    char cwd[4096] = {};
    if (getcwd(cwd, sizeof(cwd))) text += std::string("cwd=") + cwd + "\n";
    DWORD session = 0xFFFFFFFF;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) text += "session=" + std::to_string(session) + "\n";
    for (const char *name : {"WIN32_ROOT", "WIN32_TIME_SCALE", "FROM_BLOCK"}) {
      const char *v = std::getenv(name);
      text += std::string("env:") + name + "=" + (v ? v : "<unset>") + "\n";
    }
    writeText(a, text);
    return 0;
  }
  if (mode == "ctrlc") {
    g_flagFile = a;
    SetConsoleCtrlHandler(onCtrl, TRUE);
    writeText(a + ".ready", "ready\n");
    for (int i = 0; i < 6000; ++i) {
      if (access(a.c_str(), F_OK) == 0) return 7;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 9;
  }
  if (mode == "ignore-ctrlc") {
    SetConsoleCtrlHandler(nullptr, TRUE);
    writeText(a, "ready\n");
    sleepForever();
  }
  if (mode == "spawn") {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return 3;
    std::u16string line = u"\"" + toWide(self) + u"\" sleep 600000";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    const DWORD flags = b == "breakaway" ? CREATE_BREAKAWAY_FROM_JOB : 0;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi)) return 4;
    writeText(a, std::to_string(pi.dwProcessId) + "\n");
    if (b.empty()) sleepForever();
    return 0;
  }
  if (mode == "hold-mutex" || mode == "lock-mutex") {
    std::u16string name = toWide(a);
    HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!m) return 5;
    DWORD r = WaitForSingleObject(m, INFINITE);
    if (mode == "lock-mutex") {
      writeText(b, std::to_string(r) + "\n");
      ReleaseMutex(m);
      return 0;
    }
    writeText(b, std::to_string(r) + "\n");
    sleepForever();
  }
  if (mode == "wait-event") {
    std::u16string name = toWide(a);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    const DWORD created = GetLastError();
    if (!e) return 5;
    DWORD r = WaitForSingleObject(e, INFINITE);
    writeText(b, std::to_string(r) + " " + std::to_string(created) + "\n");
    return 0;
  }
  if (mode == "job-owner") {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info))) return 6;
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return 3;
    std::u16string line = u"\"" + toWide(self) + u"\" spawn " + toWide(a);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string storage(size, '\0');
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size) ||
        !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof(HANDLE), nullptr, nullptr))
      return 6;
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof(si);
    si.lpAttributeList = list;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                        &si.StartupInfo, &pi))
      return 4;
    writeText(b, std::to_string(pi.dwProcessId) + "\n");
    sleepForever();
  }
  if (mode == "open-hold") {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::strtoul(a.c_str(), nullptr, 10));
    writeText(b, std::to_string(h ? 0 : GetLastError()) + "\n");
    sleepForever();
  }
  if (mode == "exit-on") {
    while (access(a.c_str(), F_OK) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return static_cast<int>(std::strtoul(b.c_str(), nullptr, 0));
  }
  if (mode == "terminate-by-ctrlc") {
    DWORD pid = static_cast<DWORD>(std::strtoul(a.c_str(), nullptr, 10));
    if (!AttachConsole(pid)) return static_cast<int>(GetLastError());
    SetConsoleCtrlHandler(nullptr, TRUE);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return static_cast<int>(GetLastError());
    return 0;
  }
  return 2;
}
