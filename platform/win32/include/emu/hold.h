// Hold points and chaos of the emulated machine, for tests. Product code never includes this header.
//
// Hold points: a test stops one thread of a program at a chosen call, to drive an order of events that timing
// alone would leave to chance. $WIN32_HOLD = "Point[,Point2...]" (inherited by the processes the machine starts),
// each point "Name[:detail][@nth]": the nth time (default 1) a process passes `Name` with that detail (any detail
// when none is given), the calling thread creates <root>/kernel/holds/<Name[:detail]> and waits until the test
// removes it. A test names the exact call by its detail, so that another call of the same function before it moves
// nothing, and a point about a process names that one process, never its program alone: another process of the
// same program (a child of an earlier test that ends late) passes it with a detail of its own. A process is named
// "<program>:<pid>" (its program's file name and its pid); its creator also names it "<program>:#<n>", the nth
// process of that program the creator started, for a test that gives the points before the pid exists. Points and
// their details:
//   WaitForSingleObject   on entry; the time-out as passed, in decimal ("3000", "20000"; INFINITE is "4294967295")
//   GetExitCodeProcess    on entry; the process asked about ("BrimvaultServer.exe:4711", "BrimvaultServer.exe:#1")
//   HandlerEx             before the dispatcher calls a control handler; the control code in decimal ("1" is stop)
//   CreateProcess         in the creator, once the new process exists and before the machine has recorded it
//                         (CreateProcessW, CreateProcessAsUserW and the control manager's start of a service);
//                         "<program>:by:<creator's pid>" ("kernel_child:by:4711"): the new pid is not known to a
//                         test before the point is passed, the creator is, and "@nth" counts its creations
//   ProcessEntry          in a change of a process's table entry, between its reading and its writing; the pid
//   ProcessEnd            in the creator of a process that has ended, once its handles are signalled and before
//                         it is reaped; the process ("kernel_child:4711", "kernel_child:#2")
//   ProcessListed         in a listing of the process table, once a process's entry is read and before whether it
//                         runs is; the pid
//   TerminateProcess      in a terminator (TerminateProcess, TerminateJobObject) once the process was found running
//                         and before its exit code is recorded; the pid
//   ServiceQuery          in a query of a service's status, before its controller is asked whether it serves the
//                         run; the service name as given
// Example: "WaitForSingleObject:20000@2" holds at the second wait of 20000 ms, whatever waits came before.
//
// Chaos: $WIN32_CHAOS = "seed[:max-ms]" (also inherited) makes the order of events that a busy machine makes now and
// then happen on every run. At each chaos point (every hold point, the publication and the reading of state that
// other threads and processes share, a new process's creation and its start) the thread sleeps, at about one pass
// in eight, 1..max ms (default 20), drawn from the seed, the program's file name, the point and its count of passes
// in this process. Without the variable a point costs one look at a flag.
#pragma once

#include <string>

#include "bvwin/base.h"

namespace emu {

// Used by the stand-in where a point is; also a chaos point of the same name.
void holdPoint(const char *name, const std::string &detail = std::string());
// The same for a call with two details, either of which a point may name (a process by pid and by launch).
void holdPoint(const char *name, const std::string &detail, const std::string &otherDetail);

// This process's own points from now on, written as in $WIN32_HOLD, in place of those; what it starts still
// takes $WIN32_HOLD's. Passes count from zero.
void setHoldPoints(const std::string &points);
// Until some process is held at `point` ("Name" or "Name:detail", as written in $WIN32_HOLD without "@nth"; real
// milliseconds); false on time-out.
bool waitUntilHeld(const std::string &point, DWORD timeoutMs);
// Lets the held thread go on.
void releaseHold(const std::string &point);

// A chaos point: `name` is a literal naming the place ("proctable.write").
void chaosPoint(const char *name);

} // namespace emu
