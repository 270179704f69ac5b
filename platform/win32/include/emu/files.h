// Files and folders of the emulated machine, for tests and tools: what the machine's processes told a debugger.
// Product code never includes this header.
#pragma once

#include <string>
#include <vector>

namespace emu::files {

// Lines "<pid> <text>" of every OutputDebugStringW call on this machine, oldest first.
std::vector<std::string> debugOutput();

} // namespace emu::files
