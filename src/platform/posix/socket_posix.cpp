#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/address_list.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace korvane::platform {

namespace {
constexpr int kReceiveSliceMs = 20;
}  // namespace

bool SocketsStartup() { return true; }
void SocketsCleanup() {}

int Resolve(const char* host, const char* port, std::vector<ResolvedAddress>* out) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, port, &hints, &list);
  if (rc != 0) {
    errno = EHOSTUNREACH;
    return rc;
  }
  CopyAddressList(list, out);
  freeaddrinfo(list);
  return 0;
}

SocketHandle OpenSocket(const ResolvedAddress& address) {
  const int fd = socket(address.family, address.socket_type | SOCK_CLOEXEC, address.protocol);
  return fd < 0 ? kInvalidSocket : fd;
}

bool SetNonBlocking(SocketHandle socket, bool non_blocking) {
  const int fd = static_cast<int>(socket);
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, non_blocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address) {
  const int rc = connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(address.bytes),
                         static_cast<socklen_t>(address.length));
  if (rc == 0) return ConnectStart::kConnected;
  return errno == EINPROGRESS ? ConnectStart::kInProgress : ConnectStart::kFailed;
}

int PendingError(SocketHandle socket) {
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
  return error;
}

bool SetStreamOptions(SocketHandle socket) {
  const int fd = static_cast<int>(socket);
  const int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) return false;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A receive never blocks longer than one slice, so RecvWait can wait in recv itself and
  // save the poll call on the request path.
  timeval slice{};
  slice.tv_usec = kReceiveSliceMs * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  return true;
}

int Poll(PollEntry* entries, std::size_t count, int timeout_ms) {
  pollfd fds[64];
  if (count > 64) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = static_cast<int>(entries[i].socket);
    fds[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) | (entries[i].want_write ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  const int64_t deadline = MonotonicMicros() + static_cast<int64_t>(timeout_ms) * 1000;
  int rc;
  for (;;) {
    const int64_t left_us = deadline - MonotonicMicros();
    // Round up so that the wait never ends before the deadline.
    const int left_ms = left_us <= 0 ? 0 : static_cast<int>((left_us + 999) / 1000);
    rc = poll(fds, static_cast<nfds_t>(count), left_ms);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc <= 0) return rc;
  int ready = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const short re = fds[i].revents;
    entries[i].ready = (re & fds[i].events) != 0 || (entries[i].want_read && (re & POLLHUP) != 0);
    entries[i].failed = (re & (POLLERR | POLLNVAL)) != 0 || (!entries[i].want_read && (re & POLLHUP) != 0);
    if (entries[i].ready || entries[i].failed) ++ready;
  }
  return ready;
}

long Send(SocketHandle socket, const uint8_t* bytes, std::size_t count) {
  for (;;) {
    const ssize_t n = send(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long SendNow(SocketHandle socket, const uint8_t* bytes, std::size_t count) {
  for (;;) {
    const ssize_t n = send(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno != EINTR) return -1;
  }
}

long RecvWait(SocketHandle socket, uint8_t* bytes, std::size_t count, int timeout_ms) {
  if (timeout_ms < kReceiveSliceMs) {
    // Shorter than the socket's own receive slice: wait with poll instead.
    PollEntry entry;
    entry.socket = socket;
    entry.want_read = true;
    const int rc = Poll(&entry, 1, timeout_ms);
    if (rc < 0) return -1;
    if (rc == 0) return kWouldBlock;
  }
  for (;;) {
    const ssize_t n = recv(static_cast<int>(socket), bytes, count, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno != EINTR) return -1;
  }
}

long Recv(SocketHandle socket, uint8_t* bytes, std::size_t count) {
  for (;;) {
    const ssize_t n = recv(static_cast<int>(socket), bytes, count, 0);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

void Shutdown(SocketHandle socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

void Close(SocketHandle socket) { close(static_cast<int>(socket)); }

bool PeerAddress(SocketHandle socket, SocketAddress* out) {
  socklen_t len = sizeof out->bytes;
  std::memset(out->bytes, 0, sizeof out->bytes);
  if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(out->bytes), &len) != 0) {
    out->length = 0;
    return false;
  }
  out->length = static_cast<int>(len);
  return true;
}

bool NumericHost(const SocketAddress& address, std::string* text) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.bytes, sizeof storage < sizeof address.bytes ? sizeof storage : sizeof address.bytes);
  char host[65] = {};
  socklen_t len;
  if (storage.ss_family == AF_INET) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr = reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr;
    std::memcpy(&storage, &in, sizeof in);
    len = sizeof in;
  } else if (storage.ss_family == AF_INET6) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
    std::memcpy(&storage, &in6, sizeof in6);
    len = sizeof in6;
  } else {
    return false;
  }
  if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
    host[0] = '\0';
  *text = host;
  return true;
}

}  // namespace korvane::platform
