// Control of the emulated Windows machine, for tests, tools and the stand-in itself.
// Not part of the Windows API: product code never includes this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu {

// The machine root: $WIN32_ROOT, else $XDG_DATA_HOME/brimvault-win32 (~/.local/share/...). Created on first use.
const std::string &machineRoot();
// Forget the cached root so the next call reads WIN32_ROOT again (tests that make a new root in-process).
void resetMachineRoot();

// Windows path to host path. "C:\a\b", "C:/a/b", "c:a" map under <root>/drive_c; other drive letters under
// <root>/drive_<letter>. A path without a drive letter is a host path already (backslashes become slashes).
std::string hostPath(const std::string &windowsPath);
std::string hostPath(const WCHAR *windowsPath);
// Host path to the Windows form "C:\..." when it lies under a mapped drive, else the host path unchanged.
std::string windowsPath(const std::string &hostPath);

// UTF-16 <-> UTF-8 helpers for the stand-in.
std::string toUtf8(const WCHAR *text, std::ptrdiff_t length = -1);
std::u16string toUtf16(const std::string &text);

// Time scale of every stand-in wait and sleep ($WIN32_TIME_SCALE, default 1). INFINITE stays INFINITE.
double timeScale();
void setTimeScale(double scale);
DWORD scaledMs(DWORD ms);

// Failure injection. A named call fails with `code`; with nth > 0 only its nth call from now on fails, otherwise
// every call fails. Also read from $WIN32_FAIL as "Name=code[@nth],Name2=code2" so child processes inherit it.
void injectFailure(const std::string &call, DWORD code, int nth = 0);
void clearFailures();
// Clears every failure and reads $WIN32_FAIL again.
void reloadFailureEnvironment();
// Used by the stand-in at the top of a call: 0 when the call goes ahead, else the error code to fail with.
// Counts the call either way.
DWORD failureFor(const char *call);

// Every call that consulted failureFor is journalled by name (in-process), so tests can check what was called.
std::vector<std::string> callJournal();
void clearCallJournal();

// Kernel objects behind handles.
struct KernelObject {
  virtual ~KernelObject();
  virtual const char *typeName() const = 0;
};
HANDLE insertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> lookupHandle(HANDLE handle);
template <class T> std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(lookupHandle(handle));
}
// Removes the handle; the object goes when its last reference does. false for an unknown handle.
bool closeHandleEntry(HANDLE handle);
size_t openHandleCount();

} // namespace emu

// Returns from a stand-in call that has an injected failure: sets the last error and returns `result`.
#define EMU_FAIL_POINT(name, result)                         \
  do {                                                       \
    if (DWORD emu_code_ = ::emu::failureFor(name)) {          \
      ::SetLastError(emu_code_);                             \
      return result;                                         \
    }                                                        \
  } while (0)
