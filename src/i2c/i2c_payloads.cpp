#include "i2c/i2c_payloads.h"

#include <cstring>

#include "protocol/telegram_codec.h"

namespace korvane::i2c {

namespace {

uint16_t Low16(int32_t value) { return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu); }

bool AppendData(const uint8_t* data, int32_t length, Bytes* out) {
  const std::size_t n = Low16(length);
  if (out->size() + n > kMaxPayload) return false;
  if (n != 0 && data != nullptr) out->insert(out->end(), data, data + n);
  if (n != 0 && data == nullptr) return false;
  return true;
}

std::size_t CopyAfter(const Bytes& reply, std::size_t start, std::size_t available, std::size_t limit,
                      uint8_t* buffer) {
  const std::size_t count = available < limit ? available : limit;
  if (count != 0 && buffer != nullptr) std::memcpy(buffer, reply.data() + start, count);
  return buffer == nullptr ? 0 : count;
}

void AppendEepromHeader(const EepromAddress& a, Bytes* out) {
  codec::AppendLE16(*out, a.device_address);
  out->push_back(a.address_bytes);
  codec::AppendBE32(*out, a.offset_field);
}

}  // namespace

uint16_t MakeGenericCommand(uint32_t device_kind, uint8_t low) {
  return static_cast<uint16_t>(((device_kind & 0x7Fu) << 8) | low);
}

Bytes EncodeBusConfig(int32_t bitrate) {
  if (bitrate == 100 || bitrate == 400) bitrate *= 1000;
  Bytes out;
  codec::AppendLE32(out, static_cast<uint32_t>(bitrate));
  return out;
}

Bytes EncodeRead(int32_t slave_address, int32_t length) {
  Bytes out;
  codec::AppendLE16(out, Low16(slave_address));
  codec::AppendLE16(out, Low16(length));
  return out;
}

bool EncodeWrite(int32_t slave_address, const uint8_t* data, int32_t length, Bytes* out) {
  out->clear();
  codec::AppendLE16(*out, Low16(slave_address));
  return AppendData(data, length, out);
}

EepromAddress EncodeEepromAddress(uint32_t chip_select, uint32_t offset, int32_t mode) {
  uint32_t m16 = Low16(mode);
  if (m16 == 0) m16 = 0x000F;
  const uint32_t bits = m16 & 0xFFu;        // offset bits carried in the address bytes
  const uint32_t placement = (m16 >> 8) & 7u;
  const uint32_t high_bits = placement & 3u;  // offset bits above them, carried in the device address
  const uint32_t limited = bits > 16 ? 16 : bits;

  uint32_t base = 0xA0;
  switch (placement) {
    case 0: base |= (chip_select & 7u) << 1; break;
    case 1: base |= (chip_select & 3u) << 2; break;
    case 2: base |= (chip_select & 1u) << 3; break;
    case 5: base |= (chip_select & 3u) << 1; break;
    case 6: base |= (chip_select & 1u) << 1; break;
    default: break;  // 3, 4 and 7 use no chip-select bits
  }
  const uint64_t mask = (uint64_t{1} << (limited + high_bits)) - (uint64_t{1} << limited);
  const uint32_t high = static_cast<uint32_t>(offset & mask);
  // Offset bit `limited` lands on device address bit k.
  const uint32_t k = placement == 5 ? 3u : placement == 6 ? 2u : 1u;
  const uint32_t moved = limited < k ? 0u : high >> (limited - k);

  EepromAddress a{};
  a.device_address = static_cast<uint16_t>(base | moved);
  a.address_bytes = bits > 8 ? 2 : 1;
  const uint32_t field_bits = bits + high_bits;
  a.offset_field = field_bits >= 32 ? offset : offset & ((uint32_t{1} << field_bits) - 1u);
  return a;
}

Bytes EncodeEepromRead(uint32_t chip_select, uint32_t offset, int32_t length, int32_t mode) {
  Bytes out;
  AppendEepromHeader(EncodeEepromAddress(chip_select, offset, mode), &out);
  codec::AppendLE16(out, Low16(length));
  return out;
}

bool EncodeEepromWrite(uint32_t chip_select, uint32_t offset, const uint8_t* data, int32_t length, int32_t mode,
                       Bytes* out) {
  out->clear();
  AppendEepromHeader(EncodeEepromAddress(chip_select, offset, mode), out);
  return AppendData(data, length, out);
}

bool EncodeEepromWritePoll(uint32_t chip_select, uint32_t offset, const uint8_t* data, int32_t length, int32_t mode,
                           int32_t poll_limit, Bytes* out) {
  const EepromAddress a = EncodeEepromAddress(chip_select, offset, mode);
  out->clear();
  codec::AppendLE16(*out, a.device_address);
  codec::AppendLE16(*out, Low16(poll_limit));
  out->push_back(a.address_bytes);
  codec::AppendBE32(*out, a.offset_field);
  return AppendData(data, length, out);
}

Bytes EncodeWriteDigital(int32_t value) {
  Bytes out;
  codec::AppendLE32(out, static_cast<uint32_t>(value));
  return out;
}

bool EncodeSequence(const uint8_t* sequence, int32_t sequence_length, int32_t result_size, Bytes* out) {
  out->clear();
  codec::AppendLE16(*out, Low16(result_size));
  return AppendData(sequence, sequence_length, out);
}

Bytes EncodeRawSend(int32_t first, int32_t second) {
  return Bytes{static_cast<uint8_t>(first), static_cast<uint8_t>(second)};
}

Bytes EncodeRawGet(int32_t value) { return Bytes{static_cast<uint8_t>(value)}; }

std::size_t DecodeReadData(const Bytes& reply, int32_t length, uint8_t* buffer) {
  if (reply.empty()) return 0;
  return CopyAfter(reply, 1, reply.size() - 1, Low16(length), buffer);
}

std::size_t DecodeEepromReadData(const Bytes& reply, int32_t length, uint8_t* buffer) {
  if (reply.empty()) return 0;
  const std::size_t requested = Low16(length);
  const std::size_t start = reply.size() - 1 == requested + 2 ? 3 : 1;
  return CopyAfter(reply, start, reply.size() - start, requested, buffer);
}

uint32_t DecodeReplyValue(const Bytes& reply) { return reply.size() >= 3 ? codec::ReadLE16(reply.data() + 1) : 0; }

bool DecodeDigital(const Bytes& reply, int32_t* first, int32_t* second) {
  if (reply.size() < 9) return false;
  if (first != nullptr) *first = static_cast<int32_t>(codec::ReadLE32(reply.data() + 1));
  if (second != nullptr) *second = static_cast<int32_t>(codec::ReadLE32(reply.data() + 5));
  return true;
}

void DecodeDeviceInfo(const Bytes& reply, uint8_t* record) {
  if (reply.empty()) return;
  CopyAfter(reply, 1, reply.size() - 1, 20, record);
}

std::size_t DecodeSequenceResult(const Bytes& reply, int32_t result_size, uint8_t* result) {
  if (reply.size() < 3) return 0;
  return CopyAfter(reply, 3, reply.size() - 3, Low16(result_size), result);
}

uint8_t DecodeRawGet(const Bytes& reply) { return reply.size() >= 2 ? reply[1] : 0; }

}  // namespace korvane::i2c
