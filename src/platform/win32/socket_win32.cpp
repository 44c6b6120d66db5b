#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/address_list.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/win32/loader_state.h"

namespace korvane::platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Sockets that Shutdown has ended and Close has not yet released. A local shutdown does
// not reliably wake a select on every Windows version, so Poll waits in short slices and
// looks here between them. Lock-free: a process detach may run after ExitProcess has ended
// threads wherever they were. 0 marks a free slot; no socket has that value.
constexpr int kShutdownSlots = 256;
constexpr SocketHandle kFreeSlot = 0;
std::atomic<SocketHandle> g_shut_down[kShutdownSlots];

void ForgetShutDown(SocketHandle socket) {
  for (auto& slot : g_shut_down) {
    SocketHandle expected = socket;
    slot.compare_exchange_strong(expected, kFreeSlot);
  }
}

bool IsShutDown(SocketHandle socket) {
  for (const auto& slot : g_shut_down) {
    if (slot.load() == socket) return true;
  }
  return false;
}

void MarkShutDown(SocketHandle socket) {
  if (IsShutDown(socket)) return;  // a socket may be shut down more than once
  for (auto& slot : g_shut_down) {
    SocketHandle expected = kFreeSlot;
    if (slot.compare_exchange_strong(expected, socket)) return;
  }
  // All slots taken: the shutdown itself still ends the connection; Poll then relies on it.
}

constexpr int kPollSliceMs = 50;

}  // namespace

bool SocketsStartup() {
  WSADATA data;
  return WSAStartup(0x0002, &data) == 0;  // version 2.0
}

void SocketsCleanup() {
  // Winsock is not to be stopped from a DLL entry point (it may unload its helper DLLs under
  // the loader lock). During a detach the start-up is left counted: an ending process does
  // not need it, and an unloaded DLL's reference to ws2_32 goes with it.
  if (win32::CurrentLoaderState() != win32::LoaderState::kRunning) return;
  WSACleanup();
}

int Resolve(const char* host, const char* port, std::vector<ResolvedAddress>* out) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, port, &hints, &list);
  if (rc != 0) {
    WSASetLastError(rc);
    return rc;
  }
  CopyAddressList(list, out);
  freeaddrinfo(list);
  return 0;
}

SocketHandle OpenSocket(const ResolvedAddress& address) {
  const SOCKET s = socket(address.family, address.socket_type, address.protocol);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  // Child processes of the host must not inherit the gateway connection.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketHandle>(s);
}

bool SetNonBlocking(SocketHandle socket, bool non_blocking) {
  u_long value = non_blocking ? 1 : 0;
  return ioctlsocket(Native(socket), FIONBIO, &value) == 0;
}

ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address) {
  if (connect(Native(socket), reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0)
    return ConnectStart::kConnected;
  return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::kInProgress : ConnectStart::kFailed;
}

int PendingError(SocketHandle socket) {
  int error = 0;
  int len = sizeof error;
  if (getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0)
    return WSAGetLastError();
  return error;
}

bool SetStreamOptions(SocketHandle socket) {
  const DWORD one = 1;
  const char* value = reinterpret_cast<const char*>(&one);
  if (setsockopt(Native(socket), SOL_SOCKET, SO_KEEPALIVE, value, sizeof one) != 0) return false;
  setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, value, sizeof one);
  return true;
}

int Poll(PollEntry* entries, std::size_t count, int timeout_ms) {
  // An fd_set holds at most FD_SETSIZE (64) sockets.
  if (count == 0 || count > FD_SETSIZE) return -1;
  const int64_t deadline = MonotonicMicros() + static_cast<int64_t>(timeout_ms) * 1000;
  for (;;) {
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
      entries[i].ready = false;
      entries[i].failed = false;
      if (IsShutDown(entries[i].socket)) {
        // As a shut-down socket reads on POSIX: end of stream for a reader, hang-up otherwise.
        entries[i].ready = entries[i].want_read;
        entries[i].failed = !entries[i].want_read;
        ++ready;
      }
    }
    if (ready > 0) return ready;

    fd_set read_set;
    fd_set write_set;
    fd_set error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    for (std::size_t i = 0; i < count; ++i) {
      const SOCKET s = Native(entries[i].socket);
      if (entries[i].want_read) FD_SET(s, &read_set);
      if (entries[i].want_write) FD_SET(s, &write_set);
      // A failed non-blocking connect is reported in the error set, not the write set.
      FD_SET(s, &error_set);
    }
    const int64_t left_us = deadline - MonotonicMicros();
    // Round up so that the wait never ends before the deadline.
    int64_t slice_ms = left_us <= 0 ? 0 : (left_us + 999) / 1000;
    if (slice_ms > kPollSliceMs) slice_ms = kPollSliceMs;
    timeval tv{static_cast<long>(slice_ms / 1000), static_cast<long>(slice_ms % 1000) * 1000};
    const int rc = select(0, &read_set, &write_set, &error_set, &tv);
    if (rc == SOCKET_ERROR) return -1;
    if (rc > 0) {
      for (std::size_t i = 0; i < count; ++i) {
        const SOCKET s = Native(entries[i].socket);
        entries[i].ready = (entries[i].want_read && FD_ISSET(s, &read_set)) ||
                           (entries[i].want_write && FD_ISSET(s, &write_set));
        entries[i].failed = FD_ISSET(s, &error_set) != 0;
        if (entries[i].ready || entries[i].failed) ++ready;
      }
      return ready;
    }
    if (MonotonicMicros() >= deadline) return 0;
  }
}

long Send(SocketHandle socket, const uint8_t* bytes, std::size_t count) {
  // Windows sockets raise no signal on a closed connection.
  const int n = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
  const int sent = send(Native(socket), reinterpret_cast<const char*>(bytes), n, 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

long SendNow(SocketHandle, const uint8_t*, std::size_t) {
  // A blocking Winsock socket cannot be asked to send without waiting: wait first.
  return kWouldBlock;
}

long RecvWait(SocketHandle socket, uint8_t* bytes, std::size_t count, int timeout_ms) {
  PollEntry entry;
  entry.socket = socket;
  entry.want_read = true;
  const int rc = Poll(&entry, 1, timeout_ms);
  if (rc < 0) return -1;
  if (rc == 0) return kWouldBlock;
  return Recv(socket, bytes, count);
}

long Recv(SocketHandle socket, uint8_t* bytes, std::size_t count) {
  const int n = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
  const int got = recv(Native(socket), reinterpret_cast<char*>(bytes), n, 0);
  return got == SOCKET_ERROR ? -1 : got;
}

void Shutdown(SocketHandle socket) {
  MarkShutDown(socket);
  shutdown(Native(socket), SD_BOTH);
}

void Close(SocketHandle socket) {
  // Forget first: the number may be handed to a new socket as soon as it is closed.
  ForgetShutDown(socket);
  closesocket(Native(socket));
}

bool PeerAddress(SocketHandle socket, SocketAddress* out) {
  int len = sizeof out->bytes;
  std::memset(out->bytes, 0, sizeof out->bytes);
  if (getpeername(Native(socket), reinterpret_cast<sockaddr*>(out->bytes), &len) != 0) {
    out->length = 0;
    return false;
  }
  out->length = len;
  return true;
}

bool NumericHost(const SocketAddress& address, std::string* text) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.bytes, sizeof storage < sizeof address.bytes ? sizeof storage : sizeof address.bytes);
  int len;
  // Only family and address: the text leaves out port, flow information and scope.
  if (storage.ss_family == AF_INET) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr = reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr;
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, &in, sizeof in);
    len = sizeof in;
  } else if (storage.ss_family == AF_INET6) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, &in6, sizeof in6);
    len = sizeof in6;
  } else {
    return false;
  }
  char host[65] = {};
  const int rc = getnameinfo(reinterpret_cast<sockaddr*>(&storage), len, host, sizeof host, nullptr, 0,
                             NI_NUMERICHOST);
  WSASetLastError(rc);
  if (rc != 0) host[0] = '\0';
  *text = host;
  return true;
}

}  // namespace korvane::platform
