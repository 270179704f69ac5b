// Messages between a service process, its controller and the control manager's clients: Unix sequenced-packet
// sockets in the abstract namespace (no files to go stale; the name dies with the controller), one message per packet.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <cstdint>
#include <string>

namespace emu {
namespace scmwire {

enum MessageType : uint32_t {
  HelloControl = 1, // service -> controller: u32 pid; the dispatcher's control connection
  HelloStatus,      // service -> controller: u32 pid; the connection SetServiceStatus reports on
  HelloReply,       // controller -> service: u32 error, then the main function's arguments (name first)
  Status,           // service -> controller: SERVICE_STATUS
  StatusAck,        // controller -> service: u32 error
  Control,          // client -> controller -> service: u32 seq, u32 control, u32 event type, event data bytes
  ControlReply,     // service -> controller: u32 seq, u32 handler result
                    // controller -> client: u32 error, u32 handler result, SERVICE_STATUS
  Ping,             // client -> controller
  Pong,             // controller -> client: u32 service pid, SERVICE_STATUS
};

constexpr size_t kMaxEventData = 64 * 1024;
constexpr size_t kMaxMessage = kMaxEventData + 256;

// Abstract socket names of a service entry folder: "ctl" (clients) and "svc" (the service process).
std::string socketName(const std::string &serviceFolder, const char *which);

// A listening socket, or -1 with errno set (EADDRINUSE: someone else serves that name).
int listenOn(const std::string &name);
// A connected socket, or -1. Blocking, close-on-exec.
int connectTo(const std::string &name);

bool sendMessage(int fd, uint32_t type, const std::string &payload);
// Waits up to timeoutMs (-1: no limit) for one message. false on time-out, EOF, error or a malformed packet.
bool receiveMessage(int fd, uint32_t *type, std::string *payload, int timeoutMs);
// Sends a request and waits for its answer of the expected type.
bool transact(int fd, uint32_t type, const std::string &payload, uint32_t replyType, std::string *reply,
              int timeoutMs);

// Little reader/writer for payloads.
void putU32(std::string &out, uint32_t value);
void putBytes(std::string &out, const std::string &bytes);
void putStatus(std::string &out, const SERVICE_STATUS &status);
struct Reader {
  const std::string &data;
  size_t pos = 0;
  bool ok = true;
  explicit Reader(const std::string &d) : data(d) {}
  uint32_t u32();
  std::string bytes(); // u32 length, then the bytes
  SERVICE_STATUS status();
  std::string rest();
};

} // namespace scmwire
} // namespace emu
