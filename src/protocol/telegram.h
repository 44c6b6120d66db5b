#ifndef KORVANE_PROTOCOL_TELEGRAM_H
#define KORVANE_PROTOCOL_TELEGRAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

// Fields of one telegram in memory and the operations on them, common to the protocol
// client's CKorvaneMsg and the transport's CKorMsg.
class CTelegram {
 public:
  // Fills the telegram from count received bytes; false (and an empty telegram for fewer
  // than 7 bytes) when the bytes do not form a telegram. The checksum is kept, not checked.
  bool Parse(const uint8_t* bytes, std::size_t count);
  // Length and checksum are written as stored.
  std::vector<uint8_t> Serialize() const;
  bool CheckLength() const;
  uint8_t CalcChecksum() const;
  // Length field and checksum byte both right.
  bool IsIntact() const { return CheckLength() && checksum == CalcChecksum(); }
  bool IsReply() const { return (command & 0x8000u) != 0; }

  std::vector<uint8_t> payload;
  uint16_t length = 5;
  uint16_t command = 0;
  uint16_t id = 0;
  uint8_t checksum = 0;

 protected:
  CTelegram() = default;
  // The payload is copied only when bytes is not null and size is not 0.
  CTelegram(const uint8_t* bytes, std::size_t size, uint16_t command_code, uint16_t telegram_id);
};

}  // namespace korvane

#endif
