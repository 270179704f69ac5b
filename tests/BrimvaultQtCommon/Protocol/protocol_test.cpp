// The schema and the frame writer: known byte encodings and the command values.
#include <gtest/gtest.h>

#include <QString>
#include <QtGlobal>

#include "Protocol/frame.h"
#include "Protocol/protobufadapter.h"

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

TEST(ProtocolFrame, ExampleFramesEncodeByteForByte) {
  ServerExitCodeRequest exitCode;
  exitCode.set_exitcode(1115);
  EXPECT_EQ(writeFrame(exitCode), hex("0000001E0A190A15") + "ServerExitCodeRequest" + hex("100110DB08"));

  CommandRequest shutDown;
  shutDown.set_command(CommandTypeGadget::CommandType::SHUT_DOWN);
  EXPECT_EQ(writeFrame(shutDown), hex("000000160A120A0E") + "CommandRequest" + hex("10011001"));

  // A negative int32 is a ten-byte varint.
  ServerExitCodeRequest negative;
  negative.set_exitcode(-1);
  EXPECT_TRUE(writeFrame(negative).endsWith(hex("10FFFFFFFFFFFFFFFFFF01")));
}

TEST(ProtocolFrame, LengthPrefixIsBigEndianBothWays) {
  QByteArray body(300, 'x');
  prependLength(body);
  EXPECT_EQ(body.left(4), hex("0000012C"));
  EXPECT_EQ(body.size(), 304);

  EXPECT_EQ(parseLengthFromArray(hex("0000001E")), 30);
  EXPECT_EQ(parseLengthFromArray(hex("7FFFFFFF0102")), 0x7FFFFFFF); // later bytes ignored
  EXPECT_EQ(parseLengthFromArray(hex("80000000")), INT_MIN);
  EXPECT_EQ(parseLengthFromArray(hex("FFFFFFFF")), -1);

  static QString warning;
  warning.clear();
  QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtWarningMsg) warning = msg;
      });
  EXPECT_EQ(parseLengthFromArray(hex("000000")), -1);
  qInstallMessageHandler(previous);
  EXPECT_EQ(warning, "Data is too short to contain a length.");
}

TEST(ProtocolSchema, CommandValuesOnTheWire) {
  // The other side of the socket decodes these numbers.
  EXPECT_EQ(CommandTypeGadget::CommandType::PAUSE, 7);
  EXPECT_EQ(ComponentTypeGadget::ComponentType::COMPONENT_TYPE_USB, 2);
  // A command request without field 2 carries no command.
  CommandRequest bare;
  ASSERT_TRUE(QProtobufSerializer().deserialize(&bare, hex("0A120A0E") + "CommandRequest" + hex("1001")));
  EXPECT_EQ(bare.command(), CommandTypeGadget::CommandType::UNKNOWN_COMMAND);
}

} // namespace
