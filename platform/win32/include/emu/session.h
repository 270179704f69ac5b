// Sessions of the emulated machine, for tests, tools and the stand-in. Product code never includes this header.
#pragma once

#include "bvwin/base.h"

namespace emu {

constexpr DWORD kNoSession = 0xFFFFFFFF;

// The session attached to the physical console: machine state under the root (default 1), kNoSession when none.
DWORD activeConsoleSession();
void setActiveConsoleSession(DWORD session);

// The session of this process: inherited from the creator ($WIN32_SESSION_ID, default 1 for a process started
// outside the machine), or the token's session for CreateProcessAsUserW. Changing it affects the processes this
// process creates from then on (a service control manager runs its services in session 0).
DWORD currentSessionId();
void setCurrentSessionId(DWORD session);

} // namespace emu
