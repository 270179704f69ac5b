// Process helpers of the service's start-up and of its terminate mode.
#pragma once

#include <windows.h>

// Id of the first process in a snapshot whose executable file name equals name (case-sensitive), or 0.
DWORD findProcessIdByName(LPCWSTR name);
// true when the process was opened and TerminateProcess (exit code 0) succeeded.
bool TerminateProcessById(DWORD pid);
// Sends Ctrl+C to the console of the process; 0, or the Windows error code of the failed step.
DWORD DoGracefulTermination(DWORD pid);
// The process id argument of the terminate mode: leading decimal digits; 0 when there are none or the number does
// not fit a process id.
DWORD parseTerminatePid(const char *text);
