#include "protocol/telegram.h"

#include "protocol/telegram_codec.h"

namespace korvane {

CTelegram::CTelegram(const uint8_t* bytes, std::size_t size, uint16_t command_code, uint16_t telegram_id)
    : command(command_code), id(telegram_id) {
  if (bytes != nullptr && size != 0) payload.assign(bytes, bytes + size);
  length = static_cast<uint16_t>(payload.size() + 5);
  checksum = CalcChecksum();
}

bool CTelegram::Parse(const uint8_t* bytes, std::size_t count) {
  codec::View view;
  const bool ok = codec::Decode(bytes, count, &view);
  payload.assign(view.payload, view.payload + view.payload_size);
  length = view.length;
  command = view.command;
  id = view.id;
  checksum = view.payload == nullptr ? CalcChecksum() : view.checksum;
  return ok;
}

std::vector<uint8_t> CTelegram::Serialize() const {
  std::vector<uint8_t> out;
  codec::Encode(length, command, id, payload.data(), payload.size(), checksum, &out);
  return out;
}

bool CTelegram::CheckLength() const { return static_cast<uint16_t>(payload.size() + 5) == length; }

uint8_t CTelegram::CalcChecksum() const { return codec::Checksum(command, id, payload.data(), payload.size()); }

}  // namespace korvane
