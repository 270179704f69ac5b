// Per-process test environment: a fresh machine root and socket folder, and helpers to read logs.
#pragma once

#include <string>
#include <vector>

namespace testenv {

// The machine root and temp folder made for this test process (WIN32_ROOT and TMPDIR point at them).
const std::string &root();
const std::string &tempDir();
// Folder of the built programs (BrimvaultService, BrimvaultServer.exe, WindowShepherd, win32ctl).
std::string binDir();

// Lines of every .xlog file in a host folder, oldest file first.
std::vector<std::string> readLogLines(const std::string &hostFolder);
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &contents);

} // namespace testenv
