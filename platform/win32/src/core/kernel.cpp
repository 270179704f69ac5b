// Last error, the handle table, heap calls, text conversion, time and process paths.
#include <windows.h>
#include "emu/emu.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <sys/syscall.h>
#include <unordered_map>

namespace {
thread_local DWORD t_lastError = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }
extern "C" void WINAPI SetLastError(DWORD code) { t_lastError = code; }

// --- handle table -------------------------------------------------------------------------------

namespace emu {

KernelObject::~KernelObject() = default;

namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  uintptr_t next = 0x1000; // multiples of 4, as on Windows; never reused within a process
};

HandleTable &handleTable() {
  static HandleTable *table = new HandleTable; // outlives static destructors that close handles
  return *table;
}

} // namespace

HANDLE insertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable &t = handleTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookupHandle(HANDLE handle) {
  HandleTable &t = handleTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool closeHandleEntry(HANDLE handle) {
  std::shared_ptr<KernelObject> dying;
  HandleTable &t = handleTable();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) return false;
    dying = std::move(it->second);
    t.objects.erase(it);
  }
  // The object may run its close behaviour (kill-on-close jobs) here, outside the table's lock.
  return true;
}

size_t openHandleCount() {
  HandleTable &t = handleTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.objects.size();
}

} // namespace emu

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  EMU_FAIL_POINT("CloseHandle", FALSE);
  if (hObject == GetCurrentProcess()) return TRUE; // a pseudo-handle: closing it has no effect
  if (!emu::closeHandleEntry(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL WINAPI DuplicateHandle(HANDLE, HANDLE hSourceHandle, HANDLE, LPHANDLE lpTargetHandle, DWORD, BOOL,
                                       DWORD dwOptions) {
  EMU_FAIL_POINT("DuplicateHandle", FALSE);
  auto object = emu::lookupHandle(hSourceHandle);
  if (!object || !lpTargetHandle) {
    SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpTargetHandle = emu::insertHandle(object);
  if (dwOptions & DUPLICATE_CLOSE_SOURCE) emu::closeHandleEntry(hSourceHandle);
  return TRUE;
}

// Heaps are in heap.cpp, the code pages in codepage.cpp.

// --- text ---------------------------------------------------------------------------------------

extern "C" int WINAPI lstrlenW(LPCWSTR s) {
  if (!s) return 0;
  int n = 0;
  while (s[n]) ++n;
  return n;
}

extern "C" int WINAPI lstrlenA(LPCSTR s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

namespace {
char16_t foldCase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
} // namespace

extern "C" int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a ? 1 : (b ? -1 : 0);
  for (;; ++a, ++b) {
    char16_t x = foldCase(*a), y = foldCase(*b);
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}

extern "C" int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return a ? 1 : (b ? -1 : 0);
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (!*a) return 0;
  }
}

extern "C" LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
  if (!dst || !src || max <= 0) return dst;
  int i = 0;
  for (; i < max - 1 && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

// --- process and time ---------------------------------------------------------------------------

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
extern "C" DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }
extern "C" HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
extern "C" HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

extern "C" ULONGLONG WINAPI GetTickCount64(void) {
  using namespace std::chrono;
  return static_cast<ULONGLONG>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
extern "C" DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

extern "C" void WINAPI Sleep(DWORD ms) {
  DWORD scaled = emu::scaledMs(ms);
  if (scaled == INFINITE) {
    for (;;) pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

extern "C" void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) {
  using namespace std::chrono;
  // 100 ns ticks since 1601-01-01.
  const uint64_t epochDelta = 116444736000000000ULL;
  uint64_t ticks = static_cast<uint64_t>(duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100) +
                   epochDelta;
  ft->dwLowDateTime = static_cast<DWORD>(ticks);
  ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

namespace {

// Copies text into a caller buffer the way the Get*W calls of this family do: the length without the terminator on
// success, the needed size with the terminator when the buffer is too small.
DWORD copyOut(const std::u16string &text, LPWSTR buffer, DWORD size) {
  if (!buffer || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(text.size());
}

} // namespace

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR buffer, DWORD size) {
  EMU_FAIL_POINT("GetModuleFileNameW", 0);
  if (hModule != nullptr || size == 0 || !buffer) {
    SetLastError(hModule ? ERROR_MOD_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  std::u16string text = emu::toUtf16(std::string(path, static_cast<size_t>(n)));
  if (text.size() >= size) { // truncated and terminated, as on Windows
    std::memcpy(buffer, text.data(), (size - 1) * sizeof(WCHAR));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(text.size());
}

extern "C" DWORD WINAPI GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  EMU_FAIL_POINT("GetCurrentDirectoryW", 0);
  char path[PATH_MAX];
  if (!getcwd(path, sizeof(path))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  return copyOut(emu::toUtf16(path), buffer, size);
}

extern "C" BOOL WINAPI SetCurrentDirectoryW(LPCWSTR path) {
  EMU_FAIL_POINT("SetCurrentDirectoryW", FALSE);
  if (!path || chdir(emu::hostPath(path).c_str()) != 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
  const char *value = name ? std::getenv(emu::toUtf8(name).c_str()) : nullptr;
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return copyOut(emu::toUtf16(value), buffer, size);
}

extern "C" BOOL WINAPI SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string n = emu::toUtf8(name);
  int rc = value ? setenv(n.c_str(), emu::toUtf8(value).c_str(), 1) : unsetenv(n.c_str());
  return rc == 0 ? TRUE : FALSE;
}

// The first of TMP, TEMP and USERPROFILE that is set, else the Windows folder; with a final backslash, not checked
// for existence.
extern "C" DWORD WINAPI GetTempPathW(DWORD size, LPWSTR buffer) {
  std::string path = "C:\\Windows";
  for (const char *name : {"TMP", "TEMP", "USERPROFILE"}) {
    if (const char *value = std::getenv(name); value && *value) {
      path = value;
      break;
    }
  }
  if (path.back() != '\\' && path.back() != '/') path += '\\';
  return copyOut(emu::toUtf16(path), buffer, size);
}

extern "C" DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size) {
  if (!src) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string in = emu::toUtf8(src), out;
  for (size_t i = 0; i < in.size();) {
    size_t close = in[i] == '%' ? in.find('%', i + 1) : std::string::npos;
    if (close == std::string::npos) {
      out += in[i++];
      continue;
    }
    const char *value = std::getenv(in.substr(i + 1, close - i - 1).c_str());
    out += value ? std::string(value) : in.substr(i, close - i + 1);
    i = close + 1;
  }
  std::u16string wide = emu::toUtf16(out);
  // Unlike the Get*W calls, the count includes the terminator on success.
  if (dst && size > wide.size()) std::memcpy(dst, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(wide.size() + 1);
}
