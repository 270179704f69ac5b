// The reader shared by both programs' socket servers: takes every complete frame buffered on a connection, reads
// its envelope (BaseMessage) and hands the message to the handler registered for its header.type.
//
// It never waits. A frame is consumed only once it is wholly buffered; anything less stays in the connection's own
// buffer for the next call, so the reader keeps no state between calls and one reader serves every connection.
// A length below 1 or above the server's limit consumes its 4 bytes and ends the call; what follows is read as a
// length on the next call. Servers call readFrames on every readyRead of an accepted socket.
#pragma once

#include <QByteArray>
#include <QIODevice>

#include <functional>
#include <string>
#include <vector>

#include "Protocol/frame.h"
#include "Protocol/protobufadapter.h"

class QLocalSocket;

class FrameReader {
public:
  // What the reader meets, for a server that reports it; every default does nothing.
  class Observer {
  public:
    virtual ~Observer() = default;
    virtual void noMoreData() {}                      // the length could not be read
    virtual void badLength(int length) {}             // below 1 or above the limit: 4 bytes consumed, call ended
    virtual void frameLength(int length) {}           // a complete frame of this body length is taken
    virtual void badEnvelope(bool decoded, bool hasHeader) {} // body skipped
    virtual void messageType(const std::string &type) {}      // envelope read
    virtual void badMessage(const std::string &type) {}       // handled type, but the body does not decode as it
    virtual void unknownType(const std::string &type) {}      // no handler for the type
  };

  // Bodies longer than maxBodyLength are refused like a bad length, so a client cannot make the server buffer
  // more than one frame of that size.
  explicit FrameReader(int maxBodyLength, Observer *observer = nullptr);

  // action(QIODevice *from, const Msg &message) runs for each frame whose header.type is exactly Msg's name and
  // whose body decodes as Msg. Names are compared in the order of registration. An action must not destroy the
  // reader; it may close or delete the connection it was called for.
  template <class Msg, class Action> void addHandler(Action action) {
    m_handlers.push_back({Msg::descriptor()->name(),
                          [action](QIODevice *from, const QByteArray &body, const QProtobufSerializer &serializer) {
                            Msg message;
                            qRegisterProtobufTypes();
                            if (!serializer.deserialize(&message, body)) return false;
                            action(from, message);
                            return true;
                          }});
  }

  // Lets the connection buffer no more than one frame of the largest accepted size.
  void limitReadBuffer(QLocalSocket *socket) const;

  // Handles every complete frame buffered on the device (null: nothing).
  void readFrames(QIODevice *device);

  int maxBodyLength() const { return m_maxBodyLength; }

private:
  struct Handler {
    std::string type;
    std::function<bool(QIODevice *, const QByteArray &, const QProtobufSerializer &)> run;
  };

  void dispatch(QIODevice *from, const QByteArray &body);

  int m_maxBodyLength;
  Observer *m_observer;
  std::vector<Handler> m_handlers;
};
