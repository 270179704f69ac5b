// Hold points of the emulated machine, for tests. Product code never includes this header.
//
// A test stops one thread of a program at a chosen call, to drive an order of events that timing alone would leave
// to chance. $WIN32_HOLD = "Name@nth[,Name2@nth2]" (inherited by the processes the machine starts): the nth time a
// process passes the point `Name`, the calling thread creates <root>/kernel/holds/<Name> and waits until the test
// removes it. Points: "GetExitCodeProcess" and "WaitForSingleObject" (on entry), "HandlerEx" (before the
// dispatcher calls a control handler).
#pragma once

#include <string>

#include "bvwin/base.h"

namespace emu {

// Used by the stand-in where a point is.
void holdPoint(const char *name);

// Until some process is held at `name` (real milliseconds); false on time-out.
bool waitUntilHeld(const std::string &name, DWORD timeoutMs);
// Lets the held thread go on.
void releaseHold(const std::string &name);

} // namespace emu
