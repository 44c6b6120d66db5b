#ifndef KORVANE_PLATFORM_SOCKET_H
#define KORVANE_PLATFORM_SOCKET_H

// The socket shim: every socket call of the library goes through these functions, so
// nothing above them knows the platform. Sends never raise SIGPIPE.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// A socket address as the platform reports it, IPv4 or IPv6 layout.
struct SocketAddress {
  uint8_t bytes[128] = {};
  int length = 0;
};

struct ResolvedAddress {
  int family = 0;
  int socket_type = 0;
  int protocol = 0;
  SocketAddress address;
};

// Per-endpoint start and stop of the platform's socket library (counted by the platform).
bool SocketsStartup();
void SocketsCleanup();

// Resolves host and numeric port text for TCP with any address family; returns 0 or the
// resolver's error code (also stored as the thread's last socket error).
int Resolve(const char* host, const char* port, std::vector<ResolvedAddress>* out);

SocketHandle OpenSocket(const ResolvedAddress& address);
bool SetNonBlocking(SocketHandle socket, bool non_blocking);

enum class ConnectStart { kConnected, kInProgress, kFailed };
ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address);

// The pending error of a socket (SO_ERROR): 0 when a finished connect succeeded.
int PendingError(SocketHandle socket);

// SO_KEEPALIVE (must succeed) and TCP_NODELAY (best effort), plus whatever RecvWait needs.
bool SetStreamOptions(SocketHandle socket);

struct PollEntry {
  SocketHandle socket = kInvalidSocket;
  bool want_read = false;
  bool want_write = false;
  // Results: ready as asked, or an error/hang-up condition on the socket.
  bool ready = false;
  bool failed = false;
};

// Waits until an entry is ready or timeout_ms (>= 0) passes, on the monotonic clock; an
// interrupted wait resumes for the rest of the time. Returns the number of entries ready or
// failed, 0 on time-out, -1 when the wait itself fails. Any descriptor number works.
int Poll(PollEntry* entries, std::size_t count, int timeout_ms);

// -1 on error; Send never raises SIGPIPE. Recv returns 0 when the peer closed.
long Send(SocketHandle socket, const uint8_t* bytes, std::size_t count);
long Recv(SocketHandle socket, uint8_t* bytes, std::size_t count);

// Returned by SendNow and RecvWait when nothing could be done yet.
constexpr long kWouldBlock = -2;

// Sends what the socket takes at once, without waiting: the count sent (possibly short),
// kWouldBlock when it takes nothing now (or cannot tell without waiting), -1 on error.
long SendNow(SocketHandle socket, const uint8_t* bytes, std::size_t count);

// Receives, waiting for data at most timeout_ms (it may return sooner with kWouldBlock):
// the count received, 0 when the peer closed, kWouldBlock when nothing arrived, -1 on error.
// Only one thread may wait on a socket this way at a time.
long RecvWait(SocketHandle socket, uint8_t* bytes, std::size_t count, int timeout_ms);

// Ends both directions; a thread waiting on the socket wakes up. The descriptor stays valid.
void Shutdown(SocketHandle socket);
void Close(SocketHandle socket);

bool PeerAddress(SocketHandle socket, SocketAddress* out);
// Numeric text of an IPv4 or IPv6 address (port left out); false for other families.
bool NumericHost(const SocketAddress& address, std::string* text);

}  // namespace korvane::platform

#endif
