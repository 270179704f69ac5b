// Test main: a fresh machine root and temp folder per test process, removed afterwards unless the test failed.
//
// Nothing a test starts outlives it, passed, failed or crashed: the program's first process only keeps watch. It
// is the child subreaper of everything below it, runs the tests in a child, reaps what is orphaned meanwhile, and
// when the tests end ends what is left (what broke away from a job, a service's controller, a stray sleeper), so a
// failure shows at once and not as a time-out of ctest waiting on a pipe the stray still holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "testenv.h"

namespace testenv {
void setUp(const std::string &base);
}

namespace {

volatile sig_atomic_t g_stopSignal = 0;
void onStop(int sig) { g_stopSignal = sig; }

// Every process below this one, by the parent links of /proc.
std::vector<pid_t> descendants() {
  std::map<pid_t, std::vector<pid_t>> children;
  if (DIR *d = opendir("/proc")) {
    while (dirent *e = readdir(d)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0) continue;
      const std::string stat = testenv::readFile("/proc/" + std::to_string(pid) + "/stat");
      const size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      int parent = 0;
      if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1) children[parent].push_back(pid);
    }
    closedir(d);
  }
  std::vector<pid_t> out{getpid()};
  for (size_t i = 0; i < out.size(); ++i) {
    for (pid_t c : children[out[i]]) out.push_back(c);
  }
  out.erase(out.begin());
  return out;
}

// Kills everything below this process and reaps it: orphans come here, so once no child is left nothing is.
void endEverythingLeft() {
  for (;;) {
    for (pid_t pid : descendants()) kill(pid, SIGKILL);
    pid_t reaped;
    while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
    }
    if (reaped < 0 && errno == ECHILD) return;
    usleep(1000);
  }
}

// The tests, in this process's child.
int runTests(int argc, char **argv, const std::string &base) {
  ::testing::InitGoogleTest(&argc, argv);
  testenv::setUp(base);
  return RUN_ALL_TESTS();
}

} // namespace

int main(int argc, char **argv) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bvtest.XXXXXX";
  char *base = mkdtemp(pattern.data());
  if (!base) return 2;
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return 2;
  struct sigaction sa {};
  sa.sa_handler = onStop;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  const pid_t tests = fork();
  if (tests < 0) return 2;
  if (tests == 0) {
    sa.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGKILL); // the watch is gone: so are the tests
    std::exit(runTests(argc, argv, base)); // exit, not _exit: the leak check and exit records run
  }

  int status = 0;
  for (;;) {
    int st = 0;
    const pid_t reaped = waitpid(-1, &st, 0);
    if (reaped == tests) {
      status = st;
      break;
    }
    if (reaped < 0 && errno == EINTR && g_stopSignal) break;
  }
  endEverythingLeft();
  if (g_stopSignal) { // stopped from outside: everything is gone, this process goes the same way
    signal(g_stopSignal, SIG_DFL);
    raise(g_stopSignal);
  }
  if (WIFSIGNALED(status)) { // a crash shows as the same crash
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
    _exit(128 + WTERMSIG(status));
  }
  const int rc = WEXITSTATUS(status);
  if (rc == 0 && !std::getenv("BV_KEEP_TEST_ROOT")) {
    // Nothing of the machine runs any more, so nothing writes into the root while it goes.
    std::string cmd = std::string("rm -rf '") + base + "'";
    if (std::system(cmd.c_str()) != 0) _exit(3);
  }
  _exit(rc);
}
