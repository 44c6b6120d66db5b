#ifndef KORVANE_SIM_SEQUENCE_H
#define KORVANE_SIM_SEQUENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bus.h"

namespace korvane::sim {

// The sequence byte language, one operation after another:
//   01             start condition (a repeated start inside a transfer)
//   02 A N D1..DN  address A (8-bit form, bit 0 cleared) for writing, then send N data bytes
//   03 A N         address A for reading (bit 0 set), then read N bytes into the result
//   04             stop condition
//   05 T           wait T milliseconds
// 02 and 03 each need a start of their own before them. The sequence ends at its last byte, at the first
// operation that is not acknowledged (status 0x20) or at a malformed one (status 0xFF: an
// unknown code, missing bytes, 02 or 03 without a start). The bus is stopped at the end
// whatever happened.
namespace seq {
constexpr uint8_t kStart = 0x01;
constexpr uint8_t kWrite = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kStop = 0x04;
constexpr uint8_t kDelay = 0x05;
}  // namespace seq

struct SequenceOutcome {
  uint8_t status = kStatusOk;
  uint16_t completed = 0;        // operations carried out in full: the reply value
  std::vector<uint8_t> results;  // bytes read, at most the result size
};

SequenceOutcome RunSequence(Bus& bus, const uint8_t* sequence, std::size_t length, std::size_t result_size,
                            Millis* now);

}  // namespace korvane::sim

#endif
