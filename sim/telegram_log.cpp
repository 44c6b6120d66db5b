#include "telegram_log.h"

#include <cstdio>

#include "gateway.h"
#include "protocol/telegram_codec.h"

namespace korvane::sim {
namespace {

const char* Meaning(uint16_t command) {
  switch (command & ~cmd::kReplyBit) {
    case cmd::kConnect: return "connect";
    case cmd::kDisconnect: return "disconnect";
    case cmd::kReset: return "bus reset";
    case cmd::kBusConfig: return "bus configuration";
    case cmd::kDeviceInfo: return "device information";
    case cmd::kDeviceStatus: return "device status";
    case cmd::kKeepAlive: return "keep-alive";
    case cmd::kRead: return "I2C read";
    case cmd::kWrite: return "I2C write";
    case cmd::kEepromRead: return "EEPROM read";
    case cmd::kEepromWrite: return "EEPROM write";
    case cmd::kSequence: return "command sequence";
    case cmd::kRawStart: return "raw start";
    case cmd::kRawSend: return "raw send";
    case cmd::kRawGet: return "raw get";
    case cmd::kRawStop: return "raw stop";
    case cmd::kEepromWritePoll: return "EEPROM write with acknowledge polling";
    case cmd::kReadDigital: return "read digital lines";
    case cmd::kWriteDigital: return "write digital lines";
    default: return "unknown command";
  }
}

}  // namespace

std::string DescribeTelegram(const uint8_t* frame, std::size_t length) {
  std::string line;
  char part[96];
  if (length >= 7) {
    const uint16_t command = codec::ReadLE16(frame + 2);
    std::snprintf(part, sizeof part, "id %u cmd 0x%04X %s%s:", codec::ReadLE16(frame + 4), command,
                  Meaning(command), (command & cmd::kReplyBit) != 0 ? " confirmation" : "");
    line = part;
  } else {
    line = "short frame:";
  }
  // Long transfers are cut in the log; the count says how long they were.
  constexpr std::size_t kShown = 48;
  for (std::size_t i = 0; i < length && i < kShown; ++i) {
    std::snprintf(part, sizeof part, " %02X", frame[i]);
    line += part;
  }
  if (length > kShown) {
    std::snprintf(part, sizeof part, " ... (%zu bytes)", length);
    line += part;
  }
  return line;
}

}  // namespace korvane::sim
