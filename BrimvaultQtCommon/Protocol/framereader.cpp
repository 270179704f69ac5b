#include "Protocol/framereader.h"

#include <QLocalSocket>
#include <QPointer>

namespace {
FrameReader::Observer g_silent;
}

FrameReader::FrameReader(int maxBodyLength, Observer *observer)
    : m_maxBodyLength(maxBodyLength), m_observer(observer ? observer : &g_silent) {}

void FrameReader::limitReadBuffer(QLocalSocket *socket) const {
  if (socket) socket->setReadBufferSize(kFrameLengthSize + static_cast<qint64>(m_maxBodyLength));
}

void FrameReader::readFrames(QIODevice *device) {
  // An action may close or delete the connection (deleteLater is the rule, but do not rely on it).
  QPointer<QIODevice> alive(device);
  while (alive && device->isReadable() && device->bytesAvailable() > kFrameLengthSize) {
    char prefix[kFrameLengthSize];
    if (device->peek(prefix, kFrameLengthSize) != kFrameLengthSize) {
      m_observer->noMoreData();
      return;
    }
    const int length = parseLengthFromArray(QByteArray::fromRawData(prefix, kFrameLengthSize));
    if (length < 1 || length > m_maxBodyLength) {
      device->skip(kFrameLengthSize);
      m_observer->badLength(length);
      return;
    }
    if (device->bytesAvailable() < kFrameLengthSize + static_cast<qint64>(length)) return; // rest comes later
    device->skip(kFrameLengthSize);
    m_observer->frameLength(length);
    const QByteArray body = device->read(length);
    if (body.size() != length) { // the device lost what it reported as buffered
      m_observer->noMoreData();
      return;
    }
    dispatch(device, body);
  }
}

void FrameReader::dispatch(QIODevice *from, const QByteArray &body) {
  qRegisterProtobufTypes();
  QProtobufSerializer serializer;
  BaseMessage envelope;
  const bool decoded = serializer.deserialize(&envelope, body);
  if (!decoded || !envelope.has_header()) {
    m_observer->badEnvelope(decoded, decoded && envelope.has_header());
    return;
  }
  const std::string &type = envelope.header().type();
  m_observer->messageType(type);
  for (const Handler &handler : m_handlers) {
    if (handler.type != type) continue;
    if (!handler.run(from, body, serializer)) m_observer->badMessage(type);
    return;
  }
  m_observer->unknownType(type);
}
