#include "fixture.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

#include "testenv.h"

bool sameRect(const RECT &a, const RECT &b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string rectText(const RECT &r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

void DesktopFixture::SetUpTestSuite() {
  static int argc = 1;
  static char name[] = "placement_tests";
  static char *argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  emu::setTimeScale(0.01); // the program's 5 ms and 100 ms pauses
}

void DesktopFixture::SetUp() {
  dt::reset();
  dt::clearMonitors();
  left = dt::addMonitor({{0, 0, 1920, 1080}, {0, 0, 1920, 1040}, 96, true});
  right = dt::addMonitor({{1920, 0, 3840, 1080}, {1920, 0, 3840, 1040}, 96, false});
  dt::setCursor(POINT{2500, 500});
  emu::clearFailures();
  dt::clearOnCall();
  emu::clearCallJournal();
}

void DesktopFixture::TearDown() {
  for (HANDLE p : processes_) {
    TerminateProcess(p, 0);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
  }
  emu::clearFailures();
  dt::clearOnCall();
}

dt::WindowSpec DesktopFixture::movable() {
  dt::WindowSpec w;
  w.pid = dt::madeUpPid(4000); // no live process: an empty path, excluded by nothing
  w.className = "EditorWindow";
  w.title = u"Document - Editor";
  w.style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
  w.rect = RECT{100, 100, 900, 700};
  return w;
}

int DesktopFixture::calls(const char *name) {
  const auto journal = emu::callJournal();
  return static_cast<int>(std::count(journal.begin(), journal.end(), std::string(name)));
}

DWORD DesktopFixture::startProcessAt(const std::string &windowsPath) {
  const std::string host = emu::hostPath(windowsPath);
  const std::string dir = host.substr(0, host.rfind('/'));
  std::string cmd = "mkdir -p '" + dir + "' && cp /bin/sleep '" + host + "'";
  if (std::system(cmd.c_str()) != 0) return 0;
  std::u16string app = emu::toUtf16(windowsPath);
  std::u16string line = u"\"" + app + u"\" 60";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(app.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0;
  CloseHandle(pi.hThread);
  processes_.push_back(pi.hProcess);
  return pi.dwProcessId;
}
