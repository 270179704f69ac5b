// The service's signal hub: one instance per process, and the signal set others connect to by name and form.
#include <gtest/gtest.h>

#include "signalcenter.h"

#include <QMetaMethod>
#include <QObject>
#include <QString>

#include <string>
#include <vector>

namespace {

// The hub's parent lives for the whole process, as the application object does in main.
QObject *processParent() {
  static QObject *parent = new QObject;
  return parent;
}

SignalCenter *hub() {
  SignalCenter::createInstance(processParent());
  return SignalCenter::instance();
}

} // namespace

// Declared first so that it also holds when the whole binary runs in one process.
TEST(SignalCenter, InstanceIsNullBeforeCreate) { EXPECT_EQ(SignalCenter::instance(), nullptr); }

TEST(SignalCenter, SecondCreateKeepsTheFirstHubAndItsParent) {
  SignalCenter *first = hub();
  ASSERT_NE(first, nullptr);
  QObject other;
  SignalCenter::createInstance(&other);
  EXPECT_EQ(SignalCenter::instance(), first);
  EXPECT_EQ(first->parent(), processParent());
  EXPECT_TRUE(other.findChildren<SignalCenter *>().isEmpty());
  EXPECT_EQ(processParent()->findChildren<SignalCenter *>().size(), 1);
}

TEST(SignalCenter, ShortFormsOfErrOccurSignalReachFullFormReceiversWithDefaults) {
  SignalCenter *center = hub();
  ASSERT_NE(center, nullptr);
  struct Got {
    int which;
    QString errMsg, what;
    int index;
  };
  std::vector<Got> got;
  QObject receiver;
  QObject::connect(center, &SignalCenter::errOccurSignal, &receiver,
                   [&](int which, QString errMsg, QString what, int index) {
                     got.push_back({which, errMsg, what, index});
                   });
  emit center->errOccurSignal(3, QStringLiteral("disk"));
  emit center->errOccurSignal(4, QStringLiteral("port"), QStringLiteral("COM3"));
  emit center->errOccurSignal(5, QStringLiteral("usb"), QStringLiteral("hub"), 2);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].which, 3);
  EXPECT_EQ(got[0].errMsg, "disk");
  EXPECT_TRUE(got[0].what.isEmpty());
  EXPECT_EQ(got[0].index, -1);
  EXPECT_EQ(got[1].what, "COM3");
  EXPECT_EQ(got[1].index, -1);
  EXPECT_EQ(got[2].index, 2);
}

TEST(SignalCenter, SignalsAreDeclaredInTheOrderThatFixesTheirMethodIndices) {
  const QMetaObject &meta = SignalCenter::staticMetaObject;
  std::vector<std::string> signatures;
  for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
    const QMetaMethod m = meta.method(i);
    EXPECT_EQ(m.methodType(), QMetaMethod::Signal) << m.methodSignature().toStdString();
    signatures.push_back(m.methodSignature().toStdString());
  }
  const std::vector<std::string> expected = {
      "errOccurSignal(int,QString,QString,int)", "errOccurSignal(int,QString,QString)", "errOccurSignal(int,QString)",
      "errDisappearSignal(int,QString,int)",     "uiEvent(int,int,std::string)",        "quitSig()",
      "serverExitCode(int)"};
  EXPECT_EQ(signatures, expected);
  EXPECT_EQ(meta.propertyCount(), meta.propertyOffset());
}
