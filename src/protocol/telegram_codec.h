#ifndef KORVANE_PROTOCOL_TELEGRAM_CODEC_H
#define KORVANE_PROTOCOL_TELEGRAM_CODEC_H

// Byte layout of a telegram, shared by the protocol client's and the transport's telegram
// classes and by the gateway simulator:
//   length (2, LE) = payload size + 5 | command (2, LE) | telegram id (2, LE) | payload | checksum
// The checksum is the XOR of the command, id and payload bytes.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::codec {

constexpr std::size_t kOverhead = 7;         // header and checksum around the payload
constexpr std::size_t kMaxSentTelegram = 65535;  // what one 16-bit send length carries
constexpr uint16_t kReplyBit = 0x8000;

inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void AppendLE16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendLE32(std::vector<uint8_t>& out, uint32_t v) {
  AppendLE16(out, v & 0xFFFFu);
  AppendLE16(out, v >> 16);
}
inline void AppendBE32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint8_t Checksum(uint16_t command, uint16_t id, const uint8_t* payload, std::size_t payload_size);

// The fields of one received telegram; payload points into the decoded bytes.
struct View {
  uint16_t length = 5;
  uint16_t command = 0;
  uint16_t id = 0;
  const uint8_t* payload = nullptr;
  std::size_t payload_size = 0;
  uint8_t checksum = 0;
};

// Splits count received bytes into their fields. Returns false for fewer than 7 bytes (the
// view is then left as an empty telegram) and when the length field is not count - 2.
// The checksum is not verified here; receivers compare it with Checksum().
bool Decode(const uint8_t* bytes, std::size_t count, View* view);

// Appends the wire form of the given fields; length and checksum are written as given.
void Encode(uint16_t length, uint16_t command, uint16_t id, const uint8_t* payload,
            std::size_t payload_size, uint8_t checksum, std::vector<uint8_t>* out);

// Wire form of a well-formed telegram: length and checksum computed.
std::vector<uint8_t> Build(uint16_t command, uint16_t id, const uint8_t* payload, std::size_t payload_size);

}  // namespace korvane::codec

#endif
