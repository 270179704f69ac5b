// win32ctl commands of the emulated desktop: monitors, cursor, processes and other programs' windows.
#include "command.h"

#include <windows.h>

#include "emu/desktop.h"
#include "emu/emu.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using win32ctl::Args;
namespace dt = emu::desktop;

bool number(const std::string &text, long long &out) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  out = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && end && *end == 0;
}

bool rectAt(const Args &a, size_t i, RECT &r) {
  long long v[4];
  if (a.size() < i + 4) return false;
  for (int k = 0; k < 4; ++k)
    if (!number(a[i + k], v[k]) || v[k] < INT32_MIN || v[k] > INT32_MAX) return false;
  r = RECT{static_cast<LONG>(v[0]), static_cast<LONG>(v[1]), static_cast<LONG>(v[2]), static_cast<LONG>(v[3])};
  return true;
}

HWND handleOf(const std::string &text) {
  long long v = 0;
  return number(text, v) ? reinterpret_cast<HWND>(static_cast<uintptr_t>(v)) : nullptr;
}

std::string rectText(const RECT &r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom);
}

std::string hex(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

const char *showText(dt::Show s) {
  return s == dt::Show::Minimized ? "minimized" : s == dt::Show::Maximized ? "maximized" : "normal";
}

int usage(const char *text) {
  std::fprintf(stderr, "usage: %s\n", text);
  return 2;
}

int reset(const Args &) {
  dt::reset();
  return 0;
}

int monitorAdd(const Args &a) {
  const char *u = "monitor-add <l> <t> <r> <b> [work <l> <t> <r> <b>] [dpi <n>] [primary]";
  dt::MonitorSpec m;
  if (!rectAt(a, 0, m.monitor)) return usage(u);
  m.work = m.monitor;
  for (size_t i = 4; i < a.size(); ++i) {
    long long v = 0;
    if (a[i] == "work" && rectAt(a, i + 1, m.work)) {
      i += 4;
    } else if (a[i] == "dpi" && i + 1 < a.size() && number(a[i + 1], v) && v > 0 && v < 10000) {
      m.dpi = static_cast<UINT>(v);
      ++i;
    } else if (a[i] == "primary") {
      m.primary = true;
    } else {
      return usage(u);
    }
  }
  std::printf("%s\n", hex(dt::addMonitor(m)).c_str());
  return 0;
}

int monitorClear(const Args &) {
  dt::clearMonitors();
  return 0;
}

int monitorList(const Args &) {
  for (HMONITOR h : dt::monitors()) {
    MONITORINFOEXW info{};
    info.cbSize = sizeof(info);
    UINT dx = 0, dy = 0;
    if (!GetMonitorInfoW(h, &info)) continue;
    GetDpiForMonitor(h, MDT_EFFECTIVE_DPI, &dx, &dy);
    std::printf("monitor=%s rect=%s work=%s dpi=%u primary=%d\n", hex(h).c_str(), rectText(info.rcMonitor).c_str(),
                rectText(info.rcWork).c_str(), dx, (info.dwFlags & MONITORINFOF_PRIMARY) ? 1 : 0);
  }
  return 0;
}

int cursor(const Args &a) {
  if (a.empty()) {
    POINT p = dt::cursor();
    std::printf("%ld,%ld\n", static_cast<long>(p.x), static_cast<long>(p.y));
    return 0;
  }
  long long x = 0, y = 0;
  if (a.size() != 2 || !number(a[0], x) || !number(a[1], y)) return usage("cursor [<x> <y>]");
  dt::setCursor(POINT{static_cast<LONG>(x), static_cast<LONG>(y)});
  return 0;
}

int processAdd(const Args &a) {
  long long pid = 0;
  if (a.size() < 2 || a.size() > 3 || !number(a[0], pid) || pid <= 0 || pid > 0xFFFFFFFFll ||
      (a.size() == 3 && a[2] != "elevated"))
    return usage("process-add <pid> <windows-path> [elevated]");
  dt::ProcessSpec p;
  p.pid = static_cast<DWORD>(pid);
  p.imagePath = emu::toUtf16(a[1]);
  p.elevated = a.size() == 3;
  dt::addProcess(p);
  return 0;
}

int windowCreate(const Args &a) {
  const char *u = "window-create <pid> <l> <t> <r> <b> [class <name>] [title <text>] [style <n>] [exstyle <n>] "
                  "[owner <hwnd>] [parent <hwnd>] [hidden] [cloaked] [minimized|maximized] [awareness <-1..-5>]";
  dt::WindowSpec w;
  long long v = 0;
  if (a.empty() || !number(a[0], v) || v < 0 || v > 0xFFFFFFFFll || !rectAt(a, 1, w.rect)) return usage(u);
  w.pid = static_cast<DWORD>(v);
  bool hidden = false;
  for (size_t i = 5; i < a.size(); ++i) {
    const std::string &k = a[i];
    const bool hasValue = i + 1 < a.size();
    if (k == "class" && hasValue) {
      w.className = a[++i];
    } else if (k == "title" && hasValue) {
      w.title = emu::toUtf16(a[++i]);
    } else if ((k == "style" || k == "exstyle") && hasValue && number(a[i + 1], v) && v >= 0 && v <= 0xFFFFFFFFll) {
      (k == "style" ? w.style : w.exStyle) = static_cast<DWORD>(v);
      ++i;
    } else if ((k == "owner" || k == "parent") && hasValue && handleOf(a[i + 1])) {
      (k == "owner" ? w.owner : w.parent) = handleOf(a[++i]);
    } else if (k == "hidden") {
      hidden = true;
    } else if (k == "cloaked") {
      w.cloaked = true;
    } else if (k == "minimized") {
      w.show = dt::Show::Minimized;
    } else if (k == "maximized") {
      w.show = dt::Show::Maximized;
    } else if (k == "awareness" && hasValue && number(a[i + 1], v) && v >= -5 && v <= -1) {
      w.dpiAwareness = reinterpret_cast<DPI_AWARENESS_CONTEXT>(static_cast<intptr_t>(v));
      ++i;
    } else {
      return usage(u);
    }
  }
  if (hidden) w.style &= ~static_cast<DWORD>(WS_VISIBLE);
  HWND h = dt::createWindow(w);
  if (!h) {
    std::fprintf(stderr, "win32ctl: no such owner or parent window\n");
    return 1;
  }
  std::printf("%s\n", hex(h).c_str());
  return 0;
}

int windowAction(const Args &a, bool (*action)(HWND), const char *u) {
  if (a.size() != 1 || !handleOf(a[0])) return usage(u);
  if (!action(handleOf(a[0]))) {
    std::fprintf(stderr, "win32ctl: no window %s\n", a[0].c_str());
    return 1;
  }
  return 0;
}

int windowShow(const Args &a) { return windowAction(a, dt::show, "window-show <hwnd>"); }
int windowHide(const Args &a) { return windowAction(a, dt::hide, "window-hide <hwnd>"); }
int windowMinimize(const Args &a) { return windowAction(a, dt::minimize, "window-minimize <hwnd>"); }
int windowMaximize(const Args &a) { return windowAction(a, dt::maximize, "window-maximize <hwnd>"); }
int windowRestore(const Args &a) { return windowAction(a, dt::restore, "window-restore <hwnd>"); }
int windowCloak(const Args &a) { return windowAction(a, dt::cloak, "window-cloak <hwnd>"); }
int windowUncloak(const Args &a) { return windowAction(a, dt::uncloak, "window-uncloak <hwnd>"); }
int windowDestroy(const Args &a) { return windowAction(a, dt::destroy, "window-destroy <hwnd>"); }

int windowGet(const Args &a) {
  if (a.size() != 1 || !handleOf(a[0])) return usage("window-get <hwnd>");
  HWND h = handleOf(a[0]);
  dt::WindowState s = dt::windowState(h);
  if (!s.exists) {
    std::fprintf(stderr, "win32ctl: no window %s\n", a[0].c_str());
    return 1;
  }
  std::printf("hwnd=%s\npid=%lu\nstyle=0x%08lx\nshow=%s\nvisible=%d\ncloaked=%d\n", hex(h).c_str(),
              static_cast<unsigned long>(s.pid), static_cast<unsigned long>(s.style), showText(s.show),
              s.visible ? 1 : 0, s.cloaked ? 1 : 0);
  std::printf("rect=%s\nnormal=%s\nmonitor=%s\n", rectText(s.windowRect).c_str(), rectText(s.normal).c_str(),
              hex(s.monitor).c_str());
  std::printf("placement.showCmd=%u\nplacement.flags=%u\nplacement.rcNormalPosition=%s\nplacements=%zu\n",
              s.placement.showCmd, s.placement.flags, rectText(s.placement.rcNormalPosition).c_str(),
              dt::placementsOf(h).size());
  return 0;
}

int windowList(const Args &) {
  for (HWND h : dt::windows()) {
    dt::WindowState s = dt::windowState(h);
    std::printf("%s pid=%lu show=%s visible=%d rect=%s\n", hex(h).c_str(), static_cast<unsigned long>(s.pid),
                showText(s.show), s.visible ? 1 : 0, rectText(s.windowRect).c_str());
  }
  return 0;
}

int placementList(const Args &a) {
  if (a.size() > 1 || (a.size() == 1 && !handleOf(a[0]))) return usage("placements [<hwnd>]");
  auto list = a.empty() ? dt::placements() : dt::placementsOf(handleOf(a[0]));
  for (const auto &p : list) {
    std::printf("%s showCmd=%u flags=%u rcNormalPosition=%s normal=%s show=%s visible=%d\n", hex(p.hwnd).c_str(),
                p.showCmd, p.flags, rectText(p.rcNormalPosition).c_str(), rectText(p.normalAfter).c_str(),
                showText(p.showAfter), p.visibleAfter ? 1 : 0);
  }
  return 0;
}

int eventInject(const Args &a) {
  long long ev = 0, obj = 0, child = 0, pid = 0;
  if (a.size() < 2 || a.size() > 5 || !number(a[0], ev) || !handleOf(a[1]) ||
      (a.size() > 2 && !number(a[2], obj)) || (a.size() > 3 && !number(a[3], child)) ||
      (a.size() > 4 && !number(a[4], pid)))
    return usage("event-inject <event> <hwnd> [idObject] [idChild] [pid]");
  dt::injectEvent(static_cast<DWORD>(ev), handleOf(a[1]), static_cast<LONG>(obj), static_cast<LONG>(child),
                  static_cast<DWORD>(pid));
  return 0;
}

int run(const Args &a);

const std::map<std::string, int (*)(const Args &)> &scenarioCommands() {
  static const std::map<std::string, int (*)(const Args &)> commands = {
      {"desktop-reset", reset},         {"monitor-add", monitorAdd},         {"monitor-clear", monitorClear},
      {"cursor", cursor},               {"process-add", processAdd},         {"window-create", windowCreate},
      {"window-show", windowShow},      {"window-hide", windowHide},         {"window-minimize", windowMinimize},
      {"window-maximize", windowMaximize}, {"window-restore", windowRestore}, {"window-cloak", windowCloak},
      {"window-uncloak", windowUncloak}, {"window-destroy", windowDestroy},  {"event-inject", eventInject},
      {"sleep", [](const Args &x) {
         long long ms = 0;
         if (x.size() != 1 || !number(x[0], ms) || ms < 0 || ms > 600000) return usage("sleep <ms>");
         Sleep(static_cast<DWORD>(ms));
         return 0;
       }},
  };
  return commands;
}

// A scenario: one desktop command per line (the commands above, without "win32ctl"), '#' starts a comment.
// Words are separated by blanks; "double quotes" keep blanks inside one word.
int run(const Args &a) {
  if (a.size() != 1) return usage("desktop-run <scenario-file>");
  std::ifstream in(a[0]);
  if (!in) {
    std::fprintf(stderr, "win32ctl: cannot read %s\n", a[0].c_str());
    return 1;
  }
  int lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    Args words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
      if (c == '"') {
        quoted = !quoted;
        any = true;
      } else if (!quoted && c == '#') {
        break;
      } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
        if (any) words.push_back(word), word.clear(), any = false;
      } else {
        word += c;
        any = true;
      }
    }
    if (any) words.push_back(word);
    if (words.empty()) continue;
    auto it = scenarioCommands().find(words[0]);
    if (it == scenarioCommands().end()) {
      std::fprintf(stderr, "win32ctl: %s:%d: unknown command '%s'\n", a[0].c_str(), lineNo, words[0].c_str());
      return 2;
    }
    int rc = it->second(Args(words.begin() + 1, words.end()));
    if (rc != 0) {
      std::fprintf(stderr, "win32ctl: %s:%d: failed\n", a[0].c_str(), lineNo);
      return rc;
    }
  }
  return 0;
}

win32ctl::Command c1("desktop-reset", "desktop-reset  one 1920x1080 monitor, no windows", &reset);
win32ctl::Command c2("monitor-add",
                     "monitor-add <l> <t> <r> <b> [work <l> <t> <r> <b>] [dpi <n>] [primary]  prints the HMONITOR",
                     &monitorAdd);
win32ctl::Command c3("monitor-clear", "monitor-clear  remove every monitor", &monitorClear);
win32ctl::Command c4("monitor-list", "monitor-list  monitors in enumeration order", &monitorList);
win32ctl::Command c5("cursor", "cursor [<x> <y>]  read or move the mouse cursor", &cursor);
win32ctl::Command c6("process-add", "process-add <pid> <windows-path> [elevated]  a process that owns windows",
                     &processAdd);
win32ctl::Command c7("window-create",
                     "window-create <pid> <l> <t> <r> <b> [class <c>] [title <t>] [style <n>] [exstyle <n>] "
                     "[owner <h>] [parent <h>] [hidden] [cloaked] [minimized|maximized] [awareness <-1..-5>]",
                     &windowCreate);
win32ctl::Command c8("window-show", "window-show <hwnd>", &windowShow);
win32ctl::Command c9("window-hide", "window-hide <hwnd>", &windowHide);
win32ctl::Command c10("window-minimize", "window-minimize <hwnd>", &windowMinimize);
win32ctl::Command c11("window-maximize", "window-maximize <hwnd>", &windowMaximize);
win32ctl::Command c12("window-restore", "window-restore <hwnd>", &windowRestore);
win32ctl::Command c13("window-cloak", "window-cloak <hwnd>", &windowCloak);
win32ctl::Command c14("window-uncloak", "window-uncloak <hwnd>", &windowUncloak);
win32ctl::Command c15("window-destroy", "window-destroy <hwnd>", &windowDestroy);
win32ctl::Command c16("window-get", "window-get <hwnd>  state, rectangle and placement of a window", &windowGet);
win32ctl::Command c17("window-list", "window-list  every window of the desktop", &windowList);
win32ctl::Command c18("placements", "placements [<hwnd>]  SetWindowPlacement calls that reached windows",
                      &placementList);
win32ctl::Command c19("event-inject", "event-inject <event> <hwnd> [idObject] [idChild] [pid]", &eventInject);
win32ctl::Command c20("desktop-run", "desktop-run <file>  run desktop commands from a scenario file", &run);

} // namespace
