#ifndef KORVANE_I2C_I2C_PAYLOADS_H
#define KORVANE_I2C_I2C_PAYLOADS_H

// Request payload encoders and reply decoders of every I2C command: values to bytes and
// bytes to values, no I/O. Reply payloads always start with the status byte.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::i2c {

using Bytes = std::vector<uint8_t>;

enum Command : uint16_t {
  kCmdReset = 0x0104,
  kCmdBusConfig = 0x0107,
  kCmdRead = 0x0110,
  kCmdWrite = 0x0111,
  kCmdEepromRead = 0x0112,
  kCmdEepromWrite = 0x0113,
  kCmdSequence = 0x0114,
  kCmdRawStart = 0x0115,
  kCmdRawSend = 0x0116,
  kCmdRawGet = 0x0117,
  kCmdRawStop = 0x0118,
  kCmdEepromWritePoll = 0x0119,
};

// Low bytes of the generic commands, whose high byte is the device kind.
enum GenericCommand : uint8_t { kGenDeviceInfo = 0x09, kGenDeviceStatus = 0x0A, kGenReadDigital = 0x40, kGenWriteDigital = 0x41 };
uint16_t MakeGenericCommand(uint32_t device_kind, uint8_t low);

// Largest payload one telegram can carry when sent: 65535 bytes in all.
constexpr std::size_t kMaxPayload = 65535 - 7;

// 100 and 400 mean kbit/s; every other value is sent unchanged.
Bytes EncodeBusConfig(int32_t bitrate);
Bytes EncodeRead(int32_t slave_address, int32_t length);
// The encoders that carry caller data return false when the telegram would not fit.
bool EncodeWrite(int32_t slave_address, const uint8_t* data, int32_t length, Bytes* out);

// The EEPROM addressing of a chip select, offset and addressing mode.
struct EepromAddress {
  uint16_t device_address;  // 8-bit form, in a 16-bit field
  uint8_t address_bytes;    // 1 or 2
  uint32_t offset_field;    // sent big-endian
};
EepromAddress EncodeEepromAddress(uint32_t chip_select, uint32_t offset, int32_t mode);
Bytes EncodeEepromRead(uint32_t chip_select, uint32_t offset, int32_t length, int32_t mode);
bool EncodeEepromWrite(uint32_t chip_select, uint32_t offset, const uint8_t* data, int32_t length, int32_t mode,
                       Bytes* out);
bool EncodeEepromWritePoll(uint32_t chip_select, uint32_t offset, const uint8_t* data, int32_t length, int32_t mode,
                           int32_t poll_limit, Bytes* out);

Bytes EncodeWriteDigital(int32_t value);
bool EncodeSequence(const uint8_t* sequence, int32_t sequence_length, int32_t result_size, Bytes* out);
Bytes EncodeRawSend(int32_t first, int32_t second);
Bytes EncodeRawGet(int32_t value);

// I2CRead: copies the data bytes (at most the low 16 bits of length) into buffer; returns
// how many.
std::size_t DecodeReadData(const Bytes& reply, int32_t length, uint8_t* buffer);
// EEPROM read: a reply of exactly length + 3 bytes skips two bytes after the status.
std::size_t DecodeEepromReadData(const Bytes& reply, int32_t length, uint8_t* buffer);
// Reply value at bytes 1-2 when the reply holds at least 3 bytes, else 0.
uint32_t DecodeReplyValue(const Bytes& reply);
// Both values when the reply holds at least 9 bytes; null outputs are skipped.
bool DecodeDigital(const Bytes& reply, int32_t* first, int32_t* second);
// Copies up to 20 information bytes into the record from its byte 0.
void DecodeDeviceInfo(const Bytes& reply, uint8_t* record);
// Sequence result bytes (from byte 3) into the result buffer, at most the low 16 bits of
// result_size; returns how many.
std::size_t DecodeSequenceResult(const Bytes& reply, int32_t result_size, uint8_t* result);
// Raw get: byte 1, or 0 when the reply carries only the status.
uint8_t DecodeRawGet(const Bytes& reply);

}  // namespace korvane::i2c

#endif
