// The shell's record of the requests it was given, for tests. Product code never includes this header.
#pragma once

#include <string>
#include <vector>

#include "bvwin/base.h"

namespace emu {

// One ShellExecuteExW call of this process, as it was asked and how it ended.
struct ShellRequest {
  std::string verb; // as given; empty for none
  std::string file;
  std::string parameters;
  std::string directory;
  int show = 0;
  DWORD mask = 0;
  DWORD error = 0; // 0 when a process was started
  DWORD pid = 0;   // the started process
  bool elevated = false;
};

// Requests of this process in call order.
std::vector<ShellRequest> shellRequests();
void clearShellRequests();

} // namespace emu
