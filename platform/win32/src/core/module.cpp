// LoadLibraryW / GetProcAddress for the system libraries the stand-in provides: the library is the stand-in linked
// into the program, so loading one hands out a fixed module handle and its exports are a table of the stand-in's
// own functions. Unknown libraries fail as a missing DLL does.
#include <windows.h>
#include <cfgmgr32.h>
#include <libloaderapi.h>

#include <atomic>
#include <cstring>

#include "emu/emu.h"

namespace {

struct Export {
  const char *name;
  FARPROC proc;
};

struct Library {
  const char *name; // lower case, with ".dll"
  const Export *exports;
  size_t count;
  std::atomic<int> loads{0};
};

// Through void (*)(), the type that stands for any function.
template <class F> FARPROC asProc(F *f) { return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f)); }

const Export kCfgmgr32[] = {
    {"CM_Get_Device_Interface_PropertyW", asProc(&CM_Get_Device_Interface_PropertyW)},
    {"CM_Get_DevNode_PropertyW", asProc(&CM_Get_DevNode_PropertyW)},
    {"CM_Get_DevNode_Status", asProc(&CM_Get_DevNode_Status)},
    {"CM_Locate_DevNodeW", asProc(&CM_Locate_DevNodeW)},
};

Library g_libraries[] = {{"cfgmgr32.dll", kCfgmgr32, sizeof kCfgmgr32 / sizeof kCfgmgr32[0]}};

// "C:\Windows\System32\CFGMGR32" -> "cfgmgr32.dll"
std::string baseName(LPCWSTR path) {
  std::string s = emu::toUtf8(path);
  size_t slash = s.find_last_of("\\/");
  if (slash != std::string::npos) s = s.substr(slash + 1);
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (s.find('.') == std::string::npos) s += ".dll";
  return s;
}

Library *libraryOf(HMODULE h) {
  for (Library &l : g_libraries)
    if (reinterpret_cast<HMODULE>(&l) == h) return &l;
  return nullptr;
}

} // namespace

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  EMU_FAIL_POINT("LoadLibraryW", nullptr);
  if (!lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name = baseName(lpLibFileName);
  for (Library &l : g_libraries)
    if (name == l.name) {
      ++l.loads;
      return reinterpret_cast<HMODULE>(&l);
    }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  EMU_FAIL_POINT("GetProcAddress", nullptr);
  Library *l = libraryOf(hModule);
  if (!l || l->loads <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // An ordinal (a value below 64 Ki in place of a name) names nothing here.
  if (reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000)
    for (size_t i = 0; i < l->count; ++i)
      if (std::strcmp(l->exports[i].name, lpProcName) == 0) return l->exports[i].proc;
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  EMU_FAIL_POINT("FreeLibrary", FALSE);
  Library *l = libraryOf(hLibModule);
  if (!l || l->loads <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --l->loads;
  return TRUE;
}

} // extern "C"
