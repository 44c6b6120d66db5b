#include "i2c/KorvaneClientI2C.h"

#include <cstring>

#include "api/result_text.h"
#include "protocol/telegram_codec.h"
#include "i2c/i2c_payloads.h"

namespace korvane {

using i2c::Bytes;

int32_t CKorvaneClientI2C::Exchange(uint16_t command, const Bytes& payload, std::unique_ptr<CKorvaneMsg>* reply) {
  const int32_t rc = Request(command, payload, reply);
  if (rc != kResultOk) {
    reply->reset();
    return rc;
  }
  return ReplyResult(**reply);
}

int32_t CKorvaneClientI2C::ConfigureBus(int32_t bitrate) {
  const Bytes payload = i2c::EncodeBusConfig(bitrate);
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::kCmdBusConfig, payload, &reply);
  if (rc == kResultOk) bitrate_ = static_cast<int32_t>(codec::ReadLE32(payload.data()));
  return rc;
}

int32_t CKorvaneClientI2C::Read(int32_t slave_address, uint8_t* buffer, int32_t length) {
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::kCmdRead, i2c::EncodeRead(slave_address, length), &reply);
  if (reply) i2c::DecodeReadData(reply->payload, length, buffer);
  return rc;
}

int32_t CKorvaneClientI2C::Write(int32_t slave_address, const uint8_t* buffer, int32_t length,
                                 int32_t* reply_value) {
  Bytes payload;
  if (!i2c::EncodeWrite(slave_address, buffer, length, &payload)) return kResultInvalidParameter;
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::kCmdWrite, payload, &reply);
  if (rc == kResultOk && reply_value != nullptr) *reply_value = static_cast<int32_t>(i2c::DecodeReplyValue(reply->payload));
  return rc;
}

int32_t CKorvaneClientI2C::Reset() {
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::kCmdReset, {}, &reply);
}

int32_t CKorvaneClientI2C::ReadEEProm(uint32_t chip_select, uint32_t offset, uint8_t* buffer, int32_t length,
                                      int32_t mode) {
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::kCmdEepromRead, i2c::EncodeEepromRead(chip_select, offset, length, mode), &reply);
  if (reply) i2c::DecodeEepromReadData(reply->payload, length, buffer);
  return rc;
}

int32_t CKorvaneClientI2C::WriteEEProm(uint32_t chip_select, uint32_t offset, const uint8_t* buffer, int32_t length,
                                       int32_t mode) {
  Bytes payload;
  if (!i2c::EncodeEepromWrite(chip_select, offset, buffer, length, mode, &payload)) return kResultInvalidParameter;
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::kCmdEepromWrite, payload, &reply);
}

int32_t CKorvaneClientI2C::WriteEEPromPollAck(uint32_t chip_select, uint32_t offset, const uint8_t* buffer,
                                              int32_t length, int32_t mode, int32_t poll_limit) {
  Bytes payload;
  if (!i2c::EncodeEepromWritePoll(chip_select, offset, buffer, length, mode, poll_limit, &payload))
    return kResultInvalidParameter;
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::kCmdEepromWritePoll, payload, &reply);
}

int32_t CKorvaneClientI2C::ReadDigital(int32_t* first, int32_t* second) {
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::MakeGenericCommand(DeviceKind(), i2c::kGenReadDigital), {}, &reply);
  if (reply) i2c::DecodeDigital(reply->payload, first, second);
  return rc;
}

int32_t CKorvaneClientI2C::WriteDigital(int32_t value) {
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::MakeGenericCommand(DeviceKind(), i2c::kGenWriteDigital), i2c::EncodeWriteDigital(value),
                  &reply);
}

int32_t CKorvaneClientI2C::DeviceInfo(uint8_t* record) {
  record[18] = static_cast<uint8_t>(DeviceKind());
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::MakeGenericCommand(DeviceKind(), i2c::kGenDeviceInfo), {}, &reply);
  if (rc == kResultOk) i2c::DecodeDeviceInfo(reply->payload, record);
  return rc;
}

int CKorvaneClientI2C::DeviceStatus(char* buffer, int size) {
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::MakeGenericCommand(DeviceKind(), i2c::kGenDeviceStatus), {}, &reply);
  if (rc != kResultOk) {
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    return 1;
  }
  const Bytes& p = reply->payload;
  return CopyTextOut(reinterpret_cast<const char*>(p.data()) + 1, p.size() - 1, buffer, size);
}

int32_t CKorvaneClientI2C::Sequence(const uint8_t* sequence, int32_t sequence_length, uint8_t* result,
                                    int32_t result_size, int32_t* result_count, int32_t* reply_value) {
  Bytes payload;
  if (!i2c::EncodeSequence(sequence, sequence_length, result_size, &payload)) return kResultInvalidParameter;
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::kCmdSequence, payload, &reply);
  if (!reply) return rc;
  const std::size_t count = i2c::DecodeSequenceResult(reply->payload, result_size, result);
  if (rc != kResultOk) return rc;
  if (result_count != nullptr) *result_count = static_cast<int32_t>(count);
  if (reply_value != nullptr) *reply_value = static_cast<int32_t>(i2c::DecodeReplyValue(reply->payload));
  return rc;
}

int32_t CKorvaneClientI2C::RawStart() {
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::kCmdRawStart, {}, &reply);
}

int32_t CKorvaneClientI2C::RawSend(int32_t first, int32_t second) {
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::kCmdRawSend, i2c::EncodeRawSend(first, second), &reply);
}

int32_t CKorvaneClientI2C::RawGet(int32_t value, char* byte_out) {
  std::unique_ptr<CKorvaneMsg> reply;
  const int32_t rc = Exchange(i2c::kCmdRawGet, i2c::EncodeRawGet(value), &reply);
  if (rc == kResultOk && byte_out != nullptr) *byte_out = static_cast<char>(i2c::DecodeRawGet(reply->payload));
  return rc;
}

int32_t CKorvaneClientI2C::RawStop() {
  std::unique_ptr<CKorvaneMsg> reply;
  return Exchange(i2c::kCmdRawStop, {}, &reply);
}

}  // namespace korvane
