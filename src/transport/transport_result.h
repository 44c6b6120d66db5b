#ifndef KORVANE_TRANSPORT_TRANSPORT_RESULT_H
#define KORVANE_TRANSPORT_TRANSPORT_RESULT_H

#include <cstdint>

namespace korvane {

// Results of every transport operation.
enum TransportResult : int {
  kTransportOk = 1,
  kTransportSocketError = 2,
  kTransportNotConnected = 3,
  kTransportTimeout = 4,
  kTransportNotAllowed = 5,
  kTransportUnavailable = 6,
  kTransportRefused = 7,  // the gateway has no free connection
};

// States of a connection.
enum ConnectionState : int {
  kStateClosed = 1,
  kStateConnecting = 2,
  kStateConnected = 3,
  kStateClosing = 4,
  kStateUnavailable = 6,  // sockets could not be started; final
};

// A time value of the transport: seconds and microseconds (0..999999).
struct KorTimeVal {
  int32_t sec = 0;
  int32_t usec = 0;
};

// Deadline arithmetic of the transport, on the monotonic clock.
namespace deadline {
KorTimeVal FromMillis(uint32_t milliseconds);
KorTimeVal Add(KorTimeVal a, KorTimeVal b);
// Time left until the deadline (negative once it has passed).
KorTimeVal Left(KorTimeVal deadline, KorTimeVal now);
int64_t ToMillis(KorTimeVal t);
bool Passed(KorTimeVal deadline, KorTimeVal now);
// Milliseconds left until the deadline, never less than 0.
uint32_t MillisLeft(KorTimeVal deadline, KorTimeVal now);
}  // namespace deadline

}  // namespace korvane

#endif
