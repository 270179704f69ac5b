// The schema and the frame writer: known byte encodings and the shape of the schema.
#include <gtest/gtest.h>

#include <QString>
#include <QtGlobal>

#include <google/protobuf/descriptor.h>

#include <set>

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

TEST(ProtocolSchema, HasTheAgreedShape) {
  const auto *file = Header::descriptor()->file();
  EXPECT_EQ(file->package(), "");
  EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO3);
  ASSERT_EQ(file->message_type_count(), 46);
  ASSERT_EQ(file->enum_type_count(), 7);

  const std::set<std::string> dataMessages = {"Header",     "GpuInfo",       "Resolution",
                                              "DeviceInfo", "USBSocketInfo", "CommonUSBSocketInfo"};
  int fields = 0;
  for (int m = 0; m < file->message_type_count(); ++m) {
    const auto *message = file->message_type(m);
    SCOPED_TRACE(message->name());
    EXPECT_EQ(message->nested_type_count() + message->enum_type_count() + message->oneof_decl_count(), 0);
    for (int f = 0; f < message->field_count(); ++f) EXPECT_EQ(message->field(f)->number(), f + 1);
    fields += message->field_count();
    const auto *first = message->field(0);
    const bool travelsAlone = first->name() == "header";
    EXPECT_NE(travelsAlone, dataMessages.count(message->name()) == 1);
    if (travelsAlone) {
      EXPECT_EQ(first->message_type(), Header::descriptor());
    }
  }
  EXPECT_EQ(fields, 131);
  for (int e = 0; e < file->enum_type_count(); ++e) EXPECT_EQ(file->enum_type(e)->value(0)->number(), 0);
  EXPECT_EQ(CommandTypeGadget::CommandType::PAUSE, 7);

  // A command request without field 2 carries no command.
  CommandRequest bare;
  ASSERT_TRUE(QProtobufSerializer().deserialize(&bare, hex("0A120A0E") + "CommandRequest" + hex("1001")));
  EXPECT_EQ(bare.command(), CommandTypeGadget::CommandType::UNKNOWN_COMMAND);
  EXPECT_EQ(ComponentTypeGadget::ComponentType::COMPONENT_TYPE_USB, 2);
}

} // namespace
