#include "testenv.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#ifndef _WIN32
#include "emu/emu.h"
#endif

namespace testenv {

namespace fs = std::filesystem;

namespace {
std::string g_root, g_temp;

// Paths here are UTF-8 on both platforms; on Windows a path made from a plain string would be read in the ANSI code
// page, so every one goes through u8path (the wide calls underneath).
fs::path hostPath(const std::string &utf8) { return fs::u8path(utf8); }
} // namespace

void setUp(const std::string &base) {
  g_root = base + "/root";
  g_temp = base + "/tmp";
  std::error_code ignored; // a folder that cannot be made fails the first test that writes into it
  fs::create_directories(hostPath(g_root), ignored);
  fs::create_directories(hostPath(g_temp), ignored);
#ifndef _WIN32
  // A real machine has no root of its own: on Windows the temp folder alone is the test's.
  setenv("WIN32_ROOT", g_root.c_str(), 1);
  setenv("TMPDIR", g_temp.c_str(), 1);
  emu::resetMachineRoot();
#endif
}

const std::string &root() { return g_root; }
const std::string &tempDir() { return g_temp; }

std::string binDir() {
  const char *dir = std::getenv("BV_BIN_DIR");
  return dir ? dir : ".";
}

std::string readFile(const std::string &path) {
  std::ifstream in(hostPath(path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string &path, const std::string &contents) {
  std::ofstream out(hostPath(path), std::ios::binary | std::ios::trunc);
  out << contents;
}

std::vector<std::string> readLogLines(const std::string &folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(hostPath(folder), error), end; !error && it != end; it.increment(error)) {
    const fs::path &file = it->path();
    if (file.extension() == ".xlog") files.push_back(folder + "/" + file.filename().u8string());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const auto &f : files) {
    std::istringstream in(readFile(f));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

} // namespace testenv
