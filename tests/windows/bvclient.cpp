// bvclient: a command-line client of the programs' local sockets, for smoke runs of the real programs (under Wine,
// or on Linux against the emulated machine). It connects to a server name (QLocalSocket: a named pipe
// \\.\pipe\<name> on Windows, a socket file in TMPDIR on Linux), sends the frames named on its command line and
// may then wait for frames:
//
//   bvclient <server-name> [--retry-ms N] [send shutdown|start|pause|ui]... [--expect <MessageType>] [--timeout-ms N]
//
//   --retry-ms N      keep trying to connect for N ms (default 0: one try)
//   send X            shutdown, start, pause: a CommandRequest; ui: a ComponentTypeRequest with COMPONENT_TYPE_UI
//   --expect T        wait until a frame whose header.type is T arrives (within --timeout-ms, default 10000)
//   --timeout-ms N    without --expect: print what arrives for N ms, then end (a peer that closes ends it sooner)
//
// Prints "sent <type> <fields>" for each frame sent and "received <type> <fields>" for each frame received, e.g.
// "received ServerExitCodeRequest exitCode=1115". Exit codes: 0 done; 2 bad command line; 3 no connection within
// --retry-ms; 4 a frame could not be written; 5 time-out before the expected frame; 6 the peer closed first.
// A frame counts as sent once Qt has nothing of it left to write, even when the peer then closes at once.
// Frames are written and read by the project's own frame writer and reader.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Protocol/frame.h"
#include "Protocol/framereader.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoConnection = 3;
constexpr int kExitWriteFailed = 4;
constexpr int kExitTimeOut = 5;
constexpr int kExitPeerClosed = 6;

constexpr int kDefaultExpectTimeoutMs = 10000;
constexpr int kWriteLimitMs = 5000;
constexpr int kRetryPauseMs = 100;
constexpr int kMaxBodyLength = 64 * 1024 * 1024; // the service may send a frame of some megabytes

struct Frame {
  QByteArray bytes;
  std::string line; // what "sent ..." prints
};

struct Options {
  QString serverName;
  int retryMs = 0;
  std::vector<Frame> frames;
  std::string expect;
  int timeoutMs = -1; // -1: not given
};

// The fields worth a look of the messages the programs send; other messages print their type alone.
std::string fields(const CommandRequest &m) { return " command=" + CommandType_Name(m.command()); }
std::string fields(const ComponentTypeRequest &m) { return " type=" + ComponentType_Name(m.type()); }
std::string fields(const ServerExitCodeRequest &m) { return " exitCode=" + std::to_string(m.exitcode()); }
std::string fields(const ErrMsgOccurRequest &m) {
  return " code=" + std::to_string(m.code()) + " errMsg=\"" + m.errmsg() + "\" what=\"" + m.what() +
         "\" index=" + std::to_string(m.index());
}
std::string fields(const ErrMsgDisappearRequest &m) {
  return " code=" + std::to_string(m.code()) + " what=\"" + m.what() + "\" index=" + std::to_string(m.index());
}

void printLine(const std::string &line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout); // a script may read the lines through a pipe while the client still waits
}

int fail(int code, const std::string &message) {
  std::fprintf(stderr, "bvclient: %s\n", message.c_str());
  return code;
}

template <class Msg> Frame frameOf(Msg message) {
  Frame frame;
  frame.bytes = writeFrame(message); // sets header.type and header.version
  frame.line = "sent " + message.header().type() + fields(message);
  return frame;
}

bool frameFor(const QString &what, Frame *frame) {
  CommandRequest command;
  if (what == QLatin1String("shutdown")) {
    command.set_command(SHUT_DOWN);
  } else if (what == QLatin1String("start")) {
    command.set_command(START);
  } else if (what == QLatin1String("pause")) {
    command.set_command(PAUSE);
  } else if (what == QLatin1String("ui")) {
    ComponentTypeRequest declaration;
    declaration.set_type(COMPONENT_TYPE_UI);
    *frame = frameOf(declaration);
    return true;
  } else {
    return false;
  }
  *frame = frameOf(command);
  return true;
}

bool readInt(const QStringList &args, int *i, int *value) {
  if (*i + 1 >= args.size()) return false;
  bool ok = false;
  *value = args[++*i].toInt(&ok);
  return ok && *value >= 0;
}

bool parse(const QStringList &args, Options *o) {
  if (args.size() < 2 || args[1].startsWith(QLatin1String("--"))) return false;
  o->serverName = args[1];
  for (int i = 2; i < args.size(); ++i) {
    const QString &arg = args[i];
    if (arg == QLatin1String("--retry-ms")) {
      if (!readInt(args, &i, &o->retryMs)) return false;
    } else if (arg == QLatin1String("--timeout-ms")) {
      if (!readInt(args, &i, &o->timeoutMs)) return false;
    } else if (arg == QLatin1String("--expect")) {
      if (i + 1 >= args.size()) return false;
      o->expect = args[++i].toStdString();
    } else if (arg == QLatin1String("send")) {
      Frame frame;
      if (i + 1 >= args.size() || !frameFor(args[++i], &frame)) return false;
      o->frames.push_back(frame);
    } else {
      return false;
    }
  }
  if (!o->expect.empty() && o->timeoutMs < 0) o->timeoutMs = kDefaultExpectTimeoutMs;
  return true;
}

// What is left of a deadline as a wait argument: at least 1 ms, at most cap.
int msLeft(const QDeadlineTimer &deadline, qint64 cap = INT_MAX) {
  return int((std::min)((std::max)(qint64(1), deadline.remainingTime()), cap));
}

// Tries until connected or retryMs have passed; each try is bounded too (a busy pipe makes Windows wait).
bool connectWithin(QLocalSocket *socket, const QString &name, int retryMs, QString *error) {
  QDeadlineTimer deadline(retryMs);
  for (;;) {
    socket->connectToServer(name);
    if (socket->waitForConnected((std::max)(kRetryPauseMs, msLeft(deadline, 1000)))) return true;
    // Qt 6.4 words a missing server "Invalid name" on Linux.
    *error = socket->error() == QLocalSocket::ServerNotFoundError ? QStringLiteral("no server listens on that name")
                                                                  : socket->errorString();
    socket->abort();
    if (deadline.hasExpired()) return false;
    QThread::msleep(ulong(msLeft(deadline, kRetryPauseMs)));
  }
}

// Hands each frame to the socket and waits until Qt has nothing left to write; 0 or the exit code of the failure.
// A peer may read a frame and close at once (a shut-down does), before the write is reported done: the close
// alone is no failure.
int writeAll(QLocalSocket *socket, const Options &o) {
  QDeadlineTimer deadline(kWriteLimitMs);
  for (const Frame &frame : o.frames) {
    if (socket->state() != QLocalSocket::ConnectedState)
      return fail(kExitPeerClosed, "the peer closed the connection before: " + frame.line);
    if (socket->write(frame.bytes) != frame.bytes.size())
      return fail(kExitWriteFailed,
                  "cannot write to " + o.serverName.toStdString() + ": " + socket->errorString().toStdString());
    while (socket->bytesToWrite() > 0 && socket->state() == QLocalSocket::ConnectedState && !deadline.hasExpired())
      socket->waitForBytesWritten(msLeft(deadline));
    if (socket->bytesToWrite() > 0) {
      return socket->state() == QLocalSocket::ConnectedState
                 ? fail(kExitWriteFailed,
                        "the frames could not be written within " + std::to_string(kWriteLimitMs) + " ms")
                 : fail(kExitPeerClosed, "the peer closed the connection during: " + frame.line);
    }
    printLine(frame.line);
  }
  return 0;
}

// Prints every frame as it arrives and notes whether the expected type came.
class Printer : public FrameReader::Observer {
public:
  explicit Printer(std::string expected) : expected_(std::move(expected)) {}

  void messageType(const std::string &type) override { seen_ = seen_ || type == expected_; }
  void unknownType(const std::string &type) override { printLine("received " + type); }
  void badMessage(const std::string &type) override { printLine("received " + type + " (body does not decode)"); }
  void badLength(int length) override { std::fprintf(stderr, "bvclient: bad frame length %d\n", length); }
  void badEnvelope(bool decoded, bool hasHeader) override {
    std::fprintf(stderr, "bvclient: a frame without a readable header\n");
  }

  bool seen() const { return seen_; }

private:
  std::string expected_;
  bool seen_ = false;
};

template <class Msg> void printReceived(FrameReader *reader) {
  reader->addHandler<Msg>([](QIODevice *, const Msg &m) { printLine("received " + m.header().type() + fields(m)); });
}

// Reads until the expected type has come (or, with none expected, until the time is up or the peer closes).
int receive(QLocalSocket *socket, const Options &o) {
  Printer printer(o.expect);
  FrameReader reader(kMaxBodyLength, &printer);
  printReceived<ServerExitCodeRequest>(&reader);
  printReceived<ErrMsgOccurRequest>(&reader);
  printReceived<ErrMsgDisappearRequest>(&reader);
  printReceived<CommandRequest>(&reader);
  printReceived<ComponentTypeRequest>(&reader);
  const bool expecting = !o.expect.empty();
  QDeadlineTimer deadline(o.timeoutMs);
  for (;;) {
    reader.readFrames(socket); // also what stays buffered after the peer closed
    if (expecting && printer.seen()) return 0;
    if (socket->state() != QLocalSocket::ConnectedState) {
      return expecting ? fail(kExitPeerClosed, "the peer closed the connection before " + o.expect + " arrived") : 0;
    }
    if (deadline.hasExpired()) {
      return expecting ? fail(kExitTimeOut, "no " + o.expect + " within " + std::to_string(o.timeoutMs) + " ms") : 0;
    }
    socket->waitForReadyRead(msLeft(deadline));
  }
}

} // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (!parse(app.arguments(), &o)) {
    return fail(kExitUsage, "usage: bvclient <server-name> [--retry-ms N] [send shutdown|start|pause|ui]... "
                            "[--expect <MessageType>] [--timeout-ms N]");
  }
  QLocalSocket socket;
  QString error;
  if (!connectWithin(&socket, o.serverName, o.retryMs, &error)) {
    return fail(kExitNoConnection, "cannot connect to " + o.serverName.toStdString() + " within " +
                                       std::to_string(o.retryMs) + " ms: " + error.toStdString());
  }
  int result = writeAll(&socket, o);
  if (result == 0 && o.timeoutMs >= 0) result = receive(&socket, o);
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(1000);
  return result;
}
