// A small state file of one stand-in area under the machine root, shared by every process of the machine: readers
// take the bytes as they are (the file is only ever replaced whole); writers change them under an flock'd lock.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace emu {

// The file's bytes (<root>/<relative>); false when there is no such file yet.
bool readStateFile(const std::string &relative, std::string *bytes);
// Runs `change` on the current bytes (`exists` false for a new file) under the file's writer lock and stores them
// by temp file and rename when it returns 0 and set `changed`. Returns what `change` returned, or ERROR_CANTWRITE.
DWORD updateStateFile(const std::string &relative,
                      const std::function<DWORD(std::string &bytes, bool exists, bool &changed)> &change);

} // namespace emu
