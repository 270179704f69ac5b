// Every process of the machine records the full exit code it ends with, for the reaper of its creator.
// The build links this file into every program of the stand-in (see tools/kernel32/CMakeLists.txt).
// It also binds libkernel32.so to this program, so a run-time look-up of kernel32 finds the stand-in.
#include "process/process_internal.h"
#include "process/proctable.h"
#include "emu/emu.h"

#include <cstdlib>
#include <string>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" void bvwinProcessAttach(void) {}
// In libkernel32.so: the run-time look-up of kernel32 calls lands on this program's stand-in.
extern "C" void bvwinKernel32Bind(BOOL(WINAPI *processIdToSessionId)(DWORD, DWORD *));

namespace emu {
BOOL WINAPI processIdToSessionId(DWORD dwProcessId, DWORD *pSessionId); // session.cpp
} // namespace emu

namespace {

void recordOnExit(int status, void *) {
  const char *root = std::getenv("WIN32_ROOT");
  if (!root) return; // not a process of an emulated machine
  // A machine that was removed (a finished test) is not made again just to hold this record.
  struct stat st;
  if (stat(root, &st) != 0) return;
  const DWORD code = emu::proc::recordOwnExit(static_cast<DWORD>(status));
  // A terminator recorded its code first: end with it, so the parent's wait agrees with the record.
  if (code != static_cast<DWORD>(status)) _exit(static_cast<int>(code & 0xFF));
}

// Before any other code of the program: the machine records a new process whole before the process runs.
struct GateWait {
  GateWait() { emu::proc::passGate(); }
} g_gate __attribute__((init_priority(101)));

struct Attach {
  Attach() {
    // Started again as the keeper of a job (job.cpp): that is all this process does.
    if (int fd = emu::proc::jobKeeperSocket(); fd >= 0) emu::proc::runJobKeeper(fd);
    on_exit(recordOnExit, nullptr);
    if (const char *ctrlC = std::getenv("WIN32_CTRL_C"); ctrlC && std::string(ctrlC) == "off") {
      emu::proc::startWithCtrlCIgnored();
    }
    bvwinKernel32Bind(&emu::processIdToSessionId);
  }
} g_attach;

} // namespace
