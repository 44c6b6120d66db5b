#ifndef KORVANE_BENCH_RAW_CLIENT_H
#define KORVANE_BENCH_RAW_CLIENT_H

// The baseline: one blocking socket on the caller's thread that sends a request telegram and
// receives its confirmation with plain send and recv, with no other thread involved. It is
// the fastest a request/response client on this machine can be.

#include <cstddef>
#include <cstdint>
#include <string>

#include "telegram.h"

namespace korvane::bench {

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Connects to 127.0.0.1:port with TCP_NODELAY and does the connect handshake.
  bool Connect(int port, std::string* error);
  // Disconnect handshake and close.
  void Close();

  // Sends `request` with the next telegram id and receives reply_size bytes; false when the
  // connection fails or the reply's id does not match.
  bool RoundTrip(Bytes* request, std::size_t reply_size);

 private:
  bool ReceiveExactly(std::size_t size);

  int fd_ = -1;
  uint16_t next_id_ = 2;
  uint8_t buffer_[65600];
};

// Requests of the same size as the library sends for I2CRead and I2CWrite of 8 bytes, and the
// sizes of their confirmations.
Bytes RawReadRequest(uint16_t length);
std::size_t RawReadReplySize(uint16_t length);
Bytes RawWriteRequest(uint16_t length);
std::size_t RawWriteReplySize();

}  // namespace korvane::bench

#endif
