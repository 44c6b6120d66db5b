#include "protocol/telegram_codec.h"

namespace korvane::codec {

uint8_t Checksum(uint16_t command, uint16_t id, const uint8_t* payload, std::size_t payload_size) {
  uint8_t sum = static_cast<uint8_t>(command ^ (command >> 8) ^ id ^ (id >> 8));
  for (std::size_t i = 0; i < payload_size; ++i) sum ^= payload[i];
  return sum;
}

bool Decode(const uint8_t* bytes, std::size_t count, View* view) {
  *view = View{};
  if (bytes == nullptr || count < kOverhead) return false;
  view->length = ReadLE16(bytes);
  view->command = ReadLE16(bytes + 2);
  view->id = ReadLE16(bytes + 4);
  view->payload = bytes + 6;
  view->payload_size = count - kOverhead;
  view->checksum = bytes[count - 1];
  // Compared without 16-bit wrap-around: a frame whose length field cannot describe it
  // (more than 65537 bytes) never passes.
  return static_cast<std::size_t>(view->length) == view->payload_size + 5;
}

void Encode(uint16_t length, uint16_t command, uint16_t id, const uint8_t* payload,
            std::size_t payload_size, uint8_t checksum, std::vector<uint8_t>* out) {
  out->reserve(out->size() + payload_size + kOverhead);
  AppendLE16(*out, length);
  AppendLE16(*out, command);
  AppendLE16(*out, id);
  if (payload_size != 0) out->insert(out->end(), payload, payload + payload_size);
  out->push_back(checksum);
}

std::vector<uint8_t> Build(uint16_t command, uint16_t id, const uint8_t* payload, std::size_t payload_size) {
  std::vector<uint8_t> out;
  Encode(static_cast<uint16_t>(payload_size + 5), command, id, payload, payload_size,
         Checksum(command, id, payload, payload_size), &out);
  return out;
}

}  // namespace korvane::codec
