// WindowShepherd from start to a listening command socket, and the resident memory of the idle program.
// Each run uses a machine root and temp folder of its own.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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
  Run(const QStringList &args) {
    QDir(dir.path()).mkpath("root");
    QDir(dir.path()).mkpath("tmp");
    qputenv("TMPDIR", (dir.path() + "/tmp").toUtf8()); // the socket's folder, for this process too
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("WIN32_ROOT", dir.path() + "/root");
    env.insert("TMPDIR", dir.path() + "/tmp");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    proc.setProgram(QStringLiteral(BV_SHEPHERD_PATH));
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

void BM_StartupToListening(benchmark::State &state) {
  for (auto _ : state) {
    Run run({});
    const qint64 ns = run.startAndWaitListening();
    if (ns < 0) {
      state.SkipWithError("WindowShepherd did not listen");
      break;
    }
    state.SetIterationTime(double(ns) / 1e9);
  }
}
BENCHMARK(BM_StartupToListening)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void residentMemory(benchmark::State &state, const QStringList &args) {
  long kib = -1;
  for (auto _ : state) {
    Run run(args);
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
BENCHMARK(BM_IdleResidentMemory)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdleResidentMemoryHooksOn)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
