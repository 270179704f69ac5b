// The frame on both programs' local sockets: a 4-byte big-endian body length, then the body, one message encoded
// in the standard protobuf form. Frames follow each other without a gap.
#pragma once

#include <QByteArray>

#include "Protocol/protobufadapter.h"

constexpr int kFrameLengthSize = 4;

// Puts the body's length, as an unsigned 32-bit big-endian value, in front of it.
void prependLength(QByteArray &body);

// The first four bytes as a big-endian signed 32-bit length; -1, with a Qt warning, when there are fewer.
int parseLengthFromArray(const QByteArray &data);

// The frame of one outgoing message: its header names the message and carries version 1.
template <class Msg> QByteArray writeFrame(Msg &message) {
  Header *header = message.mutable_header();
  header->set_type(Msg::descriptor()->name());
  header->set_version(1);
  qRegisterProtobufTypes();
  QProtobufSerializer serializer;
  QByteArray frame = serializer.serialize(message);
  prependLength(frame);
  return frame;
}
