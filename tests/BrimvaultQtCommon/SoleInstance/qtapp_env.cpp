// A QCoreApplication for the whole test process (peers need one for their sockets and the program path).
#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

class QtAppEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "bvsole_tests";
    static char *argv[] = {name, nullptr};
    app = new QCoreApplication(argc, argv);
  }
  void TearDown() override {
    delete app;
    app = nullptr;
  }
  QCoreApplication *app = nullptr;
};

[[maybe_unused]] ::testing::Environment *const env = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

} // namespace
