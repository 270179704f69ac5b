// cmd.exe of the emulated machine. It carries out `/c timeout /t N /nobreak & "program"`: waits N seconds on the
// machine's time scale, then starts the program and ends without waiting for it. Anything else is refused with a
// message and a nonzero exit code.
#include <windows.h>

#include "emu/emu.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <strings.h>
#include <vector>

namespace {

constexpr int kNotUnderstood = 1;
constexpr int kNotRecognized = 9009; // cmd's code for a command it cannot find

bool same(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

int refuse(const std::string &what) {
  std::fprintf(stderr, "cmd.exe (stand-in): not understood: %s\n"
                       "Only /c timeout /t <seconds> /nobreak & \"<program>\" is carried out.\n",
               what.c_str());
  return kNotUnderstood;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string line;
  for (const auto &a : args) line += (line.empty() ? "" : " ") + a;
  if (args.size() != 7 || !same(args[0], "/c") || !same(args[1], "timeout") || !same(args[2], "/t") ||
      !same(args[4], "/nobreak") || args[5] != "&")
    return refuse(line);
  char *end = nullptr;
  const long seconds = std::strtol(args[3].c_str(), &end, 10);
  if (end == args[3].c_str() || *end || seconds < 0 || seconds > 99999) return refuse(line); // -1 waits for a key
  const std::string &program = args[6];
  if (program.empty() || program.find_first_of("%\"") != std::string::npos) return refuse(line);

  Sleep(static_cast<DWORD>(seconds) * 1000); // Sleep follows the machine's time scale

  std::u16string command = u"\"" + emu::toUtf16(program) + u"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "'%s' is not recognized as an internal or external command,\n"
                         "operable program or batch file.\n",
                 program.c_str());
    return kNotRecognized;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}
