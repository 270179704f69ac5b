// BrimvaultService: the Windows service that keeps the core program running, or, with "--terminate <pid>", the
// short-lived copy that sends the core its Ctrl+C.
#include <windows.h>

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QTimer>

#include <cstring>

#include "Log/log.h"
#include "Log/logconfig.h"
#include "Log/scopeguard.h"
#include "Util/miscutil.h"
#include "Util/regutil.h"
#include "logfolders.h"
#include "processtools.h"
#include "servicemain.h"
#include "servicestate.h"
#include "servicethread.h"
#include "signalcenter.h"
#include "uicommuncation.h"

BV_DEFINE_QMSGHANDLER()

namespace {

constexpr char kLogFolder[] = "C:/Brimvault/log/bvs";
constexpr char kTerminateLogFolder[] = "C:/Brimvault/log/bvs/tmp";
constexpr char kLogPrefix[] = "bvs";
constexpr int kLogFilesKept = 7;
constexpr int kUiFlushMs = 1000;

// Only ever on a folder made safe: pruning deletes as LocalSystem.
void pruneLogFolder(const char *folder) {
  MiscUtil::removeOldFiles(QString::fromLatin1(folder), kLogFilesKept,
                           QStringLiteral("^bv.*_(\\d+)\\.xlog$"), QStringLiteral("bv.*_(\\d+)\\.xlog"));
}

// Ends a core left running by an earlier run of the service.
void endStaleCore() {
  DWORD pid = findProcessIdByName(TEXT("BrimvaultServer.exe"));
  if (pid == 0) return;
  LOGE("Found process is running, ID is: %d", static_cast<int>(pid));
  if (TerminateProcessById(pid))
    LOGI("Process terminated successfully.");
  else
    LOGI("Failed to terminate process.");
}

int runService(int argc, char *argv[]) {
  // Without a safe folder the service runs on without a file log: keeping the core running matters more.
  const LogFolders folders = makeLogFoldersSafe(true);
  if (folders.logSafe) pruneLogFolder(kLogFolder);
  if (folders.tmpSafe) pruneLogFolder(kTerminateLogFolder);
  if (folders.logSafe) openLogAppender(kLogFolder, kLogPrefix);
  LOGI("Version: %s, Compile time: %s %s", kServiceVersion, __DATE__, __TIME__);
  qInstallMessageHandler(qMsgHandler);
  logFolderSteps(folders);

  endStaleCore();

  auto *app = new QCoreApplication(argc, argv);
  SignalCenter::createInstance(app);
  auto *ui = new UiCommuncation(app);
  ui->initConnections();
  ui->startListen();

  // The core is looked for in the current folder.
  if (!QDir::setCurrent(QCoreApplication::applicationDirPath())) LOGE("Failed to change current directory.");

  QPointer<ServiceThread> serviceThread;
  auto startServiceThreadSlot = [app, &serviceThread] {
    serviceThread = new ServiceThread(app);
    serviceThread->start(QThread::InheritPriority);
  };
  QTimer::singleShot(0, app, startServiceThreadSlot);

  int result = app->exec();

  // Destroying a running thread object is fatal.
  if (serviceThread) serviceThread->wait();
  // ServiceMain has ended and the dispatcher has returned: nothing else uses the events now.
  releaseServiceHandles();
  // The core's exit code may still sit in the UI socket's buffer.
  ui->flushBeforeExit(kUiFlushMs);
  delete app;
  return result;
}

} // namespace

int main(int argc, char *argv[]) {
  RegUtil::setRegDwordValue(HKEY_LOCAL_MACHINE, QString::fromLatin1(kServerRegKey),
                            QString::fromLatin1(kExitCodeValueName), 0);
  xlogger_SetLevel(kLevelInfo);
  appender_set_console_log_export(0);
  ScopeGuard logGuard(closeLogger);

  if (argc == 3 && std::strcmp(argv[1], "--terminate") == 0) {
    const LogFolders folders = makeLogFoldersSafe(false);
    if (folders.tmpSafe) openLogAppender(kTerminateLogFolder, kLogPrefix);
    logFolderSteps(folders);
    return static_cast<int>(DoGracefulTermination(parseTerminatePid(argv[2])));
  }
  return runService(argc, argv);
}
