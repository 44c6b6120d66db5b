#ifndef KORVANE_PROTOCOL_KORVANEMSG_H
#define KORVANE_PROTOCOL_KORVANEMSG_H

#include "protocol/telegram.h"

namespace korvane {

// A telegram as the protocol client and the I2C operations build and read it.
class CKorvaneMsg : public CTelegram {
 public:
  CKorvaneMsg() { checksum = CalcChecksum(); }
  CKorvaneMsg(const uint8_t* bytes, std::size_t size, uint16_t command_code, uint16_t telegram_id)
      : CTelegram(bytes, size, command_code, telegram_id) {}
};

}  // namespace korvane

#endif
