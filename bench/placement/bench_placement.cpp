// Window placement on an emulated desktop of four monitors:
//  - Callback: events per second that the hook callback classifies and places (each window is moved), with the time
//    spent inside the stand-in's desktop calls apart from the program's own time per event;
//  - ShowToPlacement: latency from a window's show event being raised to its new placement, through the hooks and
//    the Qt event loop (p50 and p99 in microseconds).
#include <benchmark/benchmark.h>

#include <windows.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../support/ratio.h"
#include "emu/desktop.h"
#include "emu/emu.h"
#include "movenewwindowtoactivatemonitor.h"
#include "signalcenter.h"
#include "windowmonitor.h"

namespace dt = emu::desktop;

namespace {

constexpr int kWindows = 256;

// Four monitors in a row, the cursor on the last; windows spread over the first three.
std::vector<HWND> setUpDesktop() {
  dt::reset();
  dt::clearMonitors();
  for (int i = 0; i < 4; ++i) {
    const LONG x = 1920 * i;
    dt::addMonitor({{x, 0, x + 1920, 1080}, {x, 0, x + 1920, 1040}, 96, i == 0});
  }
  dt::setCursor(POINT{3 * 1920 + 500, 500});
  std::vector<HWND> windows;
  for (int i = 0; i < kWindows; ++i) {
    dt::WindowSpec w;
    w.pid = 4000 + static_cast<DWORD>(i % 8);
    w.className = "BenchWindow";
    w.title = u"Document " + emu::toUtf16(std::to_string(i));
    const LONG x = 1920 * (i % 3) + 40 * (i % 20);
    w.rect = RECT{x, 100, x + 800, 700};
    windows.push_back(dt::createWindow(w));
  }
  return windows;
}

void sendBack(const std::vector<HWND> &windows) {
  for (size_t i = 0; i < windows.size(); ++i) {
    const LONG x = 1920 * static_cast<LONG>(i % 3) + 40 * static_cast<LONG>(i % 20);
    dt::setNormalRect(windows[i], RECT{x, 100, x + 800, 700});
  }
}

void Callback(benchmark::State &state) {
  std::vector<HWND> windows = setUpDesktop();
  size_t next = 0;
  const uint64_t desktopBefore = dt::callTimeNs();
  dt::measureCallTime(true);
  for (auto _ : state) {
    if (next == windows.size()) {
      state.PauseTiming();
      dt::measureCallTime(false);
      sendBack(windows);
      next = 0;
      dt::measureCallTime(true);
      state.ResumeTiming();
    }
    WinEventCallback(nullptr, EVENT_OBJECT_SHOW, windows[next++], OBJID_WINDOW, CHILDID_SELF, 0, 0);
  }
  dt::measureCallTime(false);
  const double events = static_cast<double>(state.iterations());
  state.counters["desktop_calls_us"] = static_cast<double>(dt::callTimeNs() - desktopBefore) / 1e3 / events;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  if (dt::windowState(windows[0]).monitor != dt::monitors()[3]) state.SkipWithError("windows were not moved");
}
BENCHMARK(Callback)->Unit(benchmark::kMicrosecond);

void ShowToPlacement(benchmark::State &state) {
  std::vector<HWND> windows = setUpDesktop();
  for (HWND w : windows) dt::hide(w);
  WindowMonitor monitor;
  monitor.initConnections();
  emit SignalCenter::instance()->startSig();
  dt::deliverPending();
  std::vector<double> micros;
  size_t next = 0;
  for (auto _ : state) {
    if (next == windows.size()) {
      state.PauseTiming();
      for (HWND w : windows) dt::hide(w);
      sendBack(windows);
      dt::deliverPending();
      next = 0;
      state.ResumeTiming();
    }
    HWND w = windows[next++];
    const uint64_t before = dt::placementCount();
    const auto start = std::chrono::steady_clock::now();
    dt::show(w);
    while (dt::placementCount() < before + 2) {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    const auto end = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(ShowToPlacement)->Unit(benchmark::kMicrosecond)->Iterations(2000);

} // namespace

int main(int argc, char **argv) {
  // A machine root of its own under $TMPDIR (the desktop's files live there: tmpfs or disk changes the figures),
  // removed afterwards.
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_placement.XXXXXX";
  const char *base = mkdtemp(&pattern[0]);
  if (!base) return 2;
  setenv("WIN32_ROOT", base, 1);
  emu::resetMachineRoot();
  QCoreApplication app(argc, argv);
  SignalCenter::createInstance(&app);
  benchratio::Reporter reporter;
  const bool ran = benchratio::run(&argc, argv, reporter);
  if (ran) {
    // The callback's time per event is the program's own work plus the stand-in's desktop calls it makes.
    const double perEventUs = reporter.seconds("Callback") * 1e6;
    const double desktopUs = reporter.counter("Callback", "desktop_calls_us");
    if (perEventUs >= 0 && desktopUs >= 0)
      std::printf("per event: %.3f us in all, %.3f us inside the stand-in's desktop calls, %.3f us the program's own\n",
                  perEventUs, desktopUs, perEventUs - desktopUs);
    benchratio::printRatio("program's own time / stand-in desktop calls, per event", perEventUs - desktopUs, desktopUs,
                           "us");
  }
  const std::string cleanup = std::string("rm -rf '") + base + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 3;
}
