#ifndef KORVANE_TRANSPORT_KORIPBASE_H
#define KORVANE_TRANSPORT_KORIPBASE_H

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/KorMutex.h"
#include "platform/socket.h"
#include "transport/transport_result.h"

namespace korvane {

// The socket endpoint of a gateway connection: state, socket and peer address, and the
// socket-level steps the connection is built on.
class CKorIPBase {
 public:
  CKorIPBase();
  virtual ~CKorIPBase();
  CKorIPBase(const CKorIPBase&) = delete;
  CKorIPBase& operator=(const CKorIPBase&) = delete;

  // Resolves host, races non-blocking connects to every address it resolves to, and keeps
  // the first that completes successfully within timeout_ms. Returns kTransportOk with the
  // socket stored (blocking, SO_KEEPALIVE and TCP_NODELAY set), kTransportNotConnected when
  // nothing could be connected, kTransportSocketError when no connect could even be tried.
  int OpenStream(const char* host, uint16_t port, uint32_t timeout_ms);

  // Shuts the socket down (waking any thread waiting on it) and returns to state 1. The
  // descriptor itself stays reserved until the endpoint is destroyed, so that a thread still
  // holding its number never reaches a socket opened later under the same number.
  void CloseSocket();

  static KorTimeVal ClockNow();
  // Numeric text of an IPv4 or IPv6 address; false for other families.
  static bool PeerAddressText(const platform::SocketAddress& address, std::string* text);

  int GetState() const { return state_.load(); }

 protected:
  std::atomic<int> state_{kStateClosed};
  std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
  platform::SocketAddress peer_address_;
  // Guards sending and the socket's life: whoever sends or closes holds it.
  CKorMutex send_mutex_;

 private:
  void ReleaseRetired();

  platform::SocketHandle retired_ = platform::kInvalidSocket;
  bool sockets_started_ = false;
};

}  // namespace korvane

#endif
