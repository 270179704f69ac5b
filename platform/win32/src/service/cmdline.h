// Windows command lines for the control manager: the binary path of a service entry is one.
#pragma once

#include <string>
#include <vector>

namespace emu {
namespace cmdline {

// Splits a command line as Windows programs do: the program token ends at the next blank, or at the closing quote
// when it starts with one; in the arguments 2n backslashes before a quote give n and toggle quoting, 2n+1 give n and
// a literal quote, and "" inside quotes is a literal quote.
std::vector<std::string> split(const std::string &commandLine);

// Host path of a Windows program path that can be run, trying it without or with ".exe"; empty when none can.
std::string resolveProgram(const std::string &windowsPath);

} // namespace cmdline
} // namespace emu
