// Hold points of the emulated machine, for tests. Product code never includes this header.
//
// A test stops one thread of a program at a chosen call, to drive an order of events that timing alone would leave
// to chance. $WIN32_HOLD = "Point[,Point2...]" (inherited by the processes the machine starts), each point
// "Name[:detail][@nth]": the nth time (default 1) a process passes `Name` with that detail (any detail when none is
// given), the calling thread creates <root>/kernel/holds/<Name[:detail]> and waits until the test removes it.
// A test names the exact call by its detail, so that another call of the same function before it moves nothing.
// Points and their details:
//   WaitForSingleObject   on entry; the time-out as passed, in decimal ("3000", "20000"; INFINITE is "4294967295")
//   GetExitCodeProcess    on entry; the file name of the process's program ("BrimvaultServer.exe")
//   HandlerEx             before the dispatcher calls a control handler; the control code in decimal ("1" is stop)
// Example: "WaitForSingleObject:20000@2" holds at the second wait of 20000 ms, whatever waits came before.
#pragma once

#include <string>

#include "bvwin/base.h"

namespace emu {

// Used by the stand-in where a point is.
void holdPoint(const char *name, const std::string &detail = std::string());

// Until some process is held at `point` ("Name" or "Name:detail", as written in $WIN32_HOLD without "@nth"; real
// milliseconds); false on time-out.
bool waitUntilHeld(const std::string &point, DWORD timeoutMs);
// Lets the held thread go on.
void releaseHold(const std::string &point);

} // namespace emu
