#include "service/wire.h"

#include "emu/hold.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace emu {
namespace scmwire {

namespace {

uint64_t fnv1a(const std::string &text) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

socklen_t fillAddress(const std::string &name, sockaddr_un *addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  // Abstract namespace: a leading NUL, then the name (not NUL-terminated).
  size_t n = std::min(name.size(), sizeof(addr->sun_path) - 1);
  std::memcpy(addr->sun_path + 1, name.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

} // namespace

std::string socketName(const std::string &serviceFolder, const char *which) {
  // The same folder reached through another spelling of the root must give the same name.
  std::string key = serviceFolder;
  if (char *real = ::realpath(serviceFolder.c_str(), nullptr)) {
    key = real;
    std::free(real);
  }
  char hash[17];
  std::snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(fnv1a(key)));
  return std::string("brimvault-win32-scm/") + hash + "/" + which;
}

int listenOn(const std::string &name) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr;
  socklen_t len = fillAddress(name, &addr);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 16) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int connectTo(const std::string &name) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr;
  socklen_t len = fillAddress(name, &addr);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendMessage(int fd, uint32_t type, const std::string &payload) {
  if (fd < 0 || payload.size() + 4 > kMaxMessage) return false;
  chaosPoint("scm.send");
  std::string packet;
  putU32(packet, type);
  packet += payload;
  ssize_t n;
  do {
    n = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(packet.size());
}

bool receiveMessage(int fd, uint32_t *type, std::string *payload, int timeoutMs) {
  if (fd < 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, wait);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    break;
  }
  std::string buffer(kMaxMessage, '\0');
  ssize_t n;
  do {
    n = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
  } while (n < 0 && errno == EINTR);
  if (n < 4 || static_cast<size_t>(n) > buffer.size()) return false; // EOF, error or an oversized packet
  buffer.resize(static_cast<size_t>(n));
  Reader r(buffer);
  *type = r.u32();
  *payload = r.rest();
  chaosPoint("scm.receive");
  return true;
}

bool transact(int fd, uint32_t type, const std::string &payload, uint32_t replyType, std::string *reply,
              int timeoutMs) {
  if (!sendMessage(fd, type, payload)) return false;
  uint32_t got = 0;
  return receiveMessage(fd, &got, reply, timeoutMs) && got == replyType;
}

void putU32(std::string &out, uint32_t value) {
  char b[4];
  std::memcpy(b, &value, 4);
  out.append(b, 4);
}

void putBytes(std::string &out, const std::string &bytes) {
  putU32(out, static_cast<uint32_t>(bytes.size()));
  out += bytes;
}

void putStatus(std::string &out, const SERVICE_STATUS &status) {
  out.append(reinterpret_cast<const char *>(&status), sizeof(status));
}

uint32_t Reader::u32() {
  if (!ok || data.size() - pos < 4) {
    ok = false;
    return 0;
  }
  uint32_t v;
  std::memcpy(&v, data.data() + pos, 4);
  pos += 4;
  return v;
}

std::string Reader::bytes() {
  uint32_t n = u32();
  if (!ok || data.size() - pos < n) {
    ok = false;
    return {};
  }
  std::string s = data.substr(pos, n);
  pos += n;
  return s;
}

SERVICE_STATUS Reader::status() {
  SERVICE_STATUS s{};
  if (!ok || data.size() - pos < sizeof(s)) {
    ok = false;
    return s;
  }
  std::memcpy(&s, data.data() + pos, sizeof(s));
  pos += sizeof(s);
  return s;
}

std::string Reader::rest() {
  std::string s = ok ? data.substr(pos) : std::string();
  pos = data.size();
  return s;
}

} // namespace scmwire
} // namespace emu
