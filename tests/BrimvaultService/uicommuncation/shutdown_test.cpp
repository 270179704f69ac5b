// The service's socket server at the end of the program, in main's order: the hub and then the server are children
// of one owner, so the hub is destroyed first. A user-interface client that has stopped reading keeps frames waiting
// to leave; a SHUT_DOWN it sends while the program ends must reach no hub, neither during main's bounded flush nor
// when the server is destroyed (under ASan a frame handled then is a use after free).
#include <gtest/gtest.h>

#include <QDir>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "signalcenter.h"
#include "sockettest.h"
#include "uicommuncation.h"

using namespace sockettest;

namespace {

// A client on a bare socket that reads nothing unless told to.
class SilentClient {
public:
  SilentClient() {
    const QByteArray path = (QDir::tempPath() + "/Brimvault-Service-Socket").toLocal8Bit();
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.constData(), sizeof(addr.sun_path) - 1);
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
  }
  ~SilentClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }
  bool send(const QByteArray &bytes) { return ::send(fd_, bytes.constData(), bytes.size(), MSG_NOSIGNAL) == bytes.size(); }
  qint64 readSome() {
    char buf[256];
    return ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
  }

private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(UiCommuncationShutdown, AShutDownSentWhileTheProgramEndsReachesNoHub) {
  app();
  auto *owner = new QObject;
  SignalCenter::createInstance(owner);
  SignalCenter *hub = SignalCenter::instance();
  ASSERT_NE(hub, nullptr);
  int quits = 0;
  QObject::connect(hub, &SignalCenter::quitSig, hub, [&quits] { ++quits; });
  auto *ui = new UiCommuncation(owner);
  ui->initConnections();
  ui->startListen();

  SilentClient client;
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send(componentFrame(COMPONENT_TYPE_UI)));
  emit hub->serverExitCode(1115); // queued until the declaration is read, then written to the client
  ASSERT_TRUE(waitFor([&] { return client.readSome() > 0; }));

  // The client stops reading: a frame far larger than the socket's buffers stays waiting to leave.
  emit hub->errOccurSignal(1, QString(4 * 1024 * 1024, QLatin1Char('x')));
  settle();
  ASSERT_TRUE(client.send(commandFrame(SHUT_DOWN)));
  EXPECT_FALSE(ui->flushBeforeExit(200)); // the big frame cannot leave
  EXPECT_EQ(quits, 0);

  ASSERT_TRUE(client.send(commandFrame(SHUT_DOWN)));
  delete owner; // the hub goes first, then the server
  EXPECT_EQ(SignalCenter::instance(), nullptr);
}

} // namespace
