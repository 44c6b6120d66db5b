#ifndef KORVANE_TRANSPORT_KORMSG_H
#define KORVANE_TRANSPORT_KORMSG_H

#include "protocol/telegram.h"

namespace korvane {

// The transport's own telegrams (connect, disconnect, keep-alive).
class CKorMsg : public CTelegram {
 public:
  CKorMsg(uint16_t command_code, const uint8_t* bytes, uint16_t telegram_id, std::size_t size)
      : CTelegram(bytes, size, command_code, telegram_id) {}
  CKorMsg(const uint8_t* bytes, std::size_t count) { Parse(bytes, count); }
};

}  // namespace korvane

#endif
