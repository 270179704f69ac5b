// The service process side: StartServiceCtrlDispatcherW, handler registration and SetServiceStatus.
#include <windows.h>
#include <winsvc.h>

#include "emu/emu.h"
#include "emu/hold.h"
#include "service/wire.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace emu;

constexpr int kHelloWaitMs = 30000;
constexpr int kStatusWaitMs = 30000;

struct Dispatcher {
  int controlFd = -1;
  int statusFd = -1;
  int wakeFd = -1;
  std::mutex statusMutex; // one report at a time on the status connection, answered in order

  std::mutex mutex;
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  LPHANDLER_FUNCTION handler = nullptr;
  void *context = nullptr;
  bool registered = false;
  bool stopped = false; // the last status reported was SERVICE_STOPPED

  std::vector<std::u16string> args;
  std::vector<LPWSTR> argv;

  void wake() {
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd, &one, sizeof(one));
    (void)n;
  }
};

// Lives from the first successful StartServiceCtrlDispatcherW to the end of the process: the status handle stays
// valid for late reports from other threads.
std::atomic<Dispatcher *> g_dispatcher{nullptr};
std::atomic<bool> g_dispatcherCalled{false};

SERVICE_STATUS_HANDLE statusHandleOf(Dispatcher *d) { return reinterpret_cast<SERVICE_STATUS_HANDLE>(d); }

// Opens one connection of the given kind to the controller and returns the main function's arguments it sends.
int connectChannel(const std::string &channel, uint32_t kind, std::vector<std::string> *args) {
  int fd = scmwire::connectTo(channel);
  if (fd < 0) return -1;
  std::string hello, reply;
  scmwire::putU32(hello, static_cast<uint32_t>(::getpid()));
  if (!scmwire::transact(fd, kind, hello, scmwire::HelloReply, &reply, kHelloWaitMs)) {
    ::close(fd);
    return -1;
  }
  scmwire::Reader r(reply);
  if (r.u32() != 0 || !r.ok) {
    ::close(fd);
    return -1;
  }
  uint32_t count = r.u32();
  for (uint32_t i = 0; r.ok && i < count && i < 4096; ++i) {
    std::string a = r.bytes();
    if (r.ok && args) args->push_back(a);
  }
  return fd;
}

DWORD callHandler(Dispatcher *d, DWORD control, DWORD eventType, std::string &data) {
  LPHANDLER_FUNCTION_EX ex;
  LPHANDLER_FUNCTION plain;
  void *context;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    ex = d->handlerEx;
    plain = d->handler;
    context = d->context;
  }
  if (ex) {
    // Event data is handed over in a buffer aligned for the records it carries (WTSSESSION_NOTIFICATION, ...).
    std::vector<uint64_t> aligned((data.size() + 7) / 8 + 1);
    if (!data.empty()) std::memcpy(aligned.data(), data.data(), data.size());
    return ex(control, eventType, data.empty() ? nullptr : aligned.data(), context);
  }
  if (plain) {
    plain(control);
    return NO_ERROR;
  }
  return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

} // namespace

extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table) {
  EMU_FAIL_POINT("StartServiceCtrlDispatcherW", FALSE);
  if (!table || !table[0].lpServiceName || !table[0].lpServiceProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char *service = std::getenv("WIN32_SCM_SERVICE");
  const char *channel = std::getenv("WIN32_SCM_CHANNEL");
  if (!service || !*service || !channel || !*channel) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (g_dispatcherCalled.exchange(true)) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  // A process the control manager did not start (a child inheriting the environment) is refused by the controller.
  std::vector<std::string> args;
  int controlFd = connectChannel(channel, scmwire::HelloControl, &args);
  int statusFd = controlFd >= 0 ? connectChannel(channel, scmwire::HelloStatus, nullptr) : -1;
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (controlFd < 0 || statusFd < 0 || wakeFd < 0) {
    if (controlFd >= 0) ::close(controlFd);
    if (statusFd >= 0) ::close(statusFd);
    if (wakeFd >= 0) ::close(wakeFd);
    g_dispatcherCalled = false;
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }

  auto *d = new Dispatcher; // never freed: see g_dispatcher
  d->controlFd = controlFd;
  d->statusFd = statusFd;
  d->wakeFd = wakeFd;
  if (args.empty()) args.push_back(service);
  for (const auto &a : args) d->args.push_back(toUtf16(a));
  for (auto &a : d->args) d->argv.push_back(a.data());
  d->argv.push_back(nullptr);
  g_dispatcher = d;

  // Own-process services run the first entry whatever its name, as Windows does. The dispatcher returns once the
  // service has reported SERVICE_STOPPED, whether or not its main function has returned by then: the thread is not
  // waited for.
  LPSERVICE_MAIN_FUNCTIONW main = table[0].lpServiceProc;
  std::thread([d, main] { main(static_cast<DWORD>(d->argv.size() - 1), d->argv.data()); }).detach();

  int controlConn = d->controlFd;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(d->mutex);
      if (d->stopped) break;
    }
    pollfd fds[2] = {{d->wakeFd, POLLIN, 0}, {controlConn, POLLIN, 0}};
    int rc = ::poll(fds, controlConn >= 0 ? 2 : 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) break;
    if (fds[0].revents) {
      uint64_t v;
      ssize_t n = ::read(d->wakeFd, &v, sizeof(v));
      (void)n;
    }
    if (controlConn >= 0 && fds[1].revents) {
      uint32_t type = 0;
      std::string payload;
      if (!scmwire::receiveMessage(controlConn, &type, &payload, 0)) {
        ::close(controlConn); // the controller is gone: no more controls
        controlConn = -1;
        continue;
      }
      if (type != scmwire::Control) continue;
      scmwire::Reader r(payload);
      uint32_t seq = r.u32();
      uint32_t control = r.u32();
      uint32_t eventType = r.u32();
      std::string data = r.rest();
      if (!r.ok) continue;
      emu::holdPoint("HandlerEx", std::to_string(control));
      DWORD result = callHandler(d, control, eventType, data);
      std::string reply;
      scmwire::putU32(reply, seq);
      scmwire::putU32(reply, result);
      scmwire::sendMessage(controlConn, scmwire::ControlReply, reply);
    }
  }
  if (controlConn >= 0) ::close(controlConn);
  return TRUE;
}

namespace {

SERVICE_STATUS_HANDLE registerHandler(LPCWSTR name, LPHANDLER_FUNCTION handler, LPHANDLER_FUNCTION_EX handlerEx,
                                      LPVOID context) {
  Dispatcher *d = g_dispatcher;
  if (!name || (!handler && !handlerEx)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!d) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(d->mutex);
  d->handler = handler;
  d->handlerEx = handlerEx;
  d->context = context;
  d->registered = true;
  return statusHandleOf(d);
}

} // namespace

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                                      LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                                      LPVOID lpContext) {
  EMU_FAIL_POINT("RegisterServiceCtrlHandlerExW", nullptr);
  return registerHandler(lpServiceName, nullptr, lpHandlerProc, lpContext);
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                                    LPHANDLER_FUNCTION lpHandlerProc) {
  EMU_FAIL_POINT("RegisterServiceCtrlHandlerW", nullptr);
  return registerHandler(lpServiceName, lpHandlerProc, nullptr, nullptr);
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  EMU_FAIL_POINT("SetServiceStatus", FALSE);
  Dispatcher *d = g_dispatcher;
  bool registered = false;
  if (d && hServiceStatus == statusHandleOf(d)) {
    std::lock_guard<std::mutex> lock(d->mutex);
    registered = d->registered;
  }
  if (!registered) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SERVICE_STATUS s = *lpServiceStatus;
  DWORD type = s.dwServiceType & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  if (s.dwCurrentState < SERVICE_STOPPED || s.dwCurrentState > SERVICE_PAUSED ||
      (type != SERVICE_WIN32_OWN_PROCESS && type != SERVICE_WIN32_SHARE_PROCESS)) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(d->statusMutex);
    std::string msg, reply;
    scmwire::putStatus(msg, s);
    if (!scmwire::transact(d->statusFd, scmwire::Status, msg, scmwire::StatusAck, &reply, kStatusWaitMs)) {
      // The controller is gone: nobody records the report, but the process must still be able to finish.
      {
        std::lock_guard<std::mutex> lock2(d->mutex);
        d->stopped = s.dwCurrentState == SERVICE_STOPPED;
      }
      d->wake();
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    scmwire::Reader r(reply);
    DWORD error = r.u32();
    if (!r.ok || error != 0) {
      SetLastError(r.ok ? error : ERROR_INVALID_DATA);
      return FALSE;
    }
    // Under the status lock, so the dispatcher sees reports in the order they were recorded.
    std::lock_guard<std::mutex> lock2(d->mutex);
    d->stopped = s.dwCurrentState == SERVICE_STOPPED;
  }
  d->wake();
  return TRUE;
}
