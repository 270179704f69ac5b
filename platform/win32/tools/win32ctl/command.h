// A win32ctl command registers itself from its own source file:
//   static win32ctl::Command reg("reg-get", "reg-get <key> <value>  read a registry value", &regGet);
#pragma once

#include <string>
#include <vector>

namespace win32ctl {

using Args = std::vector<std::string>;
// Returns the process exit code; prints results on stdout and errors on stderr.
using Handler = int (*)(const Args &args);

struct Command {
  Command(const char *name, const char *usage, Handler handler);
};

} // namespace win32ctl
