// bvclient against a server of the test's own: what it sends is read back with the programs' frame reader, what it
// receives it prints, and its exit code tells whether the expected frame came.
#include <gtest/gtest.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>

#include <string>
#include <vector>

#include "Protocol/framereader.h"
#include "sockettest.h"
#include "testenv.h"

using namespace sockettest;

namespace {

TEST(BvClient, SendsTheNamedFramesAndPrintsWhatComesUntilTheExpectedTypeOrTheClose) {
  app();
  const QString name = QStringLiteral("bvclient-test");
  QLocalServer server;
  ASSERT_TRUE(server.listen(name)) << server.errorString().toStdString();
  std::vector<std::string> got;
  FrameReader reader(1024);
  reader.addHandler<ComponentTypeRequest>([&](QIODevice *, const ComponentTypeRequest &m) {
    got.push_back(m.header().type() + " v" + std::to_string(m.header().version()) + " " + ComponentType_Name(m.type()));
  });
  reader.addHandler<CommandRequest>([&](QIODevice *, const CommandRequest &m) {
    got.push_back(m.header().type() + " v" + std::to_string(m.header().version()) + " " +
                  CommandType_Name(m.command()));
  });
  QLocalSocket *peer = nullptr;
  QObject::connect(&server, &QLocalServer::newConnection, [&] {
    peer = server.nextPendingConnection();
    QObject::connect(peer, &QLocalSocket::readyRead, [&reader, socket = peer] { reader.readFrames(socket); });
  });
  const auto run = [](QProcess *client, const QStringList &args) {
    client->start(QString::fromStdString(testenv::binDir()) + "/bvclient", args);
  };
  const auto ended = [](QProcess *client) {
    return waitFor([client] { return client->state() == QProcess::NotRunning; });
  };

  // Declares itself and asks for a shut-down; prints what comes, and ends once the exit code has come.
  QProcess first;
  run(&first, {name, "send", "ui", "send", "shutdown", "--expect", "ServerExitCodeRequest", "--timeout-ms", "20000"});
  ASSERT_TRUE(waitFor([&] { return got.size() == 2; }));
  EXPECT_EQ(got,
            (std::vector<std::string>{"ComponentTypeRequest v1 COMPONENT_TYPE_UI", "CommandRequest v1 SHUT_DOWN"}));
  ErrMsgDisappearRequest gone;
  gone.set_code(3);
  gone.set_what("disk");
  gone.set_index(2);
  ServerExitCodeRequest exitCode;
  exitCode.set_exitcode(1115);
  peer->write(writeFrame(gone) + writeFrame(exitCode));
  ASSERT_TRUE(ended(&first));
  EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
  EXPECT_EQ(first.readAllStandardOutput().toStdString(),
            "sent ComponentTypeRequest type=COMPONENT_TYPE_UI\nsent CommandRequest command=SHUT_DOWN\n"
            "received ErrMsgDisappearRequest code=3 what=\"disk\" index=2\n"
            "received ServerExitCodeRequest exitCode=1115\n");

  // The server writes one frame and closes at once: the frame is still printed, and the close ends the wait.
  QProcess second;
  run(&second, {name, "send", "pause", "--expect", "ServerExitCodeRequest", "--timeout-ms", "20000"});
  ASSERT_TRUE(waitFor([&] { return got.size() == 3; }));
  EXPECT_EQ(got[2], "CommandRequest v1 PAUSE");
  ErrMsgOccurRequest occur;
  occur.set_code(1);
  occur.set_errmsg("boom");
  occur.set_index(-1);
  peer->write(writeFrame(occur));
  peer->disconnectFromServer();
  ASSERT_TRUE(ended(&second));
  EXPECT_EQ(second.exitCode(), 6);
  EXPECT_EQ(
      second.readAllStandardOutput().toStdString(),
      "sent CommandRequest command=PAUSE\nreceived ErrMsgOccurRequest code=1 errMsg=\"boom\" what=\"\" index=-1\n");
  EXPECT_NE(second.readAllStandardError().indexOf("closed"), -1);
}

} // namespace
