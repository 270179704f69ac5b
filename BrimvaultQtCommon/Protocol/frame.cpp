#include "Protocol/frame.h"

#include <QtDebug>
#include <QtEndian>

void prependLength(QByteArray &body) {
  const quint32 n = static_cast<quint32>(body.size());
  const char prefix[kFrameLengthSize] = {static_cast<char>((n >> 24) & 0xFF), static_cast<char>((n >> 16) & 0xFF),
                                         static_cast<char>((n >> 8) & 0xFF), static_cast<char>(n & 0xFF)};
  body.prepend(prefix, kFrameLengthSize);
}

int parseLengthFromArray(const QByteArray &data) {
  if (data.size() < kFrameLengthSize) {
    qWarning("Data is too short to contain a length.");
    return -1;
  }
  return qFromBigEndian<qint32>(data.constData());
}
