// Test main: a fresh machine root and temp folder per test process, removed afterwards unless the test failed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "testenv.h"

namespace testenv {
void setUp(const std::string &base);
}

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bvtest.XXXXXX";
  char *base = mkdtemp(pattern.data());
  if (!base) return 2;
  testenv::setUp(base);
  int rc = RUN_ALL_TESTS();
  if (rc == 0 && !std::getenv("BV_KEEP_TEST_ROOT")) {
    unsetenv("WIN32_ROOT"); // this process's own exit record must not bring the root back

    // A process of the machine that is just ending may still write its last record: try again for a while.
    std::string cmd = std::string("rm -rf '") + base + "' 2>/dev/null";
    int tries = 0;
    while (std::system(cmd.c_str()) != 0) {
      if (++tries == 50) return 3;
      usleep(100000);
    }
  }
  return rc;
}
