// WindowShepherd: moves new top-level windows of other programs onto the monitor under the cursor, one instance per
// session, commanded on its local socket.
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QObject>
#include <QString>

#include "Log/log.h"
#include "Log/logconfig.h"
#include "Log/scopeguard.h"
#include "SoleInstance/soleinstanceapplication.h"
#include "signalcenter.h"
#include "uicommuncation.h"
#include "windowmonitor.h"

BV_DEFINE_QMSGHANDLER()

namespace {

const char kApplicationId[] = "{35978AEE-2B2C-BA1C-60CF-247925932DB5}";
const char kRaiseMessage[] = "RAISE_WINDOW";
constexpr int kRaiseTimeoutMs = 5000;
const char kLogFolder[] = "C:/Brimvault/log/bvu/wshp";
const char kLogPrefix[] = "wshp";

} // namespace

void appQuitSigSlot() {
  emit SignalCenter::instance()->shutdowned();
  QCoreApplication::quit();
}

int main(int argc, char *argv[]) {
  SoleInstanceApplication app(QString::fromLatin1(kApplicationId), argc, argv);
  // A later start only asks the running instance to show itself.
  if (app.isOtherInstanceRunning()) return app.sendMessage(QString::fromLatin1(kRaiseMessage), kRaiseTimeoutMs) ? 1 : 0;

  xlogger_SetLevel(kLevelInfo);
  appender_set_console_log_export(0);
  ScopeGuard logGuard(closeLogger);
  openLogAppender(kLogFolder, kLogPrefix);
  LOGI("Version: %s, Compile time: %s %s", kWindowShepherdVersion, __DATE__, __TIME__);
  qInstallMessageHandler(qMsgHandler);

  QCommandLineParser parser;
  QCommandLineOption initOption(QStringLiteral("i"), QStringLiteral("init para"), QStringLiteral("needStart"));
  parser.addOption(initOption);
  parser.process(app);
  bool converted = false;
  const int initValue = parser.value(initOption).toInt(&converted, 10);
  const bool needStart = parser.isSet(initOption) && converted && initValue != 0;

  SignalCenter::createInstance(&app);

  WindowMonitor monitor;
  monitor.initConnections();

  UiCommuncation *ui = new UiCommuncation(&app);
  ui->initConnections();
  ui->startListen();

  QObject::connect(SignalCenter::instance(), &SignalCenter::quitSig, &app, appQuitSigSlot);

  // The hooks are in place before the event loop runs.
  if (needStart) emit SignalCenter::instance()->startSig();

  return app.exec();
}
