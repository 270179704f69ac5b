// The registry as several processes of one machine see it.
#include <gtest/gtest.h>

#include <windows.h>

#include <QProcess>
#include <QStringList>

#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "emu/emu.h"
#include "emu/registry.h"
#include "testenv.h"

namespace {

struct Ctl {
  int exitCode = -1;
  std::string out;
};

Ctl win32ctl(const QStringList &args) {
  QProcess p;
  p.start(QString::fromStdString(testenv::binDir() + "/win32ctl"), args);
  Ctl r;
  if (!p.waitForFinished(30000)) return r;
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput().toStdString();
  return r;
}

// win32ctl is a process of its own: each side sees what the other wrote.
TEST(RegistryProcesses, Win32ctlReadsAndWritesTheSameValuesAsTheCalls) {
  DWORD v = 0x40010004;
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ctl", u"exitCode", REG_DWORD, &v, 4), ERROR_SUCCESS);
  Ctl get = win32ctl({"reg-get", "HKEY_LOCAL_MACHINE\\software\\ctl", "EXITCODE"});
  EXPECT_EQ(get.exitCode, 0);
  EXPECT_EQ(get.out, "1073807364\n");

  ASSERT_EQ(win32ctl({"reg-set", "HKLM\\SOFTWARE\\Ctl", "name", "REG_SZ", "caf\xc3\xa9"}).exitCode, 0);
  ASSERT_EQ(win32ctl({"reg-set", "HKLM\\SOFTWARE\\Ctl", "list", "REG_MULTI_SZ", "a", "b c"}).exitCode, 0);
  char16_t text[16] = {};
  DWORD size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ctl", u"name", RRF_RT_REG_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text, size / 2), std::u16string(u"caf\u00e9\0", 5));
  size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ctl", u"list", RRF_RT_REG_MULTI_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text, size / 2), std::u16string(u"a\0b c\0\0", 7));
  EXPECT_EQ(win32ctl({"reg-get", "HKLM\\SOFTWARE\\Ctl", "missing"}).exitCode, 1);
  EXPECT_EQ(win32ctl({"reg-set", "HKLM\\SOFTWARE\\Ctl", "big", "REG_DWORD", "4294967296"}).exitCode, 2);
  EXPECT_FALSE(emu::regGetValue("HKLM\\SOFTWARE\\Ctl", "big"));
}

// Writers in several processes at once: a reader only ever sees one writer's whole value, and no writer's value
// is lost to another's read-modify-write of the file.
TEST(RegistryProcesses, ConcurrentWritersNeitherTearAValueNorLoseEachOthersValues) {
  constexpr int kWriters = 4, kRounds = 60;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::vector<unsigned char> data(1000 + 517 * w, static_cast<unsigned char>(w + 1));
      for (int n = 0; n < kRounds; ++n) {
        if (RegSetKeyValueW(HKEY_CURRENT_USER, u"Concurrent", u"shared", REG_BINARY, data.data(),
                            static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
          _exit(3);
        const std::u16string name = emu::toUtf16("w" + std::to_string(w) + "_" + std::to_string(n));
        DWORD v = static_cast<DWORD>(n);
        if (RegSetKeyValueW(HKEY_CURRENT_USER, u"Concurrent", name.c_str(), REG_DWORD, &v, 4) != ERROR_SUCCESS)
          _exit(4);
      }
      _exit(0);
    }
    pids.push_back(pid);
  }

  int reads = 0, torn = 0;
  std::vector<int> exits(kWriters, -1);
  std::vector<unsigned char> buf(8192);
  for (;;) {
    bool running = false;
    for (int w = 0; w < kWriters; ++w) {
      int status = 0;
      if (exits[w] != -1) continue;
      if (waitpid(pids[w], &status, WNOHANG) == pids[w])
        exits[w] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      else
        running = true;
    }
    DWORD size = static_cast<DWORD>(buf.size());
    if (RegGetValueW(HKEY_CURRENT_USER, u"Concurrent", u"shared", RRF_RT_REG_BINARY, nullptr, buf.data(), &size) ==
        ERROR_SUCCESS) {
      ++reads;
      const int w = buf[0] - 1;
      bool whole = w >= 0 && w < kWriters && size == static_cast<DWORD>(1000 + 517 * w);
      for (DWORD i = 0; whole && i < size; ++i) whole = buf[i] == buf[0];
      if (!whole) ++torn;
    }
    if (!running) break;
  }
  EXPECT_EQ(exits, std::vector<int>(kWriters, 0));
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
  auto names = emu::regValueNames("HKCU\\Concurrent");
  EXPECT_EQ(names.size(), static_cast<size_t>(1 + kWriters * kRounds));
  for (int w = 0; w < kWriters; ++w) {
    for (int n = 0; n < kRounds; ++n) {
      const std::string name = "w" + std::to_string(w) + "_" + std::to_string(n);
      EXPECT_EQ(emu::regGetDword("HKCU\\Concurrent", name), static_cast<DWORD>(n)) << name;
    }
  }
}

} // namespace
