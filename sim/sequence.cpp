#include "sequence.h"

namespace korvane::sim {

SequenceOutcome RunSequence(Bus& bus, const uint8_t* sequence, std::size_t length, std::size_t result_size,
                            Millis* now) {
  SequenceOutcome out;
  bool addressable = false;  // a start came and no address since
  std::size_t at = 0;
  auto fail = [&](uint8_t status) {
    out.status = status;
    at = length;
  };
  while (at < length) {
    const uint8_t op = sequence[at++];
    const std::size_t left = length - at;
    switch (op) {
      case seq::kStart:
        bus.Start();
        addressable = true;
        break;
      case seq::kWrite: {
        if (!addressable || left < 2 || left - 2 < sequence[at + 1]) { fail(kStatusFailed); continue; }
        const uint8_t address = static_cast<uint8_t>(sequence[at] & 0xFEu);
        const std::size_t n = sequence[at + 1];
        at += 2;
        addressable = false;
        if (bus.Send(address, *now) != Ack::kAck) { fail(kStatusNack); continue; }
        bool acked = true;
        for (std::size_t i = 0; i < n && acked; ++i) acked = bus.Send(sequence[at + i], *now) == Ack::kAck;
        at += n;
        if (!acked) { fail(kStatusNack); continue; }
        break;
      }
      case seq::kRead: {
        if (!addressable || left < 2) { fail(kStatusFailed); continue; }
        const uint8_t address = static_cast<uint8_t>(sequence[at] | 1u);
        const std::size_t n = sequence[at + 1];
        at += 2;
        addressable = false;
        if (bus.Send(address, *now) != Ack::kAck) { fail(kStatusNack); continue; }
        for (std::size_t i = 0; i < n; ++i) {
          uint8_t byte = 0;
          bus.Get(&byte);
          // Bytes beyond the caller's result buffer are read from the bus but not returned.
          if (out.results.size() < result_size) out.results.push_back(byte);
        }
        break;
      }
      case seq::kStop:
        bus.Stop(*now);
        addressable = false;
        break;
      case seq::kDelay:
        if (left < 1) { fail(kStatusFailed); continue; }
        *now += sequence[at++];
        break;
      default:
        fail(kStatusFailed);
        continue;
    }
    ++out.completed;
  }
  if (!bus.Idle()) bus.Stop(*now);
  return out;
}

}  // namespace korvane::sim
