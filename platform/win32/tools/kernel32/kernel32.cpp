// The exported face of kernel32 for look-ups by name; the work is done by the stand-in linked into the program.
#include "bvwin/base.h"

namespace {
BOOL(WINAPI *g_processIdToSessionId)(DWORD, DWORD *) = nullptr;
} // namespace

extern "C" {

__attribute__((visibility("default"))) void bvwinKernel32Bind(BOOL(WINAPI *processIdToSessionId)(DWORD, DWORD *)) {
  g_processIdToSessionId = processIdToSessionId;
}

__attribute__((visibility("default"))) BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId) {
  // Unbound only in a program that does not contain the stand-in.
  return g_processIdToSessionId ? g_processIdToSessionId(dwProcessId, pSessionId) : FALSE;
}

} // extern "C"
