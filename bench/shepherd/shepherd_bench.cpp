// WindowShepherd from start to a listening command socket, and the resident memory of the idle program, each against
// a baseline: this benchmark's own program started as a bare Qt listener on the same socket name ("--bare-listener":
// a QCoreApplication and a QLocalServer, nothing else). Each run uses a machine root and temp folder of its own.
// Ends with both ratios.
#include <benchmark/benchmark.h>

#include "../support/ratio.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

namespace {

const char kCommandSocket[] = "Brimvault-WindowShepherd-Socket";

QByteArray shutDownFrame() {
  return QByteArray::fromHex("000000160a120a0e") + "CommandRequest" + QByteArray::fromHex("10011001");
}

class Run {
public:
  explicit Run(const QStringList &args, const QString &program = QStringLiteral(BV_SHEPHERD_PATH)) {
    QDir(dir.path()).mkpath("root");
    QDir(dir.path()).mkpath("tmp");
    qputenv("TMPDIR", (dir.path() + "/tmp").toUtf8()); // the socket's folder, for this process too
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("WIN32_ROOT", dir.path() + "/root");
    env.insert("TMPDIR", dir.path() + "/tmp");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    proc.setProgram(program);
    proc.setArguments(args);
  }
  ~Run() {
    if (proc.state() != QProcess::NotRunning) {
      QLocalSocket s;
      s.connectToServer(kCommandSocket);
      if (s.waitForConnected(1000)) {
        s.write(shutDownFrame());
        s.waitForBytesWritten(1000);
      }
      if (!proc.waitForFinished(10000)) proc.kill();
      proc.waitForFinished(10000);
    }
  }
  // Starts the program and returns the nanoseconds until its command socket takes a connection (-1: never).
  qint64 startAndWaitListening() {
    QElapsedTimer timer;
    timer.start();
    proc.start();
    if (!proc.waitForStarted(10000)) return -1;
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && proc.state() == QProcess::Running) {
      QLocalSocket probe;
      probe.connectToServer(kCommandSocket);
      if (probe.state() == QLocalSocket::ConnectedState || probe.waitForConnected(100)) return timer.nsecsElapsed();
      QThread::usleep(200);
    }
    return -1;
  }
  long residentKiB() const {
    QFile status(QString("/proc/%1/status").arg(proc.processId()));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
      if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
  }

  QTemporaryDir dir;
  QProcess proc;
};

QString bareListener() { return QCoreApplication::applicationFilePath(); }

void startupToListening(benchmark::State &state, const QStringList &args, const QString &program) {
  for (auto _ : state) {
    Run run(args, program);
    const qint64 ns = run.startAndWaitListening();
    if (ns < 0) {
      state.SkipWithError("WindowShepherd did not listen");
      break;
    }
    state.SetIterationTime(double(ns) / 1e9);
  }
}
void BM_StartupToListening(benchmark::State &state) { startupToListening(state, {}, BV_SHEPHERD_PATH); }
void BM_BareStartupToListening(benchmark::State &state) {
  startupToListening(state, {"--bare-listener"}, bareListener());
}
BENCHMARK(BM_StartupToListening)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_BareStartupToListening)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void residentMemory(benchmark::State &state, const QStringList &args,
                    const QString &program = QStringLiteral(BV_SHEPHERD_PATH)) {
  long kib = -1;
  for (auto _ : state) {
    Run run(args, program);
    if (run.startAndWaitListening() < 0) {
      state.SkipWithError("WindowShepherd did not listen");
      break;
    }
    QThread::msleep(1000); // idle
    kib = run.residentKiB();
  }
  state.counters["rss_KiB"] = double(kib);
}
void BM_IdleResidentMemory(benchmark::State &state) { residentMemory(state, {}); }
void BM_IdleResidentMemoryHooksOn(benchmark::State &state) { residentMemory(state, {"-i", "1"}); }
void BM_BareIdleResidentMemory(benchmark::State &state) { residentMemory(state, {"--bare-listener"}, bareListener()); }
BENCHMARK(BM_IdleResidentMemory)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleResidentMemoryHooksOn)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareIdleResidentMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

// The baseline program: listens on the command socket's name until anything arrives.
int runBareListener(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  QLocalServer server;
  if (!server.listen(kCommandSocket)) return 2;
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    QLocalSocket *socket = server.nextPendingConnection();
    QObject::connect(socket, &QLocalSocket::readyRead, &app, &QCoreApplication::quit);
  });
  return app.exec();
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 2 && QByteArray(argv[1]) == "--bare-listener") return runBareListener(argc, argv);
  QCoreApplication app(argc, argv);
  benchratio::Reporter reporter;
  if (!benchratio::run(&argc, argv, reporter)) return 1;
  benchratio::printRatio("WindowShepherd / bare Qt listener, start to listening",
                         reporter.seconds("BM_StartupToListening/iterations:20/manual_time") * 1e3,
                         reporter.seconds("BM_BareStartupToListening/iterations:20/manual_time") * 1e3, "ms");
  benchratio::printRatio("WindowShepherd / bare Qt listener, idle resident memory",
                         reporter.counter("BM_IdleResidentMemory/iterations:3", "rss_KiB"),
                         reporter.counter("BM_BareIdleResidentMemory/iterations:3", "rss_KiB"), "KiB");
  return 0;
}
