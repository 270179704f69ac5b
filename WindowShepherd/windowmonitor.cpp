#include "windowmonitor.h"

#include "Log/log.h"
#include "movenewwindowtoactivatemonitor.h"
#include "signalcenter.h"

namespace {

// Process-wide: there is one desktop and one set of hooks, whatever the number of monitor objects.
HWINEVENTHOOK createEventHook = nullptr;
HWINEVENTHOOK uncloakedEventHook = nullptr;
HWINEVENTHOOK showEventHook = nullptr;
bool hooksInstalled = false;

HWINEVENTHOOK installHook(DWORD event) {
  HWINEVENTHOOK hook = SetWinEventHook(event, event, nullptr, WinEventCallback, 0, 0,
                                       WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
  if (!hook) {
    // The state goes on as if installed: this event type is simply not reported until the next PAUSE and START.
    const DWORD error = GetLastError();
    LOGE("SetWinEventHook failed, event: 0x%x, error: 0x%x", static_cast<unsigned>(event),
         static_cast<unsigned>(error));
  }
  return hook;
}

void removeHook(HWINEVENTHOOK &hook) {
  if (hook) {
    UnhookWinEvent(hook);
    hook = nullptr;
  }
}

} // namespace

void CALLBACK WinEventCallback(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG idObject, LONG, DWORD, DWORD) {
  if (event != EVENT_OBJECT_CREATE && event != EVENT_OBJECT_SHOW && event != EVENT_OBJECT_UNCLOAKED) return;
  if (idObject != OBJID_WINDOW) return;
  MoveWindowToCursorMonitor(hwnd);
}

WindowMonitor::WindowMonitor(QObject *parent) : QObject(parent) {}

WindowMonitor::~WindowMonitor() { stopHooks(); }

void WindowMonitor::initConnections() {
  SignalCenter *hub = SignalCenter::instance();
  connect(hub, &SignalCenter::pauseSig, this, &WindowMonitor::pauseSigSlot);
  connect(hub, &SignalCenter::startSig, this, &WindowMonitor::startSigSlot);
}

void WindowMonitor::startHooks() {
  if (hooksInstalled) return;
  createEventHook = installHook(EVENT_OBJECT_CREATE);
  uncloakedEventHook = installHook(EVENT_OBJECT_UNCLOAKED);
  showEventHook = installHook(EVENT_OBJECT_SHOW);
  hooksInstalled = true;
}

void WindowMonitor::stopHooks() {
  removeHook(createEventHook);
  removeHook(uncloakedEventHook);
  removeHook(showEventHook);
  hooksInstalled = false;
}

void WindowMonitor::startSigSlot() {
  startHooks();
  emit SignalCenter::instance()->started();
}

void WindowMonitor::pauseSigSlot() {
  stopHooks();
  emit SignalCenter::instance()->paused();
}
