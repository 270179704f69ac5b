// Reading frames from one client: the shared frame reader (silent, as the window placement program runs it) and the
// service's UI channel (with its log lines) against two baselines on the same kind of socket under the same
// read-buffer limit: a plain drain of the same bytes, and a reader that splits the frames and decodes each one once
// with protobuf. And the latency from the core's exit code (emitted on another thread, as the watch loop does) to
// the frame's arrival at a user-interface client. Ends with the reader's ratio against both baselines.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <string>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "../support/ratio.h"
#include "Log/logconfig.h"
#include "Protocol/frame.h"
#include "Protocol/framereader.h"
#include "signalcenter.h"
#include "uicommuncation.h"

namespace {

constexpr int kFramesPerBatch = 10000;
constexpr int kMaxBody = 64 * 1024; // the reader's limit, and the read buffer of every socket here
using Clock = std::chrono::steady_clock;

QByteArray frameOfSize(int kind) {
  if (kind == 0) {
    CommandRequest request;
    request.set_command(START);
    return writeFrame(request);
  }
  ErrMsgOccurRequest request;
  request.set_errmsg(std::string(1000, 'e'));
  request.set_what("disk");
  return writeFrame(request);
}

// A client on its own thread that writes one batch per request, with Qt's blocking socket calls.
class Writer {
public:
  Writer(const QString &name, QByteArray batch) : m_batch(std::move(batch)) {
    m_thread = std::thread([this, name] {
      QLocalSocket socket;
      socket.connectToServer(name);
      socket.waitForConnected(-1);
      std::unique_lock<std::mutex> lock(m_mutex);
      for (;;) {
        m_cv.wait(lock, [this] { return m_requests > 0 || m_stop; });
        if (m_stop) break;
        --m_requests;
        lock.unlock();
        socket.write(m_batch);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(-1)) {
        }
        lock.lock();
      }
    });
  }
  ~Writer() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
  }
  void writeBatch() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_requests;
    }
    m_cv.notify_all();
  }
  qint64 batchBytes() const { return m_batch.size(); }

private:
  QByteArray m_batch;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_requests = 0;
  bool m_stop = false;
};

QByteArray repeated(const QByteArray &frame, int times) {
  QByteArray out;
  out.reserve(frame.size() * times);
  for (int i = 0; i < times; ++i) out += frame;
  return out;
}

void setRates(benchmark::State &state, qint64 framesPerBatch, qint64 bytesPerBatch) {
  state.SetBytesProcessed(int64_t(state.iterations()) * bytesPerBatch);
  state.counters["frames/s"] =
      benchmark::Counter(double(state.iterations()) * double(framesPerBatch), benchmark::Counter::kIsRate);
}

int g_serial = 0;

void BM_PlainDrain(benchmark::State &state) {
  QLocalServer server;
  const QString name = QStringLiteral("bench-plain-%1").arg(++g_serial);
  server.listen(name);
  const QByteArray frame = frameOfSize(int(state.range(0)));
  Writer writer(name, repeated(frame, kFramesPerBatch));
  QEventLoop loop;
  qint64 drained = 0, target = 0;
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    QLocalSocket *socket = server.nextPendingConnection();
    socket->setReadBufferSize(kFrameLengthSize + kMaxBody);
    QObject::connect(socket, &QLocalSocket::readyRead, [&, socket] {
      drained += socket->readAll().size();
      if (drained >= target) loop.quit();
    });
  });
  for (auto _ : state) {
    target += writer.batchBytes();
    writer.writeBatch();
    loop.exec();
  }
  setRates(state, kFramesPerBatch, writer.batchBytes());
}

// Splits the stream into frames and decodes each body once as the message it is: no envelope, no dispatch.
void BM_DecodeOnce(benchmark::State &state) {
  QLocalServer server;
  const QString name = QStringLiteral("bench-decode-%1").arg(++g_serial);
  server.listen(name);
  const int kind = int(state.range(0));
  Writer writer(name, repeated(frameOfSize(kind), kFramesPerBatch));
  QEventLoop loop;
  qint64 decoded = 0, target = 0;
  CommandRequest command;
  ErrMsgOccurRequest error;
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    QLocalSocket *socket = server.nextPendingConnection();
    socket->setReadBufferSize(kFrameLengthSize + kMaxBody);
    QObject::connect(socket, &QLocalSocket::readyRead, [&, socket] {
      char prefix[kFrameLengthSize];
      while (socket->peek(prefix, kFrameLengthSize) == kFrameLengthSize) {
        const int length = parseLengthFromArray(QByteArray::fromRawData(prefix, kFrameLengthSize));
        if (socket->bytesAvailable() < kFrameLengthSize + length) break;
        socket->skip(kFrameLengthSize);
        const QByteArray body = socket->read(length);
        const bool ok = kind == 0 ? command.ParseFromArray(body.constData(), body.size())
                                  : error.ParseFromArray(body.constData(), body.size());
        decoded += ok ? 1 : 0;
      }
      if (decoded >= target) loop.quit();
    });
  });
  for (auto _ : state) {
    target += kFramesPerBatch;
    writer.writeBatch();
    loop.exec();
  }
  setRates(state, kFramesPerBatch, writer.batchBytes());
}

void BM_FrameReader(benchmark::State &state) {
  QLocalServer server;
  const QString name = QStringLiteral("bench-reader-%1").arg(++g_serial);
  server.listen(name);
  const QByteArray frame = frameOfSize(int(state.range(0)));
  Writer writer(name, repeated(frame, kFramesPerBatch));
  QEventLoop loop;
  qint64 handled = 0, target = 0;
  FrameReader reader(kMaxBody);
  reader.addHandler<CommandRequest>([&](QIODevice *, const CommandRequest &) {
    if (++handled >= target) loop.quit();
  });
  reader.addHandler<ErrMsgOccurRequest>([&](QIODevice *, const ErrMsgOccurRequest &) {
    if (++handled >= target) loop.quit();
  });
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    QLocalSocket *socket = server.nextPendingConnection();
    reader.limitReadBuffer(socket);
    QObject::connect(socket, &QLocalSocket::readyRead, [&, socket] { reader.readFrames(socket); });
  });
  for (auto _ : state) {
    target += kFramesPerBatch;
    writer.writeBatch();
    loop.exec();
  }
  setRates(state, kFramesPerBatch, writer.batchBytes());
}

// The service's channel, logging every frame as it does in service; each batch ends with SHUT_DOWN.
void BM_ServiceChannel(benchmark::State &state) {
  auto ui = std::make_unique<UiCommuncation>(nullptr);
  ui->initConnections();
  ui->startListen();
  CommandRequest shutDown;
  shutDown.set_command(SHUT_DOWN);
  const QByteArray batch = repeated(frameOfSize(0), kFramesPerBatch - 1) + writeFrame(shutDown);
  Writer writer(QStringLiteral("Brimvault-Service-Socket"), batch);
  QEventLoop loop;
  const auto quit = QObject::connect(SignalCenter::instance(), &SignalCenter::quitSig, &loop, &QEventLoop::quit);
  for (auto _ : state) {
    writer.writeBatch();
    loop.exec();
  }
  QObject::disconnect(quit);
  setRates(state, kFramesPerBatch, batch.size());
}

// serverExitCode emitted on a worker thread, queued to the main thread, written to the user interface, read by a
// client on a third thread. One sample at a time.
void BM_ExitCodeLatency(benchmark::State &state) {
  const int samples = int(state.range(0));
  for (auto _ : state) {
    UiCommuncation ui(nullptr);
    ui.initConnections();
    ui.startListen();
    std::vector<Clock::time_point> sent(static_cast<size_t>(samples)), arrived(static_cast<size_t>(samples));
    std::mutex mutex;
    std::condition_variable cv;
    int received = 0;
    std::atomic<bool> ready{false};
    QEventLoop loop;

    std::thread client([&] {
      QLocalSocket socket;
      socket.connectToServer(QStringLiteral("Brimvault-Service-Socket"));
      socket.waitForConnected(-1);
      ComponentTypeRequest declare;
      declare.set_type(COMPONENT_TYPE_UI);
      socket.write(writeFrame(declare));
      socket.waitForBytesWritten(-1);
      ready = true;
      QByteArray pending;
      while (received < samples && socket.waitForReadyRead(-1)) {
        pending += socket.readAll();
        while (pending.size() >= 4 && pending.size() >= 4 + parseLengthFromArray(pending)) {
          const auto now = Clock::now();
          pending.remove(0, 4 + parseLengthFromArray(pending));
          std::lock_guard<std::mutex> lock(mutex);
          arrived[size_t(received)] = now;
          ++received;
          cv.notify_all();
        }
      }
    });
    std::thread emitter([&] {
      while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the declaration is read first
      for (int i = 0; i < samples; ++i) {
        sent[size_t(i)] = Clock::now();
        emit SignalCenter::instance()->serverExitCode(1115);
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return received > i; });
      }
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    emitter.join();
    client.join();

    std::vector<double> micros;
    for (int i = 0; i < samples; ++i)
      micros.push_back(std::chrono::duration<double, std::micro>(arrived[size_t(i)] - sent[size_t(i)]).count());
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
  }
}

BENCHMARK(BM_PlainDrain)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeOnce)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameReader)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServiceChannel)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExitCodeLatency)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
  QTemporaryDir temp;
  qputenv("TMPDIR", temp.path().toUtf8()); // socket names of this run only
  QCoreApplication app(argc, argv);
  SignalCenter::createInstance(&app);
  const QByteArray logDir = (temp.path() + "/log").toUtf8();
  QDir().mkpath(QString::fromUtf8(logDir));
  xlogger_SetLevel(kLevelInfo);
  openLogAppender(logDir.constData(), "bvs");
  benchratio::Reporter reporter;
  const bool ran = benchratio::run(&argc, argv, reporter);
  appender_close_export();
  if (!ran) return 1;
  const char *kinds[] = {"22-byte command", "1 KB error message"};
  for (int kind = 0; kind < 2; ++kind) {
    const std::string arg = "/" + std::to_string(kind) + "/real_time";
    const double reader = reporter.seconds("BM_FrameReader" + arg);
    std::printf("frames: %s\n", kinds[kind]);
    benchratio::printRatio("frame reader / plain drain", reader * 1e3, reporter.seconds("BM_PlainDrain" + arg) * 1e3,
                           "ms");
    benchratio::printRatio("frame reader / decode once", reader * 1e3, reporter.seconds("BM_DecodeOnce" + arg) * 1e3,
                           "ms");
  }
  return 0;
}
