// Processes: creation from a Windows command line, process handles, exit codes and attribute lists.
//
// Exit codes: POSIX passes only 8 bits to the parent, so every process of the machine records the full 32-bit
// code it ends with (exit(), return from main, ExitProcess; see attach.cpp) under the root, and TerminateProcess
// records the code it gives before it kills. The parent's reaper prefers the recorded code.
#include "process/process_internal.h"
#include "process/proctable.h"
#include "security/account_internal.h"

#include "emu/desktop.h"
#include "emu/hold.h"
#include "emu/process.h"
#include "emu/session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

// --- attribute lists ----------------------------------------------------------------------------

struct ProcThreadAttribute {
  DWORD_PTR attribute;
  PVOID value;
  SIZE_T size;
};

struct _PROC_THREAD_ATTRIBUTE_LIST {
  DWORD magic;
  DWORD capacity;
  DWORD used;
  DWORD reserved;
  ProcThreadAttribute entries[1];
};

namespace {

constexpr DWORD kListMagic = 0x4C545042; // "BPTL"

SIZE_T listSize(DWORD count) {
  return offsetof(_PROC_THREAD_ATTRIBUTE_LIST, entries) + sizeof(ProcThreadAttribute) * std::max<DWORD>(count, 1);
}

bool validList(const _PROC_THREAD_ATTRIBUTE_LIST *list) { return list && list->magic == kListMagic; }

} // namespace

extern "C" BOOL WINAPI InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList,
                                                         DWORD dwAttributeCount, DWORD dwFlags, PSIZE_T lpSize) {
  EMU_FAIL_POINT("InitializeProcThreadAttributeList", FALSE);
  if (!lpSize || dwFlags != 0 || dwAttributeCount > 64) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const SIZE_T needed = listSize(dwAttributeCount);
  if (!lpAttributeList || *lpSize < needed) {
    *lpSize = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memset(lpAttributeList, 0, needed);
  lpAttributeList->magic = kListMagic;
  lpAttributeList->capacity = dwAttributeCount;
  *lpSize = needed;
  return TRUE;
}

extern "C" BOOL WINAPI UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList, DWORD dwFlags,
                                                 DWORD_PTR Attribute, PVOID lpValue, SIZE_T cbSize,
                                                 PVOID lpPreviousValue, PSIZE_T lpReturnSize) {
  EMU_FAIL_POINT("UpdateProcThreadAttribute", FALSE);
  if (!validList(lpAttributeList) || dwFlags != 0 || !lpValue || lpPreviousValue || lpReturnSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  switch (Attribute) {
  case PROC_THREAD_ATTRIBUTE_JOB_LIST:
  case PROC_THREAD_ATTRIBUTE_HANDLE_LIST:
    if (cbSize == 0 || cbSize % sizeof(HANDLE) != 0) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    break;
  case PROC_THREAD_ATTRIBUTE_PARENT_PROCESS:
    if (cbSize != sizeof(HANDLE)) {
      SetLastError(ERROR_BAD_LENGTH);
      return FALSE;
    }
    break;
  default:
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  for (DWORD i = 0; i < lpAttributeList->used; ++i) {
    if (lpAttributeList->entries[i].attribute == Attribute) { // each attribute once: the first one stays
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
  }
  if (lpAttributeList->used >= lpAttributeList->capacity) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  // The pointer is kept, not the value: the value is read through it at each creation.
  lpAttributeList->entries[lpAttributeList->used++] = ProcThreadAttribute{Attribute, lpValue, cbSize};
  return TRUE;
}

extern "C" void WINAPI DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList) {
  if (validList(lpAttributeList)) lpAttributeList->magic = 0;
}

// --- process objects ----------------------------------------------------------------------------

namespace emu {
namespace proc {

// Defined in token.cpp: the session of a primary token usable for CreateProcessAsUserW, or false with the error.
bool sessionOfPrimaryToken(HANDLE token, DWORD *session);

namespace {
// The file name of a process's program.
std::string programOf(const ProcessState &st) { return st.image.substr(st.image.find_last_of("\\/") + 1); }
} // namespace

std::string holdDetail(const ProcessState &st) { return programOf(st) + ":" + std::to_string(st.pid); }

std::string holdLaunchDetail(const ProcessState &st) {
  return st.launch > 0 ? programOf(st) + ":#" + std::to_string(st.launch) : std::string();
}

namespace {

// Processes of the machine that this process holds handles to, as written in its held record; heldMutex held.
std::mutex &heldMutex() {
  static auto *m = new std::mutex;
  return *m;
}

std::map<const ProcessState *, HeldProcess> &heldProcesses() {
  static auto *held = new std::map<const ProcessState *, HeldProcess>;
  return *held;
}

// One handle more or less to a process: the held record changes when the first opens or the last closes.
void countHandle(ProcessState &st, int delta) {
  if (!st.counted) return;
  std::lock_guard<std::mutex> lock(heldMutex());
  const bool before = st.handles > 0;
  st.handles += delta;
  if (before == (st.handles > 0)) return;
  auto &held = heldProcesses();
  if (st.handles > 0) {
    HeldProcess h;
    h.pid = st.pid;
    h.start = st.start;
    h.session = st.session;
    h.account = st.account;
    h.image = st.image;
    held[&st] = h;
  } else {
    held.erase(&st);
  }
  std::vector<HeldProcess> all;
  for (const auto &h : held) all.push_back(h.second);
  writeHeld(all);
}

struct ProcessObject : Waitable {
  std::shared_ptr<ProcessState> st;
  DWORD access;
  bool thread; // the handle of its (main) thread, which keeps the process object alive too
  ProcessObject(std::shared_ptr<ProcessState> s, DWORD a, bool t) : st(std::move(s)), access(a), thread(t) {
    countHandle(*st, 1);
  }
  ~ProcessObject() override { countHandle(*st, -1); }
  const char *typeName() const override { return thread ? "Thread" : "Process"; }
  Take tryTake(DWORD) override {
    refreshExited(*st);
    return st->exited ? Taken : NotSignaled;
  }
  void untake(DWORD, Take) override {}
  bool needsPolling() const override { return !st->child; }
  // A process and its thread are two objects.
  const void *identity() const override { return thread ? static_cast<const void *>(&st->start) : st.get(); }
  bool canWait() const override { return (access & SYNCHRONIZE) != 0; }
};

// Processes known to this process, by pid; engine lock held.
std::map<pid_t, std::weak_ptr<ProcessState>> &knownProcesses() {
  static auto *known = new std::map<pid_t, std::weak_ptr<ProcessState>>;
  return *known;
}

// The state this process already has of (pid, start), so that its handles share one object; engine lock held.
std::shared_ptr<ProcessState> knownProcess(pid_t pid, unsigned long long start) {
  auto &known = knownProcesses();
  for (auto it = known.begin(); it != known.end();) { // drop the ones nobody refers to any more
    it = it->second.expired() ? known.erase(it) : std::next(it);
  }
  auto it = known.find(pid);
  if (it == known.end()) return nullptr;
  auto st = it->second.lock();
  return (st && st->start == start) ? st : nullptr;
}

std::string selfExe() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::shared_ptr<ProcessState> selfState() {
  static auto *self = new std::shared_ptr<ProcessState>([] {
    auto st = std::make_shared<ProcessState>();
    st->pid = getpid();
    st->start = startTimeOf(st->pid);
    st->image = windowsPath(selfExe());
    return st;
  }());
  (*self)->session = currentSessionId();
  return *self;
}

// Windows exit code of a child from its wait status and what it recorded.
DWORD exitCodeFrom(const ProcessState &st, int status, bool haveStatus) {
  DWORD recorded = 0;
  bool haveRecord = readExit(st.pid, st.start, &recorded);
  if (!haveStatus) return haveRecord ? recorded : 1;
  if (WIFEXITED(status)) {
    DWORD low = static_cast<DWORD>(WEXITSTATUS(status));
    return (haveRecord && (recorded & 0xFF) == low) ? recorded : low;
  }
  if (haveRecord) return recorded; // killed by a terminator, which recorded its code first
  switch (WIFSIGNALED(status) ? WTERMSIG(status) : 0) {
  case SIGINT:
    return STATUS_CONTROL_C_EXIT;
  case SIGSEGV:
  case SIGBUS:
    return 0xC0000005; // access violation
  case SIGILL:
    return 0xC000001D;
  case SIGFPE:
    return 0xC0000094;
  case SIGABRT:
    return 3; // abort()
  default:
    return 1;
  }
}

// Waits for the child's end without reaping it first: while it is a zombie a wait sees it through refreshExited,
// and it is reaped only after its state says it has ended. So no wait ever finds neither, and a process object is
// signalled from the moment the process ends, as on Windows.
void startReaper(const std::shared_ptr<ProcessState> &st) {
  std::thread([st] {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(st->pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
      std::lock_guard<std::mutex> lock(waitEngineMutex());
      refreshExited(*st);
      if (!st->exited) { // reaped by someone else: only a recorded code is left
        st->exitCode = exitCodeFrom(*st, 0, false);
        st->exited = true;
      }
    }
    wakeWaiters();
    // What only the wait status tells (a signal's end) goes on record before the status is gone with the reaping:
    // a handle another process opens later gives the same code.
    recordExitIfNone(st->pid, st->start, st->exitCode);
    holdPoint("ProcessEnd", holdDetail(*st), holdLaunchDetail(*st));
    int status = 0;
    while (waitpid(st->pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// --- command lines ------------------------------------------------------------------------------

bool isSpace(char16_t c) { return c == u' ' || c == u'\t'; }

// Arguments after the program name, by the rules of the C runtime: 2n backslashes and a quote give n backslashes
// and toggle quoting, 2n+1 backslashes and a quote give n backslashes and a quote, "" inside quotes is a quote.
std::vector<std::u16string> parseArguments(const std::u16string &line, size_t pos) {
  std::vector<std::u16string> args;
  const size_t n = line.size();
  for (;;) {
    while (pos < n && isSpace(line[pos])) ++pos;
    if (pos >= n) break;
    std::u16string arg;
    bool quoted = false;
    while (pos < n && (quoted || !isSpace(line[pos]))) {
      size_t slashes = 0;
      while (pos < n && line[pos] == u'\\') {
        ++slashes;
        ++pos;
      }
      if (pos < n && line[pos] == u'"') {
        arg.append(slashes / 2, u'\\');
        if (slashes % 2) {
          arg += u'"';
          ++pos;
        } else if (quoted && pos + 1 < n && line[pos + 1] == u'"') {
          arg += u'"';
          pos += 2;
        } else {
          quoted = !quoted;
          ++pos;
        }
      } else {
        arg.append(slashes, u'\\');
        if (pos < n && (quoted || !isSpace(line[pos]))) arg += line[pos++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

// The program name at the start of a command line: the quoted text, or up to the first blank. Sets *rest to the
// position after it.
std::u16string programToken(const std::u16string &line, size_t *rest) {
  size_t pos = 0;
  std::u16string token;
  if (!line.empty() && line[0] == u'"') {
    size_t close = line.find(u'"', 1);
    token = line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    pos = close == std::u16string::npos ? line.size() : close + 1;
  } else {
    while (pos < line.size() && !isSpace(line[pos])) ++pos;
    token = line.substr(0, pos);
  }
  *rest = pos;
  return token;
}

bool hasExtension(const std::string &path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// 0 when the host file is a program that can be started, else the Windows error.
DWORD checkProgram(const std::string &host) {
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
  if (!S_ISREG(st.st_mode) || access(host.c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
  return 0;
}

// Finds the program of a module name as Windows does: ".exe" added when the name has no extension; a bare name is
// looked for in the folder of this program, the current folder, the system folders and PATH.
DWORD findProgram(const std::string &name, bool search, std::string *host) {
  if (name.empty()) return ERROR_FILE_NOT_FOUND;
  const std::string mapped = hostPath(name);
  std::vector<std::string> names{mapped};
  if (search && !hasExtension(mapped)) names.insert(names.begin(), mapped + ".exe");
  const bool bare = name.find_first_of("/\\:") == std::string::npos;
  std::vector<std::string> dirs;
  if (search && bare) {
    std::string exe = selfExe();
    dirs.push_back(exe.substr(0, exe.rfind('/')));
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd))) dirs.push_back(cwd);
    dirs.push_back(hostPath("C:\\Windows\\System32"));
    dirs.push_back(hostPath("C:\\Windows"));
    if (const char *path = std::getenv("PATH")) {
      std::string p(path);
      for (size_t start = 0; start <= p.size();) {
        size_t colon = p.find(':', start);
        std::string dir = p.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty()) dirs.push_back(dir);
        if (colon == std::string::npos) break;
        start = colon + 1;
      }
    }
  } else {
    dirs.push_back(std::string());
  }
  DWORD error = ERROR_FILE_NOT_FOUND;
  for (const auto &dir : dirs) {
    for (const auto &n : names) {
      std::string candidate = dir.empty() ? n : dir + "/" + n;
      DWORD e = checkProgram(candidate);
      if (e == 0) {
        *host = candidate;
        return 0;
      }
      if (e != ERROR_FILE_NOT_FOUND) error = e;
    }
  }
  if (error == ERROR_FILE_NOT_FOUND && !bare) {
    std::string dir = mapped.substr(0, mapped.rfind('/'));
    struct stat st;
    if (mapped.find('/') != std::string::npos && !dir.empty() && stat(dir.c_str(), &st) != 0) {
      error = ERROR_PATH_NOT_FOUND;
    }
  }
  return error;
}

// --- environment --------------------------------------------------------------------------------

std::vector<std::string> environmentFrom(LPVOID block, bool unicode) {
  std::vector<std::string> env;
  if (!block) {
    for (char **e = environ; e && *e; ++e) env.emplace_back(*e);
    return env;
  }
  if (unicode) {
    for (auto *p = static_cast<const WCHAR *>(block); *p;) {
      std::u16string entry(p);
      env.push_back(toUtf8(entry.c_str(), static_cast<std::ptrdiff_t>(entry.size())));
      p += entry.size() + 1;
    }
  } else {
    for (auto *p = static_cast<const char *>(block); *p;) {
      env.emplace_back(p);
      p += std::strlen(p) + 1;
    }
  }
  return env;
}

void setVariable(std::vector<std::string> &env, const std::string &name, const std::string &value, bool replace) {
  const std::string prefix = name + "=";
  for (auto &entry : env) {
    if (entry.compare(0, prefix.size(), prefix) == 0) {
      if (replace) entry = prefix + value;
      return;
    }
  }
  env.push_back(prefix + value);
}

std::string scaleText() {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.17g", timeScale());
  return buf;
}

// --- creation -----------------------------------------------------------------------------------

struct Creation {
  bool asUser = false;
  HANDLE token = nullptr;
  LPCWSTR application = nullptr;
  LPWSTR commandLine = nullptr;
  DWORD flags = 0;
  LPVOID environment = nullptr;
  LPCWSTR directory = nullptr;
  LPSTARTUPINFOW startup = nullptr;
  LPPROCESS_INFORMATION info = nullptr;
};

BOOL createProcess(const Creation &c) {
  if (!c.startup || !c.info || (!c.application && !c.commandLine)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((c.flags & DETACHED_PROCESS) && (c.flags & CREATE_NEW_CONSOLE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The session of the new process.
  DWORD session = currentSessionId();
  if (c.asUser && !sessionOfPrimaryToken(c.token, &session)) return FALSE;
  // Its account: the creator's, or the token's.
  Account account = currentAccount();
  if (c.asUser && !sec::accountOfToken(c.token, &account)) return FALSE;

  // Jobs named by the attribute list: read through the stored pointer now.
  std::vector<std::string> listedJobs;
  if (c.flags & EXTENDED_STARTUPINFO_PRESENT) {
    if (c.startup->cb != sizeof(STARTUPINFOEXW)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto *list = reinterpret_cast<LPSTARTUPINFOEXW>(c.startup)->lpAttributeList;
    if (list && !validList(list)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    for (DWORD i = 0; list && i < list->used; ++i) {
      const ProcThreadAttribute &a = list->entries[i];
      if (a.attribute != PROC_THREAD_ATTRIBUTE_JOB_LIST) continue;
      if (!jobIdsFromHandles(static_cast<const HANDLE *>(a.value), a.size / sizeof(HANDLE), &listedJobs)) return FALSE;
    }
  } else if (c.startup->cb < sizeof(STARTUPINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  // The jobs it joins: the creator's (breaking away needs their leave) and those of the attribute list.
  Entry self;
  std::vector<std::string> jobs;
  if (!jobsOfNewProcess(readEntry(getpid(), &self) ? self.jobs : std::vector<std::string>(),
                        (c.flags & CREATE_BREAKAWAY_FROM_JOB) != 0, &jobs))
    return FALSE;
  for (const auto &id : listedJobs) {
    if (std::find(jobs.begin(), jobs.end(), id) == jobs.end()) jobs.push_back(id);
  }

  // Program and arguments.
  std::u16string line = c.commandLine ? std::u16string(c.commandLine) : std::u16string();
  std::string host, module;
  size_t rest = 0;
  std::u16string argv0;
  if (c.application) {
    module = toUtf8(c.application);
    if (DWORD e = findProgram(module, false, &host)) {
      SetLastError(e);
      return FALSE;
    }
    argv0 = line.empty() ? std::u16string(c.application) : programToken(line, &rest);
  } else {
    argv0 = programToken(line, &rest);
    DWORD e = findProgram(toUtf8(argv0.c_str()), true, &host);
    if (e == ERROR_FILE_NOT_FOUND && !line.empty() && line[0] != u'"') {
      // An unquoted name with blanks: "C:\Program Files\a b.exe" is tried at each blank in turn.
      for (size_t blank = line.find_first_of(u" \t", rest); e != 0 && blank != std::u16string::npos;
           blank = line.find_first_of(u" \t", blank + 1)) {
        size_t end = line.find_first_of(u" \t", blank + 1);
        std::u16string longer = line.substr(0, end);
        if (findProgram(toUtf8(longer.c_str()), true, &host) == 0) {
          e = 0;
          argv0 = longer;
          rest = end == std::u16string::npos ? line.size() : end;
        }
      }
    }
    if (e) {
      SetLastError(e);
      return FALSE;
    }
  }
  std::vector<std::string> args{toUtf8(argv0.c_str())};
  for (const auto &a : parseArguments(line, rest)) args.push_back(toUtf8(a.c_str(), static_cast<std::ptrdiff_t>(a.size())));

  // Working folder.
  std::string directory;
  if (c.directory) {
    directory = hostPath(c.directory);
    struct stat st;
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_DIRECTORY);
      return FALSE;
    }
  }

  // Console and process group: a new console or none is a new group; otherwise the parent's console is shared.
  const bool newConsole = (c.flags & (CREATE_NEW_CONSOLE | CREATE_NO_WINDOW)) && !(c.flags & DETACHED_PROCESS);
  const bool detached = (c.flags & DETACHED_PROCESS) != 0;
  const bool newGroup = newConsole || detached || (c.flags & CREATE_NEW_PROCESS_GROUP);
  std::string console = detached ? "none" : newConsole ? "self" : currentConsole();

  std::vector<std::string> env = environmentFrom(c.environment, (c.flags & CREATE_UNICODE_ENVIRONMENT) != 0);
  setVariable(env, "WIN32_ROOT", machineRoot(), true);
  setVariable(env, "WIN32_TIME_SCALE", scaleText(), c.environment == nullptr);
  setVariable(env, "WIN32_SESSION_ID", std::to_string(session), true);
  setVariable(env, "WIN32_CONSOLE", console, true);
  // A new process group starts with Ctrl+C disabled; otherwise the creator's choice is inherited (SIG_IGN).
  setVariable(env, "WIN32_CTRL_C", (c.flags & CREATE_NEW_PROCESS_GROUP) ? "off" : "", true);
  for (const auto &v : sec::accountVariables(account)) setVariable(env, v.first, v.second, true);
  if (const char *chaos = std::getenv("WIN32_CHAOS")) setVariable(env, "WIN32_CHAOS", chaos, false);
  Gate gate;
  if (!gate.made()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const auto gateVariable = gate.variable();
  setVariable(env, gateVariable.first, gateVariable.second, true);

  std::vector<char *> argvp, envp;
  for (auto &a : args) argvp.push_back(a.data());
  argvp.push_back(nullptr);
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_init(&actions);
  short spawnFlags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newGroup) {
    spawnFlags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  if (newConsole || detached) sigaddset(&defaults, SIGINT); // a new console takes Ctrl+C again
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, spawnFlags);
  if (c.startup->dwFlags & STARTF_USESTDHANDLES) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawn_file_actions_adddup2(&actions, gate.childEnd(), gate.childEnd()); // inherited: close-on-exec cleared

  pid_t pid = 0;
  int rc = posix_spawn(&pid, host.c_str(), &actions, &attr, argvp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : rc == ENOEXEC ? ERROR_BAD_EXE_FORMAT
                 : rc == EACCES ? ERROR_ACCESS_DENIED : rc == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE);
    return FALSE;
  }
  gate.started();
  // The new process waits at its gate: everything the machine knows of it is written before it runs.
  // By its creator: a test cannot know the new pid before this point is passed.
  holdPoint("CreateProcess", host.substr(host.find_last_of('/') + 1) + ":by:" + std::to_string(getpid()));
  auto st = std::make_shared<ProcessState>();
  st->pid = pid;
  st->start = startTimeOf(pid);
  st->child = true;
  st->counted = true;
  st->session = session;
  st->image = windowsPath(host);
  st->account = account;

  Entry entry;
  entry.pid = pid;
  entry.start = st->start;
  entry.parent = getpid();
  entry.session = session;
  entry.image = st->image;
  entry.console = console == "self" ? std::to_string(pid) : console;
  entry.jobs = jobs;
  // A job's end waits until the new process is one of its members, or comes first and ends it at its gate.
  std::unique_ptr<JobsLock> jobsLock(jobs.empty() ? nullptr : new JobsLock);
  if (!gate.record(entry, account)) {
    jobsLock.reset();
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  joinJobs(jobs, pid, st->start);

  {
    std::lock_guard<std::mutex> lock(waitEngineMutex());
    knownProcesses()[pid] = st;
    static auto *launches = new std::map<std::string, int>;
    st->launch = ++(*launches)[programOf(*st)];
  }
  startReaper(st);
  gate.open();
  jobsLock.reset();

  c.info->hProcess = insertHandle(std::make_shared<ProcessObject>(st, PROCESS_ALL_ACCESS, false));
  c.info->hThread = insertHandle(std::make_shared<ProcessObject>(st, 0x1FFFFF, true));
  c.info->dwProcessId = static_cast<DWORD>(pid);
  c.info->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

} // namespace

void refreshExited(ProcessState &st) {
  if (st.exited) return;
  if (st.child) {
    // A child that has ended counts as ended at once, as on Windows, not only when the reaper has run: it is
    // looked at without being reaped.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(st.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != st.pid) {
      return;
    }
    const int status = info.si_code == CLD_EXITED ? (info.si_status & 0xFF) << 8 : (info.si_status & 0x7F);
    st.exitCode = exitCodeFrom(st, status, true);
    st.exited = true;
    return;
  }
  // One read decides: running, ended but not yet reaped (its wait status is still there), or gone.
  ProcStat s;
  const bool present = readStat(st.pid, &s) && s.start == st.start;
  if (present && !s.ended()) return;
  st.exitCode = exitCodeFrom(st, s.waitStatus, present);
  st.exited = true;
}

std::shared_ptr<ProcessState> processFromHandle(HANDLE h, DWORD *access) {
  if (h == GetCurrentProcess()) {
    *access = PROCESS_ALL_ACCESS;
    return selfState();
  }
  auto object = lookupHandleAs<ProcessObject>(h);
  if (!object || object->thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  *access = object->access;
  return object->st;
}

} // namespace proc

bool recordedExitCode(DWORD pid, DWORD *code) { return proc::readExit(static_cast<pid_t>(pid), 0, code); }

} // namespace emu

using emu::proc::ProcessState;

namespace {

emu::proc::Creation creationOf(LPCWSTR application, LPWSTR commandLine, DWORD flags, LPVOID environment,
                               LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  emu::proc::Creation c;
  c.application = application;
  c.commandLine = commandLine;
  c.flags = flags;
  c.environment = environment;
  c.directory = directory;
  c.startup = startup;
  c.info = info;
  return c;
}

} // namespace

extern "C" BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                                      LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment,
                                      LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                      LPPROCESS_INFORMATION lpProcessInformation) {
  EMU_FAIL_POINT("CreateProcessW", FALSE);
  return emu::proc::createProcess(creationOf(lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment,
                                             lpCurrentDirectory, lpStartupInfo, lpProcessInformation));
}

extern "C" BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                            LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags,
                                            LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                                            LPSTARTUPINFOW lpStartupInfo,
                                            LPPROCESS_INFORMATION lpProcessInformation) {
  EMU_FAIL_POINT("CreateProcessAsUserW", FALSE);
  emu::proc::Creation c = creationOf(lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment,
                                     lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
  c.asUser = true;
  c.token = hToken;
  return emu::proc::createProcess(c);
}

namespace {

// A process the desktop knows only by its record: it can be queried, nothing more. It runs as the desktop's user;
// one that runs elevated grants an unelevated caller limited information only, as Windows does.
HANDLE openDesktopProcess(DWORD pid, DWORD access, unsigned long long hostStart) {
  std::u16string image;
  emu::Account owner = emu::currentAccount();
  if (!emu::desktop::desktopProcessImage(pid, &image, &owner.elevated)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD granted = emu::sec::processAccessFor(emu::currentAccount(), owner) &
                        (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ);
  if (access & ~granted) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto st = std::make_shared<ProcessState>();
  st->pid = static_cast<pid_t>(pid);
  st->start = hostStart; // so it counts as running while the id stays as it is on the host
  st->session = emu::currentSessionId();
  st->image = emu::toUtf8(image.c_str(), static_cast<std::ptrdiff_t>(image.size()));
  return emu::insertHandle(std::make_shared<emu::proc::ProcessObject>(st, access, false));
}

} // namespace

namespace {

// A process of the machine that runs now, as this process will see it; null when it is none or ended meanwhile.
std::shared_ptr<ProcessState> openRunning(pid_t pid, unsigned long long start) {
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    if (auto st = emu::proc::knownProcess(pid, start)) return st;
  }
  if (!emu::proc::belongsToMachine(pid, start)) return nullptr;
  auto st = std::make_shared<ProcessState>();
  st->pid = pid;
  st->start = start;
  st->counted = true;
  emu::proc::Entry e;
  if (emu::proc::readRecordedEntry(pid, &e) && e.start == start) {
    st->image = e.image;
    st->session = e.session;
  } else {
    char path[PATH_MAX];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof(path) - 1);
    if (n > 0) st->image = emu::windowsPath(std::string(path, static_cast<size_t>(n)));
    emu::proc::sessionOf(pid, &st->session);
  }
  emu::accountOf(static_cast<DWORD>(pid), &st->account);
  if (!emu::proc::aliveAt(pid, start)) return nullptr; // ended while its facts were read: an ended process's way
  std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
  if (auto known = emu::proc::knownProcess(pid, start)) return known; // opened by another thread meanwhile
  emu::proc::knownProcesses()[pid] = st;
  return st;
}

// A process that has ended: its object lives while a process of the machine holds a handle to it.
std::shared_ptr<ProcessState> openEnded(pid_t pid) {
  emu::proc::HeldProcess h;
  if (!emu::proc::findHeld(pid, &h)) return nullptr;
  std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
  auto &known = emu::proc::knownProcesses();
  auto it = known.find(pid);
  if (it != known.end()) {
    if (auto st = it->second.lock(); st && st->start == h.start) return st; // this process's own object of it
  }
  auto st = std::make_shared<ProcessState>();
  st->pid = pid;
  st->start = h.start;
  st->counted = true;
  st->session = h.session;
  st->account = h.account;
  st->image = h.image;
  emu::proc::refreshExited(*st);
  if (it == known.end() || it->second.expired()) known[pid] = st;
  return st;
}

} // namespace

extern "C" HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
  EMU_FAIL_POINT("OpenProcess", nullptr);
  const pid_t pid = static_cast<pid_t>(dwProcessId);
  if (dwProcessId == 0 || dwProcessId > 0x7FFFFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (pid == getpid()) return emu::insertHandle(std::make_shared<emu::proc::ProcessObject>(
                           emu::proc::selfState(), dwDesiredAccess, false));
  // A live process of this machine; else an ended one some process still holds; else one its desktop knows by its
  // record alone.
  const unsigned long long start = emu::proc::liveStartOf(pid);
  std::shared_ptr<ProcessState> st = start != 0 ? openRunning(pid, start) : nullptr;
  if (!st) st = openEnded(pid);
  if (!st) return openDesktopProcess(dwProcessId, dwDesiredAccess, start);
  emu::Account target = st->account;
  emu::accountOf(dwProcessId, &target); // a live process's account as it is now
  if (dwDesiredAccess & ~emu::sec::processAccessFor(emu::currentAccount(), target)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return emu::insertHandle(std::make_shared<emu::proc::ProcessObject>(st, dwDesiredAccess, false));
}

extern "C" BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  EMU_FAIL_POINT("TerminateProcess", FALSE);
  DWORD access = 0;
  auto st = emu::proc::processFromHandle(hProcess, &access);
  if (!st) return FALSE;
  if (!(access & PROCESS_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (st->pid == getpid()) ExitProcess(uExitCode);
  bool exited = false;
  {
    std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
    emu::proc::refreshExited(*st);
    exited = st->exited;
  }
  // Alive, recorded and killed as one step under the exit records' lock: the code is the one every handle gives.
  if (exited || !emu::proc::terminateWithCode(st->pid, st->start, uExitCode)) {
    SetLastError(ERROR_ACCESS_DENIED); // it has ended already
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  EMU_FAIL_POINT("GetExitCodeProcess", FALSE);
  DWORD access = 0;
  auto st = emu::proc::processFromHandle(hProcess, &access);
  if (!st) return FALSE;
  emu::holdPoint("GetExitCodeProcess", emu::proc::holdDetail(*st), emu::proc::holdLaunchDetail(*st));
  if (!(access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) || !lpExitCode) {
    SetLastError(lpExitCode ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(emu::waitEngineMutex());
  emu::proc::refreshExited(*st);
  *lpExitCode = st->exited ? st->exitCode : STILL_ACTIVE;
  return TRUE;
}

extern "C" void WINAPI ExitProcess(UINT uExitCode) {
  // Other threads are not unwound, as on Windows: no static destructors run under their feet. A terminator that
  // recorded its code first decides the code.
  const DWORD code = emu::proc::recordOwnExit(uExitCode);
  std::fflush(nullptr);
  _exit(static_cast<int>(code & 0xFF));
}

extern "C" DWORD WINAPI GetProcessId(HANDLE Process) {
  EMU_FAIL_POINT("GetProcessId", 0);
  DWORD access = 0;
  auto st = emu::proc::processFromHandle(Process, &access);
  return st ? static_cast<DWORD>(st->pid) : 0;
}

extern "C" BOOL WINAPI QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize) {
  EMU_FAIL_POINT("QueryFullProcessImageNameW", FALSE);
  DWORD access = 0;
  auto st = emu::proc::processFromHandle(hProcess, &access);
  if (!st) return FALSE;
  if (!(access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!lpExeName || !lpdwSize || (dwFlags & ~1u)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string image = emu::toUtf16(st->image);
  if (image.size() >= *lpdwSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(lpExeName, image.c_str(), (image.size() + 1) * sizeof(WCHAR));
  *lpdwSize = static_cast<DWORD>(image.size());
  return TRUE;
}
