#include "Protocol/protobufadapter.h"

#include <google/protobuf/stubs/common.h>

#include <climits>
#include <mutex>

void qRegisterProtobufTypes() {
  static std::once_flag checked;
  std::call_once(checked, [] { GOOGLE_PROTOBUF_VERIFY_VERSION; });
}

QByteArray QProtobufSerializer::serialize(const google::protobuf::MessageLite &message) const {
  const size_t size = message.ByteSizeLong();
  if (size > static_cast<size_t>(INT_MAX)) return QByteArray();
  QByteArray out(static_cast<qsizetype>(size), Qt::Uninitialized);
  if (!message.SerializeToArray(out.data(), static_cast<int>(size))) return QByteArray();
  return out;
}

bool QProtobufSerializer::deserialize(google::protobuf::MessageLite *message, const QByteArray &data) const {
  if (!message || data.size() > INT_MAX) return false;
  return message->ParseFromArray(data.constData(), static_cast<int>(data.size()));
}
