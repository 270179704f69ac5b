#include "testenv.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "emu/emu.h"
#endif

namespace testenv {

namespace {
std::string g_root, g_temp;
}

void setUp(const std::string &base) {
  g_root = base + "/root";
  g_temp = base + "/tmp";
#ifdef _WIN32
  // A real machine has no root of its own: the temp folder alone is the test's.
  CreateDirectoryA(g_root.c_str(), nullptr);
  CreateDirectoryA(g_temp.c_str(), nullptr);
#else
  mkdir(g_root.c_str(), 0777);
  mkdir(g_temp.c_str(), 0777);
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
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::vector<std::string> readLogLines(const std::string &folder) {
  std::vector<std::string> files;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".xlog") == 0) files.push_back(folder + "/" + name);
    }
    closedir(d);
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
