// Processes of the emulated machine, for tests and tools. Product code never includes this header.
#pragma once

#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu {

// One live process of this machine root, as a process snapshot lists it.
struct ProcessRecord {
  DWORD pid = 0;
  DWORD parentPid = 0;
  DWORD sessionId = 0;
  std::string exeName;   // file name of the program, e.g. "BrimvaultServer.exe"
  std::string imagePath; // Windows form when the program lies under a mapped drive, else the host path
};

// Live processes of this machine root in creation order (this process included).
std::vector<ProcessRecord> listProcesses();

// Exit code a process of this machine recorded when it ended (exit(), return from main, ExitProcess,
// TerminateProcess). false when none is recorded for that pid.
bool recordedExitCode(DWORD pid, DWORD *code);

} // namespace emu
