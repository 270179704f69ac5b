// The protobuf runtime behind the names the programs use for their messages: registration, the serializer and the
// per-enum namespaces. Program code includes this header rather than the protobuf headers.
#pragma once

#include <QByteArray>

#include "message.pb.h"

// Checks once that the protobuf headers match the linked runtime; the generated types register themselves.
void qRegisterProtobufTypes();

// Turns a message into its standard binary encoding and back.
class QProtobufSerializer {
public:
  QByteArray serialize(const google::protobuf::MessageLite &message) const;
  // False when the bytes are not a valid encoding of the message (strings must be UTF-8). The caller reports the
  // failure in its own words; protobuf may also note invalid UTF-8 on its own log (stderr), which no stable API of
  // every supported version can silence.
  bool deserialize(google::protobuf::MessageLite *message, const QByteArray &data) const;
};

// Each enum under a namespace of its own, as Qt's generator names them.
namespace ComponentTypeGadget {
using ComponentType = ::ComponentType;
}
namespace DeviceTypeGadget {
using DeviceType = ::DeviceType;
}
namespace OperateSystemTypeGadget {
using OperateSystemType = ::OperateSystemType;
}
namespace CommandTypeGadget {
using CommandType = ::CommandType;
}
namespace ReasonTypeGadget {
using ReasonType = ::ReasonType;
}
namespace ServiceCommandTypeGadget {
using ServiceCommandType = ::ServiceCommandType;
}
namespace MessageTypeGadget {
using MessageType = ::MessageType;
}
