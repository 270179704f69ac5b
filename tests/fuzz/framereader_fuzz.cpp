// The frame reader fed one stream two ways: whole, and in random chunks as a socket may deliver it. Every event
// (frames taken, bad lengths, envelopes, dispatched messages) must come out the same, and once the stream is
// drained what is left must be no more than an unfinished frame.
#include <QByteArray>
#include <QIODevice>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Protocol/framereader.h"

namespace {

// A connection's read side: bytes arrive with feed() and are read in order.
class ChunkDevice : public QIODevice {
public:
  ChunkDevice() { open(QIODevice::ReadOnly); }
  void feed(const char *data, size_t size) { m_data.append(data, qsizetype(size)); }
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override { return m_data.size() - m_pos + QIODevice::bytesAvailable(); }

protected:
  qint64 readData(char *out, qint64 max) override {
    const qint64 n = std::min<qint64>(max, m_data.size() - m_pos);
    if (n > 0) std::memcpy(out, m_data.constData() + m_pos, size_t(n));
    m_pos += n;
    return n;
  }
  qint64 writeData(const char *, qint64) override { return -1; }

private:
  QByteArray m_data;
  qint64 m_pos = 0;
};

class Recorder : public FrameReader::Observer {
public:
  std::vector<std::string> events;
  void noMoreData() override { events.push_back("nodata"); }
  void badLength(int length) override { events.push_back("bad " + std::to_string(length)); }
  void frameLength(int length) override { events.push_back("length " + std::to_string(length)); }
  void badEnvelope(bool decoded, bool hasHeader) override {
    events.push_back(std::string("envelope ") + char('0' + decoded) + char('0' + hasHeader));
  }
  void messageType(const std::string &type) override { events.push_back("type " + type); }
  void badMessage(const std::string &type) override { events.push_back("undecodable " + type); }
  void unknownType(const std::string &type) override { events.push_back("unknown " + type); }
};

struct Outcome {
  std::vector<std::string> events;
  qint64 left = 0;
  QByteArray tail;
};

// Splits the stream at the given cut points (empty: whole), calling the reader after each arrival as readyRead
// would, then once more per arrival until nothing more is taken.
Outcome run(const char *stream, size_t size, int maxBody, const std::vector<size_t> &cuts) {
  Recorder recorder;
  FrameReader reader(maxBody, &recorder);
  auto record = [&recorder](const char *kind, const google::protobuf::Message &m) {
    recorder.events.push_back(std::string(kind) + " " + m.SerializeAsString());
  };
  reader.addHandler<CommandRequest>([&](QIODevice *, const CommandRequest &m) { record("command", m); });
  reader.addHandler<ComponentTypeRequest>([&](QIODevice *, const ComponentTypeRequest &m) { record("component", m); });
  reader.addHandler<ErrMsgOccurRequest>([&](QIODevice *, const ErrMsgOccurRequest &m) { record("occur", m); });

  ChunkDevice device;
  size_t at = 0;
  for (size_t cut : cuts) {
    device.feed(stream + at, cut - at);
    at = cut;
    reader.readFrames(&device);
  }
  device.feed(stream + at, size - at);
  for (;;) {
    const qint64 before = device.bytesAvailable();
    reader.readFrames(&device);
    if (device.bytesAvailable() == before) break;
  }
  Outcome out;
  out.events = std::move(recorder.events);
  out.left = device.bytesAvailable();
  out.tail = device.peek(8);
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Two leading bytes pick the length limit and the chunking; the rest is the stream.
  if (size < 2) return 0;
  const int maxBody = 1 + (data[0] % 64) * 64;
  uint32_t seed = 0x9E3779B9u ^ data[1];
  const char *stream = reinterpret_cast<const char *>(data + 2);
  const size_t length = size - 2;

  std::vector<size_t> cuts;
  for (size_t at = 0;;) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    at += 1 + seed % (data[1] & 1 ? 3 : 40); // odd seeds cut into tiny pieces
    if (at >= length) break;
    cuts.push_back(at);
  }

  const Outcome whole = run(stream, length, maxBody, {});
  const Outcome chunked = run(stream, length, maxBody, cuts);
  if (whole.events != chunked.events || whole.left != chunked.left) std::abort();

  // Drained: at most a length's worth of bytes, or a valid length whose body has not all arrived.
  if (whole.left > 4) {
    const int next = parseLengthFromArray(whole.tail);
    if (next < 1 || next > maxBody || whole.left >= 4 + next) std::abort();
  }
  return 0;
}
