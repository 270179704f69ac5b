// win32ctl: drives the emulated Windows machine named by WIN32_ROOT.
#include "command.h"

#include "emu/account.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace win32ctl {
namespace {
struct Entry {
  const char *usage;
  Handler handler;
};
std::map<std::string, Entry> &registry() {
  static std::map<std::string, Entry> commands;
  return commands;
}
} // namespace

Command::Command(const char *name, const char *usage, Handler handler) { registry()[name] = Entry{usage, handler}; }

} // namespace win32ctl

int main(int argc, char **argv) {
  auto &commands = win32ctl::registry();
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help")) {
    std::printf("usage: win32ctl <command> [args]   (machine root: $WIN32_ROOT)\n");
    for (const auto &c : commands) std::printf("  %s\n", c.second.usage);
    return argc < 2 ? 2 : 0;
  }
  auto it = commands.find(argv[1]);
  if (it == commands.end()) {
    std::fprintf(stderr, "win32ctl: unknown command '%s' (win32ctl help)\n", argv[1]);
    return 2;
  }
  // The machine's own command line acts as an administrator would: elevated, as the user it was started as.
  emu::Account admin = emu::currentAccount();
  admin.administrator = admin.elevated = true;
  emu::setOwnAccount(admin);
  return it->second.handler(win32ctl::Args(argv + 2, argv + argc));
}
