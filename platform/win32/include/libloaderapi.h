// Stand-in for the Windows SDK's libloaderapi.h: loading a system library by name and looking up its exports.
// The libraries are the stand-in's own, linked into every program; see src/core/module.cpp.
#pragma once
#include "bvwin/base.h"

extern "C" {
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
}
