#include "servicethread.h"

#include <windows.h>
#include <winsvc.h>

#include <QCoreApplication>
#include <QMetaObject>

#include "Log/log.h"
#include "servicemain.h"

namespace {
WCHAR g_dispatchName[] = TEXT("BrimvaultService");
}

void ServiceThread::run() {
  // Kept for the life of the process, as the dispatcher requires.
  static SERVICE_TABLE_ENTRYW dispatchTable[] = {{g_dispatchName, ServiceMain}, {nullptr, nullptr}};
  int result = 0;
  if (!StartServiceCtrlDispatcherW(dispatchTable)) {
    LOGE("StartServiceCtrlDispatcher failed, error: 0x%x", static_cast<unsigned>(GetLastError()));
    result = 1;
  }
  // Queued behind anything ServiceMain already posted to the main thread (the core's exit code for the UI), so
  // the event loop delivers that before it ends. main closes the shared handles once this thread is joined.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [result] { QCoreApplication::exit(result); }, Qt::QueuedConnection);
}
