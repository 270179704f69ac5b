// The application object: first-instance check, messages re-emitted, and the window raised on a message.
#include <gtest/gtest.h>

#include <QWidget>

#include <cstdlib>
#include <future>

#include "SoleInstance/soleinstanceapplication.h"
#include "SoleInstance/soleinstancepeer.h"
#include "soletest.h"

using soletest::spinUntil;

namespace {

const QString kAppId = "{35978AEE-2B2C-BA1C-60CF-247925932DB5}";

SoleInstanceApplication *g_app = nullptr;

class AppEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "bvsole_app_tests";
    static char *argv[] = {name, nullptr};
    g_app = new SoleInstanceApplication(kAppId, argc, argv);
    ASSERT_FALSE(g_app->isOtherInstanceRunning());
  }
  void TearDown() override {
    delete g_app;
    g_app = nullptr;
  }
};

[[maybe_unused]] ::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

// A later instance on its own thread; true when acknowledged.
bool sendFromLaterInstance(const QString &message) {
  auto f = std::async(std::launch::async, [message] {
    SoleInstancePeer peer(nullptr, kAppId);
    return peer.sendMessage(message, 5000);
  });
  EXPECT_TRUE(spinUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  return f.get();
}

} // namespace

TEST(SoleInstanceApplication, TheFirstInstanceReEmitsMessagesAndSendsNothingToItself) {
  EXPECT_EQ(g_app->applicationId(), kAppId);
  EXPECT_FALSE(g_app->isOtherInstanceRunning());
  EXPECT_FALSE(g_app->sendMessage("RAISE_WINDOW"));

  QStringList received;
  auto c = QObject::connect(g_app, &SoleInstanceApplication::messageReceived,
                            [&](const QString &m) { received << m; });
  EXPECT_TRUE(sendFromLaterInstance("RAISE_WINDOW"));
  QObject::disconnect(c);
  EXPECT_EQ(received, QStringList{"RAISE_WINDOW"});
}

TEST(SoleInstanceApplication, AMessageRaisesTheChosenWindowOnlyWhileAskedTo) {
  g_app->activateWindow(); // no window chosen: nothing to do
  EXPECT_EQ(g_app->windowToActivate(), nullptr);

  QWidget window;
  window.showMinimized();
  window.hide();
  ASSERT_FALSE(window.isVisible());

  // Chosen twice, then switched off once: a message no longer raises it.
  g_app->setWindowToActivate(&window, true);
  g_app->setWindowToActivate(&window, true);
  g_app->setWindowToActivate(&window, false);
  EXPECT_EQ(g_app->windowToActivate(), &window);
  EXPECT_TRUE(sendFromLaterInstance("RAISE_WINDOW"));
  QCoreApplication::processEvents();
  EXPECT_FALSE(window.isVisible());

  g_app->setWindowToActivate(&window, true);
  EXPECT_TRUE(sendFromLaterInstance("RAISE_WINDOW"));
  EXPECT_TRUE(spinUntil([&] { return window.isVisible(); }));
  EXPECT_FALSE(window.windowState() & Qt::WindowMinimized);

  // Without the connection a direct call still raises the window.
  g_app->setWindowToActivate(&window, false);
  window.showMinimized();
  window.hide();
  g_app->activateWindow();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.windowState() & Qt::WindowMinimized);
  g_app->setWindowToActivate(nullptr, false);
}
