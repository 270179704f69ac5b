// pnputil.exe of the emulated machine, on the machine's driver store: `/add-driver <inf> [/install]` publishes the
// package as oemN.inf (and installs it on the present devices it matches), `/enum-drivers` lists the published
// packages. Exit codes as Windows documents them: 0, ERROR_NO_MORE_ITEMS (259) when /install updated no device,
// ERROR_SUCCESS_REBOOT_REQUIRED (3010), otherwise the Windows error of the failure (ERROR_ACCESS_DENIED, 5, for
// /add-driver without administrator rights).
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>
#include <strings.h>
#include <vector>

#include "emu/account.h"
#include "emu/devices.h"
#include "emu/emu.h"

namespace {

bool is(const std::string &arg, const char *name) {
  return (arg[0] == '/' || arg[0] == '-') && strcasecmp(arg.c_str() + 1, name) == 0;
}

void line(const char *label, const std::string &value) { std::printf("%-20s%s\n", label, value.c_str()); }

const char *errorText(DWORD rc) {
  switch (rc) {
  case ERROR_FILE_NOT_FOUND:
    return "The system cannot find the file specified.";
  case ERROR_GENERAL_SYNTAX:
    return "The syntax of the INF is invalid.";
  default:
    return "The driver package could not be added.";
  }
}

int usage() {
  std::printf("Microsoft PnP Utility\n\n"
              "PNPUTIL [/add-driver <...> | /enum-drivers | /?]\n\n"
              "Commands:\n\n"
              "  /add-driver <filename.inf> [/install]\n\n"
              "    Add driver package into the driver store.\n"
              "      /install - install/update drivers on any matching devices.\n\n"
              "  /enum-drivers\n\n"
              "    Enumerate all 3rd party driver packages in the driver store.\n");
  return 0;
}

int addDriver(const std::string &inf, bool install) {
  std::printf("Microsoft PnP Utility\n\n");
  // The driver store is for administrators only; listing it is open to everyone.
  if (!emu::currentIsAdministrator()) {
    std::printf("Access is denied.\n");
    return ERROR_ACCESS_DENIED;
  }
  std::string base = inf.substr(inf.find_last_of("\\/") + 1);
  std::printf("Adding driver package:  %s\n", base.c_str());
  std::string published;
  bool existed = false;
  DWORD rc = emu::dev::addDriverPackage(inf, &published, &existed);
  if (rc) {
    std::printf("Failed to add driver package: %s\n\nTotal driver packages:  1\nAdded driver packages:  0\n",
                errorText(rc));
    return static_cast<int>(rc);
  }
  std::printf("Driver package added successfully.%s\n", existed ? " (Already exists in the system)" : "");
  std::printf("Published Name:         %s\n", published.c_str());
  int exitCode = 0;
  if (install) {
    unsigned installed = 0;
    bool reboot = false;
    rc = emu::dev::installDriverPackage(published, false, &installed, &reboot);
    if (rc == ERROR_NO_MORE_ITEMS) {
      std::printf("Driver package is up-to-date on device or no matching devices found.\n");
      exitCode = ERROR_NO_MORE_ITEMS;
    } else if (rc) {
      std::printf("Failed to install driver package on matching devices.\n");
      exitCode = static_cast<int>(rc);
    } else {
      std::printf("Driver package installed on matching devices.\n");
      if (reboot) {
        std::printf("System reboot is needed to complete install operations!\n");
        exitCode = ERROR_SUCCESS_REBOOT_REQUIRED;
      }
    }
  }
  std::printf("\nTotal driver packages:  1\nAdded driver packages:  1\n");
  return exitCode;
}

int enumDrivers() {
  std::printf("Microsoft PnP Utility\n\n");
  for (const emu::dev::DriverPackageInfo &p : emu::dev::driverPackages()) {
    line("Published Name:", p.publishedName);
    line("Original Name:", p.originalName);
    line("Provider Name:", p.provider);
    line("Class Name:", p.className);
    line("Class GUID:", emu::dev::guidText(p.classGuid));
    line("Driver Version:", p.date + " " + p.version);
    std::printf("\n");
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || is(args[0], "?")) return usage();
  if (is(args[0], "enum-drivers") && args.size() == 1) return enumDrivers();
  if (is(args[0], "add-driver") && args.size() >= 2 && !is(args[1], "install")) {
    bool install = false;
    for (size_t i = 2; i < args.size(); ++i) {
      if (!is(args[i], "install")) {
        std::printf("Invalid argument: %s\n", args[i].c_str());
        return ERROR_INVALID_PARAMETER;
      }
      install = true;
    }
    return addDriver(args[1], install);
  }
  std::printf("Microsoft PnP Utility\n\nInvalid command or argument. Use /? for help.\n");
  return ERROR_INVALID_PARAMETER;
}
