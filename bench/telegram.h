#ifndef KORVANE_BENCH_TELEGRAM_H
#define KORVANE_BENCH_TELEGRAM_H

// The few telegram helpers the benchmark's echo gateway and raw client need. They are kept
// apart from the library on purpose: the benchmark measures the library from outside.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::bench {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kReplyBit = 0x8000;
constexpr uint16_t kCmdConnect = 0x0101;
constexpr uint16_t kCmdDisconnect = 0x0102;
constexpr uint16_t kCmdRead = 0x0110;
constexpr uint16_t kCmdWrite = 0x0111;

// length (n + 5), command, id, payload, XOR of everything after the length field.
constexpr std::size_t kFrameOverhead = 7;

inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint8_t Checksum(const uint8_t* frame, std::size_t size) {
  uint8_t x = 0;
  for (std::size_t i = 2; i + 1 < size; ++i) x = static_cast<uint8_t>(x ^ frame[i]);
  return x;
}

inline Bytes MakeTelegram(uint16_t command, uint16_t id, const uint8_t* payload, std::size_t n) {
  Bytes t(n + kFrameOverhead);
  PutLE16(&t[0], static_cast<uint16_t>(n + 5));
  PutLE16(&t[2], command);
  PutLE16(&t[4], id);
  for (std::size_t i = 0; i < n; ++i) t[6 + i] = payload[i];
  t.back() = Checksum(t.data(), t.size());
  return t;
}

// Rewrites the id of a built telegram and its checksum.
inline void SetTelegramId(Bytes* t, uint16_t id) {
  PutLE16(&(*t)[4], id);
  t->back() = Checksum(t->data(), t->size());
}

}  // namespace korvane::bench

#endif
