// Files of the shared desktop, its serialised form, and the geometry every call uses.
#include "desktop/store.h"

#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {
namespace desktop {
namespace detail {

namespace {

constexpr uint32_t kMagic = 0x4B534442; // "BDSK"
constexpr uint32_t kVersion = 3;

void makeDirs(const std::string &path) {
  std::string partial;
  for (size_t i = 0; i < path.size(); ++i) {
    partial += path[i];
    if ((path[i] == '/' && i > 0) || i + 1 == path.size()) mkdir(partial.c_str(), 0777);
  }
}

// --- a small binary writer and reader (the state never leaves this machine) ---------------------

struct Writer {
  std::string out;
  template <class T> void pod(const T &v) { out.append(reinterpret_cast<const char *>(&v), sizeof(T)); }
  void rect(const RECT &r) { pod(r.left), pod(r.top), pod(r.right), pod(r.bottom); }
  void str(const std::string &s) {
    pod(static_cast<uint32_t>(s.size()));
    out.append(s);
  }
  void wstr(const std::u16string &s) {
    pod(static_cast<uint32_t>(s.size()));
    out.append(reinterpret_cast<const char *>(s.data()), s.size() * sizeof(char16_t));
  }
};

struct Reader {
  const std::string &in;
  size_t pos = 0;
  bool ok = true;
  template <class T> T pod() {
    T v{};
    if (pos + sizeof(T) > in.size()) {
      ok = false;
      return v;
    }
    std::memcpy(&v, in.data() + pos, sizeof(T));
    pos += sizeof(T);
    return v;
  }
  RECT rect() {
    RECT r;
    r.left = pod<LONG>(), r.top = pod<LONG>(), r.right = pod<LONG>(), r.bottom = pod<LONG>();
    return r;
  }
  std::string str() {
    uint32_t n = pod<uint32_t>();
    if (!ok || n > in.size() - pos) {
      ok = false;
      return {};
    }
    std::string s = in.substr(pos, n);
    pos += n;
    return s;
  }
  std::u16string wstr() {
    uint32_t n = pod<uint32_t>();
    if (!ok || n > (in.size() - pos) / 2) {
      ok = false;
      return {};
    }
    std::u16string s(n, u'\0');
    std::memcpy(&s[0], in.data() + pos, n * 2);
    pos += n * 2;
    return s;
  }
};

std::string serialise(const State &s) {
  Writer w;
  w.out.reserve(256 + s.windows.size() * 160 + s.processes.size() * 96);
  w.pod(kMagic), w.pod(kVersion);
  w.pod(s.generation), w.pod(s.nextMonitorId), w.pod(s.nextHwnd), w.pod(s.cursor.x), w.pod(s.cursor.y);
  w.pod(s.shell);
  w.pod(static_cast<uint32_t>(s.monitors.size()));
  for (const Monitor &m : s.monitors) {
    w.pod(m.id), w.rect(m.rc), w.rect(m.work), w.pod(m.dpi), w.pod(static_cast<uint8_t>(m.primary));
  }
  w.pod(static_cast<uint32_t>(s.processes.size()));
  for (const auto &p : s.processes) w.pod(p.second.pid), w.wstr(p.second.path), w.pod(uint8_t(p.second.elevated));
  w.pod(static_cast<uint32_t>(s.windows.size()));
  for (const auto &e : s.windows) {
    const Window &x = e.second;
    w.pod(x.hwnd), w.pod(x.pid), w.pod(x.tid), w.str(x.cls), w.wstr(x.title), w.pod(x.style), w.pod(x.exStyle);
    w.pod(x.parent), w.pod(x.owner), w.rect(x.normal), w.pod(x.show), w.pod(uint8_t(x.visible));
    w.pod(uint8_t(x.restoreToMaximized)), w.pod(uint8_t(x.cloaked)), w.pod(x.dpiAwareness);
  }
  w.pod(s.placementCount), w.pod(s.placementBase);
  w.pod(static_cast<uint32_t>(s.stalledThreads.size()));
  for (uint32_t tid : s.stalledThreads) w.pod(tid);
  w.pod(static_cast<uint32_t>(s.posted.size()));
  for (const Posted &p : s.posted) w.pod(p.tid), w.pod(p.hwnd), w.pod(p.placement);
  return std::move(w.out);
}

bool deserialise(const std::string &data, State &s) {
  Reader r{data};
  if (r.pod<uint32_t>() != kMagic || r.pod<uint32_t>() != kVersion) return false;
  s = State();
  s.generation = r.pod<uint64_t>();
  s.nextMonitorId = r.pod<uint32_t>();
  s.nextHwnd = r.pod<uint64_t>();
  s.cursor.x = r.pod<LONG>();
  s.cursor.y = r.pod<LONG>();
  s.shell = r.pod<uint64_t>();
  for (uint32_t n = r.pod<uint32_t>(); r.ok && n > 0; --n) {
    Monitor m;
    m.id = r.pod<uint32_t>(), m.rc = r.rect(), m.work = r.rect(), m.dpi = r.pod<uint32_t>();
    m.primary = r.pod<uint8_t>() != 0;
    s.monitors.push_back(m);
  }
  for (uint32_t n = r.pod<uint32_t>(); r.ok && n > 0; --n) {
    Process p;
    p.pid = r.pod<uint32_t>(), p.path = r.wstr(), p.elevated = r.pod<uint8_t>() != 0;
    s.processes[p.pid] = p;
  }
  for (uint32_t n = r.pod<uint32_t>(); r.ok && n > 0; --n) {
    Window x;
    x.hwnd = r.pod<uint64_t>(), x.pid = r.pod<uint32_t>(), x.tid = r.pod<uint32_t>(), x.cls = r.str();
    x.title = r.wstr(), x.style = r.pod<uint32_t>(), x.exStyle = r.pod<uint32_t>();
    x.parent = r.pod<uint64_t>(), x.owner = r.pod<uint64_t>(), x.normal = r.rect(), x.show = r.pod<uint8_t>();
    x.visible = r.pod<uint8_t>() != 0, x.restoreToMaximized = r.pod<uint8_t>() != 0;
    x.cloaked = r.pod<uint8_t>() != 0, x.dpiAwareness = r.pod<int32_t>();
    s.windows[x.hwnd] = x;
  }
  s.placementCount = r.pod<uint64_t>();
  s.placementBase = r.pod<uint64_t>();
  for (uint32_t n = r.pod<uint32_t>(); r.ok && n > 0; --n) s.stalledThreads.insert(r.pod<uint32_t>());
  for (uint32_t n = r.pod<uint32_t>(); r.ok && n > 0; --n) {
    Posted p;
    p.tid = r.pod<uint32_t>(), p.hwnd = r.pod<uint64_t>(), p.placement = r.pod<WINDOWPLACEMENT>();
    s.posted.push_back(p);
  }
  return r.ok;
}

bool readWhole(const std::string &path, std::string &out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool writeAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool pwriteAll(int fd, const char *data, size_t size, off_t at) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct FileLock {
  int fd;
  explicit FileLock(int f) : fd(f) {
    while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (fd >= 0) close(fd); // closing the descriptor releases the lock
  }
};

} // namespace

State defaultState() {
  State s;
  Monitor m;
  m.id = s.nextMonitorId++;
  m.rc = RECT{0, 0, 1920, 1080};
  m.work = RECT{0, 0, 1920, 1040};
  m.dpi = 96;
  m.primary = true;
  s.monitors.push_back(m);
  return s;
}

Store::Store(std::string dir) : dir_(std::move(dir)) {
  statePath_ = dir_ + "/state";
  eventsPath_ = dir_ + "/events";
  placementsPath_ = dir_ + "/placements";
  lockPath_ = dir_ + "/lock";
  makeDirs(dir_);
  FileLock lock(lockFile());
  for (const std::string *path : {&eventsPath_, &placementsPath_}) {
    int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd >= 0) close(fd);
  }
  const std::string genPath = dir_ + "/gen";
  int g = open(genPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  struct stat st {};
  if (g >= 0 && fstat(g, &st) == 0 && st.st_size < static_cast<off_t>(sizeof(Shared))) {
    if (ftruncate(g, sizeof(Shared)) != 0) st.st_size = 0;
  }
  void *map = g >= 0 ? mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, g, 0) : MAP_FAILED;
  if (g >= 0) close(g);
  if (map == MAP_FAILED) {
    // Without the shared counters every read reloads the file: slower, still correct within this process.
    static Shared fallback{};
    shared_ = &fallback;
  } else {
    shared_ = static_cast<Shared *>(map);
  }
  State existing;
  std::string data;
  if (!readWhole(statePath_, data) || !deserialise(data, existing)) {
    State fresh = defaultState();
    fresh.generation = shared_->generation.load() + 1;
    save(fresh);
    shared_->generation.store(fresh.generation, std::memory_order_release);
  }
  // Events written by a crashed writer past the published count are overwritten by the next append's position.
  struct stat es {};
  if (stat(eventsPath_.c_str(), &es) == 0) {
    uint64_t onDisk = static_cast<uint64_t>(es.st_size) / sizeof(EventRecord);
    if (onDisk != shared_->events.load()) {
      if (truncate(eventsPath_.c_str(), static_cast<off_t>(onDisk * sizeof(EventRecord))) == 0) {
        shared_->events.store(onDisk, std::memory_order_release);
        utimensat(AT_FDCWD, eventsPath_.c_str(), nullptr, 0); // wakes the readers, as an append does
      }
    }
  }
}

int Store::lockFile() const { return open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666); }

bool Store::load(State &into) const {
  std::string data;
  return readWhole(statePath_, data) && deserialise(data, into);
}

void Store::save(const State &state) const {
  const std::string tmp = statePath_ + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  std::string data = serialise(state);
  bool ok = writeAll(fd, data.data(), data.size());
  close(fd);
  if (!ok || rename(tmp.c_str(), statePath_.c_str()) != 0) unlink(tmp.c_str());
}

void Store::refresh() {
  chaosPoint("desktop.read");
  uint64_t gen = shared_->generation.load(std::memory_order_acquire);
  if (cached_ && gen == cache_.generation) return;
  State fresh;
  if (load(fresh)) {
    cache_ = std::move(fresh);
    cached_ = true;
  } else if (!cached_) {
    cache_ = defaultState();
    cached_ = true;
  }
}

bool Store::modify(const std::function<bool(State &, Changes &)> &f) {
  std::lock_guard<std::mutex> guard(mutex_);
  FileLock lock(lockFile());
  State s;
  // Under the lock the shared generation is final: a cached copy of it needs no reading.
  if (cached_ && cache_.generation == shared_->generation.load(std::memory_order_acquire)) {
    s = cache_;
  } else if (!load(s)) {
    s = defaultState();
  }
  Changes changes;
  if (!f(s, changes)) return false;
  chaosPoint("desktop.write");
  if (!changes.placements.empty()) {
    // Records past the count the state knows (a writer that died between the two) are overwritten.
    int fd = open(placementsPath_.c_str(), O_WRONLY | O_CLOEXEC);
    const size_t bytes = changes.placements.size() * sizeof(Placement);
    if (fd >= 0 && pwrite(fd, changes.placements.data(), bytes,
                          static_cast<off_t>(s.placementCount * sizeof(Placement))) == static_cast<ssize_t>(bytes)) {
      s.placementCount += changes.placements.size();
    }
    if (fd >= 0) close(fd);
  }
  s.generation = std::max(s.generation, shared_->generation.load()) + 1;
  save(s);
  chaosPoint("desktop.publish");
  shared_->generation.store(s.generation, std::memory_order_release);
  const EventList &events = changes.events;
  if (!events.empty()) {
    int fd = open(eventsPath_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      // Written at the published count (under the lock it only grows here), so records of a writer that died
      // before publishing are overwritten.
      const uint64_t at = shared_->events.load(std::memory_order_acquire);
      if (pwriteAll(fd, reinterpret_cast<const char *>(events.data()), events.size() * sizeof(EventRecord),
                    static_cast<off_t>(at * sizeof(EventRecord)))) {
        shared_->events.store(at + events.size(), std::memory_order_release);
        // Readers wake on this attribute change, not on the write: one woken by it finds the new count published.
        futimens(fd, nullptr);
      }
      close(fd);
    }
  }
  cache_ = std::move(s);
  cached_ = true;
  return true;
}

std::vector<Placement> Store::readPlacements(uint64_t from, uint64_t to) const {
  std::vector<Placement> out;
  if (to <= from) return out;
  int fd = open(placementsPath_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  out.resize(static_cast<size_t>(to - from));
  ssize_t n = pread(fd, out.data(), out.size() * sizeof(Placement), static_cast<off_t>(from * sizeof(Placement)));
  close(fd);
  out.resize(n > 0 ? static_cast<size_t>(n) / sizeof(Placement) : 0);
  return out;
}

uint64_t Store::readEvents(uint64_t from, std::vector<EventRecord> &out) const {
  chaosPoint("desktop.events");
  uint64_t to = eventCount();
  if (to <= from) return from;
  int fd = open(eventsPath_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return from;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(to - from, 65536));
  std::vector<EventRecord> buf(count);
  ssize_t n = pread(fd, buf.data(), count * sizeof(EventRecord), static_cast<off_t>(from * sizeof(EventRecord)));
  close(fd);
  if (n <= 0) return from;
  size_t whole = static_cast<size_t>(n) / sizeof(EventRecord);
  out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(whole));
  return from + whole;
}

namespace {

Store *openStore(bool create) {
  static std::mutex mutex;
  static std::map<std::string, Store *> *stores = new std::map<std::string, Store *>; // lives for the process
  std::string dir = machineRoot() + "/desktop/session-" + std::to_string(currentSession());
  std::lock_guard<std::mutex> lock(mutex);
  auto it = stores->find(dir);
  if (it == stores->end()) {
    struct stat st {};
    if (!create && stat((dir + "/state").c_str(), &st) != 0) return nullptr;
    it = stores->emplace(dir, new Store(dir)).first;
  }
  return it->second;
}

} // namespace

Store &store() { return *openStore(true); }

Store *existingStore() { return openStore(false); }

// --- geometry -----------------------------------------------------------------------------------

bool isEmpty(const RECT &r) { return r.right <= r.left || r.bottom <= r.top; }

int64_t overlap(const RECT &a, const RECT &b) {
  int64_t w = std::min<int64_t>(a.right, b.right) - std::max<int64_t>(a.left, b.left);
  int64_t h = std::min<int64_t>(a.bottom, b.bottom) - std::max<int64_t>(a.top, b.top);
  return (w > 0 && h > 0) ? w * h : 0;
}

namespace {

int64_t distanceSq(const RECT &r, int64_t x, int64_t y) {
  int64_t dx = x < r.left ? r.left - x : (x >= r.right ? x - (int64_t(r.right) - 1) : 0);
  int64_t dy = y < r.top ? r.top - y : (y >= r.bottom ? y - (int64_t(r.bottom) - 1) : 0);
  return dx * dx + dy * dy;
}

int64_t rectDistanceSq(const RECT &a, const RECT &b) {
  int64_t dx = std::max<int64_t>({0, int64_t(b.left) - a.right, int64_t(a.left) - b.right});
  int64_t dy = std::max<int64_t>({0, int64_t(b.top) - a.bottom, int64_t(a.top) - b.bottom});
  return dx * dx + dy * dy;
}

const Monitor *fallback(const State &s, DWORD flags, const std::function<int64_t(const Monitor &)> &distance) {
  if (flags == MONITOR_DEFAULTTOPRIMARY) return primaryMonitor(s);
  if (flags != MONITOR_DEFAULTTONEAREST) return nullptr;
  const Monitor *best = nullptr;
  int64_t bestDistance = 0;
  for (const Monitor &m : s.monitors) {
    int64_t d = distance(m);
    if (!best || d < bestDistance) best = &m, bestDistance = d;
  }
  return best;
}

LONG clampLong(int64_t v) { return static_cast<LONG>(std::min<int64_t>(std::max<int64_t>(v, INT32_MIN), INT32_MAX)); }

} // namespace

const Monitor *primaryMonitor(const State &s) {
  for (const Monitor &m : s.monitors)
    if (m.primary) return &m;
  return s.monitors.empty() ? nullptr : &s.monitors.front();
}

const Monitor *monitorFromPoint(const State &s, POINT pt, DWORD flags) {
  for (const Monitor &m : s.monitors) {
    if (pt.x >= m.rc.left && pt.x < m.rc.right && pt.y >= m.rc.top && pt.y < m.rc.bottom) return &m;
  }
  return fallback(s, flags, [&](const Monitor &m) { return distanceSq(m.rc, pt.x, pt.y); });
}

const Monitor *monitorFromRect(const State &s, const RECT &rc, DWORD flags) {
  if (isEmpty(rc)) return monitorFromPoint(s, POINT{rc.left, rc.top}, flags);
  const Monitor *best = nullptr;
  int64_t bestArea = 0;
  for (const Monitor &m : s.monitors) {
    int64_t a = overlap(rc, m.rc);
    if (a > bestArea) best = &m, bestArea = a; // ties keep the earlier monitor
  }
  if (best) return best;
  return fallback(s, flags, [&](const Monitor &m) { return rectDistanceSq(m.rc, rc); });
}

const Monitor *monitorById(const State &s, uint32_t id) {
  for (const Monitor &m : s.monitors)
    if (m.id == id) return &m;
  return nullptr;
}

HMONITOR toHandle(const Monitor *m) { return m ? reinterpret_cast<HMONITOR>(kMonitorBase + m->id) : nullptr; }

const Monitor *fromHandle(const State &s, HMONITOR h) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v <= kMonitorBase || v > kMonitorBase + 0xFFFFFFFFu) return nullptr;
  return monitorById(s, static_cast<uint32_t>(v - kMonitorBase));
}

RECT offsetRect(const RECT &r, int64_t dx, int64_t dy) {
  return RECT{clampLong(r.left + dx), clampLong(r.top + dy), clampLong(r.right + dx), clampLong(r.bottom + dy)};
}

const Window *findWindow(const State &s, HWND hwnd) {
  auto it = s.windows.find(reinterpret_cast<uint64_t>(hwnd));
  return it == s.windows.end() ? nullptr : &it->second;
}

Window *findWindow(State &s, HWND hwnd) {
  auto it = s.windows.find(reinterpret_cast<uint64_t>(hwnd));
  return it == s.windows.end() ? nullptr : &it->second;
}

bool usesWorkspace(const Window &w) { return w.parent == 0 && !(w.exStyle & WS_EX_TOOLWINDOW); }

const Monitor *monitorOfWindow(const State &s, const Window &w, DWORD flags) {
  // A minimized window counts by the rectangle it had before it was minimized.
  if (w.show == static_cast<uint8_t>(Show::Minimized)) return monitorFromRect(s, w.normal, flags);
  return monitorFromRect(s, windowRect(s, w), flags);
}

RECT windowRect(const State &s, const Window &w) {
  if (w.show == static_cast<uint8_t>(Show::Minimized)) return RECT{-32000, -32000, -31840, -31972};
  if (w.show == static_cast<uint8_t>(Show::Maximized)) {
    if (const Monitor *m = monitorFromRect(s, w.normal, MONITOR_DEFAULTTONEAREST)) return m->work;
  }
  return w.normal;
}

WINDOWPLACEMENT placementOf(const State &s, const Window &w) {
  WINDOWPLACEMENT p{};
  p.length = sizeof(WINDOWPLACEMENT);
  const bool minimized = w.show == static_cast<uint8_t>(Show::Minimized);
  p.flags = 0; // always, as documented: how a minimized window restores is not reported
  p.showCmd = minimized ? SW_SHOWMINIMIZED : (w.show == static_cast<uint8_t>(Show::Maximized) ? SW_SHOWMAXIMIZED
                                                                                               : SW_SHOWNORMAL);
  p.ptMinPosition = minimized ? POINT{-32000, -32000} : POINT{-1, -1};
  p.ptMaxPosition = POINT{-1, -1};
  p.rcNormalPosition = w.normal;
  if (usesWorkspace(w)) {
    if (const Monitor *m = monitorFromRect(s, w.normal, MONITOR_DEFAULTTONEAREST)) {
      p.rcNormalPosition = offsetRect(w.normal, int64_t(m->rc.left) - m->work.left, int64_t(m->rc.top) - m->work.top);
    }
  }
  return p;
}

RECT workspaceToScreen(const State &s, const RECT &ws) {
  const Monitor *best = nullptr;
  int64_t bestArea = 0;
  for (const Monitor &m : s.monitors) {
    RECT screen = offsetRect(ws, int64_t(m.work.left) - m.rc.left, int64_t(m.work.top) - m.rc.top);
    int64_t a = overlap(screen, m.rc);
    if (a > bestArea) best = &m, bestArea = a;
  }
  if (!best) best = monitorFromRect(s, ws, MONITOR_DEFAULTTONEAREST);
  if (!best) return ws;
  return offsetRect(ws, int64_t(best->work.left) - best->rc.left, int64_t(best->work.top) - best->rc.top);
}

DWORD fullStyle(const Window &w) {
  DWORD style = w.style & ~static_cast<DWORD>(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE);
  if (w.visible) style |= WS_VISIBLE;
  if (w.show == static_cast<uint8_t>(Show::Minimized)) style |= WS_MINIMIZE;
  if (w.show == static_cast<uint8_t>(Show::Maximized)) style |= WS_MAXIMIZE;
  return style;
}

bool isVisibleChain(const State &s, const Window &w) {
  const Window *x = &w;
  for (int depth = 0; x && depth < 256; ++depth) {
    if (!x->visible) return false;
    if (x->parent == 0) return true;
    x = findWindow(s, reinterpret_cast<HWND>(x->parent));
  }
  return false;
}

void raise(Changes &changes, DWORD event, const Window &w, LONG idObject, DWORD sourcePid) {
  EventRecord r{};
  r.event = event;
  r.idObject = idObject;
  r.idChild = CHILDID_SELF;
  r.pid = sourcePid ? sourcePid : w.pid;
  r.tid = w.tid;
  r.time = GetTickCount();
  r.hwnd = w.hwnd;
  changes.events.push_back(r);
}

// --- onCall actions -----------------------------------------------------------------------------

namespace {
struct Trigger {
  std::string call;
  int remaining;
  std::function<void()> action;
};
std::mutex g_triggerMutex;
std::vector<Trigger> *g_triggers = new std::vector<Trigger>; // lives for the process
std::atomic<bool> g_anyTrigger{false};
} // namespace

void runTriggers(const char *call) {
  if (!g_anyTrigger.load(std::memory_order_relaxed)) return;
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> lock(g_triggerMutex);
    for (auto it = g_triggers->begin(); it != g_triggers->end();) {
      if (it->call == call && --it->remaining == 0) {
        due.push_back(std::move(it->action));
        it = g_triggers->erase(it);
      } else {
        ++it;
      }
    }
    g_anyTrigger = !g_triggers->empty();
  }
  for (auto &action : due) action();
}

} // namespace detail

void onCall(const std::string &call, int nth, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(detail::g_triggerMutex);
  detail::g_triggers->push_back(detail::Trigger{call, nth < 1 ? 1 : nth, std::move(action)});
  detail::g_anyTrigger = true;
}

void clearOnCall() {
  std::lock_guard<std::mutex> lock(detail::g_triggerMutex);
  detail::g_triggers->clear();
  detail::g_anyTrigger = false;
}

DWORD currentSession() { return currentSessionId(); }

} // namespace desktop
} // namespace emu
