// The exported device functions: each looks its handle up and runs one operation of the
// device's I2C client. A call holds its entry for its whole length.
#include <cstring>

#include "KorvaneI2C.h"
#include "api/DeviceRegistry.h"

using korvane::DeviceEntry;
using korvane::Registry;

namespace {

// Runs op(client) on the handle's client, or returns the invalid-handle code.
template <class Op>
int WithClient(int handle, Op&& op) {
  const std::shared_ptr<DeviceEntry> entry = Registry().Lookup(handle);
  if (!entry || !entry->client) return korvane::kResultInvalidHandle;
  return op(*entry->client);
}

}  // namespace

extern "C" {

KORVANE_API int KORVANE_CALL I2COpenDevice(int* handle, int bitrate, const char* host, int timeout_ms) {
  return Registry().OpenDevice(handle, bitrate, 0, host, timeout_ms);
}

KORVANE_API int KORVANE_CALL I2COpenDeviceEx(int* handle, int bitrate, int port_index, const char* host,
                                             int timeout_ms) {
  return Registry().OpenDevice(handle, bitrate, port_index, host, timeout_ms);
}

KORVANE_API int KORVANE_CALL I2CCloseDevice(int handle) {
  if (const std::shared_ptr<DeviceEntry> entry = Registry().Lookup(handle)) {
    if (entry->client) entry->client->Disconnect();
  }
  return Registry().Remove(handle);
}

KORVANE_API int KORVANE_CALL DeviceInfo(int handle, unsigned char* record) {
  if (record == nullptr) return korvane::kResultInvalidParameter;
  std::memset(record, 0, KORVANE_DEVICE_INFO_SIZE);
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.DeviceInfo(record); });
}

KORVANE_API int KORVANE_CALL DeviceStatus(int handle, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  const int rc = WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.DeviceStatus(buffer, size); });
  return rc == korvane::kResultInvalidHandle ? 1 : rc;
}

KORVANE_API int KORVANE_CALL I2CWrite(int handle, int slave_address, const unsigned char* buffer, int length,
                                      int* reply_value) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.Write(slave_address, buffer, length, reply_value); });
}

KORVANE_API int KORVANE_CALL I2CRead(int handle, int slave_address, unsigned char* buffer, int length) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.Read(slave_address, buffer, length); });
}

KORVANE_API int KORVANE_CALL I2CReadEEProm(int handle, unsigned int chip_select, unsigned int offset,
                                           unsigned char* buffer, int length, int mode) {
  return WithClient(handle,
                    [&](korvane::CKorvaneClientI2C& c) { return c.ReadEEProm(chip_select, offset, buffer, length, mode); });
}

KORVANE_API int KORVANE_CALL I2CWriteEEProm(int handle, unsigned int chip_select, unsigned int offset,
                                            const unsigned char* buffer, int length, int mode) {
  return WithClient(handle,
                    [&](korvane::CKorvaneClientI2C& c) { return c.WriteEEProm(chip_select, offset, buffer, length, mode); });
}

KORVANE_API int KORVANE_CALL I2CWriteEEPromPollAck(int handle, unsigned int chip_select, unsigned int offset,
                                                   const unsigned char* buffer, int length, int mode, int poll_limit) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) {
    return c.WriteEEPromPollAck(chip_select, offset, buffer, length, mode, poll_limit);
  });
}

KORVANE_API int KORVANE_CALL I2CReset(int handle) {
  return WithClient(handle, [](korvane::CKorvaneClientI2C& c) { return c.Reset(); });
}

KORVANE_API int KORVANE_CALL I2CReadDigital(int handle, int* first_value, int* second_value) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.ReadDigital(first_value, second_value); });
}

KORVANE_API int KORVANE_CALL I2CWriteDigital(int handle, int value) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.WriteDigital(value); });
}

KORVANE_API int KORVANE_CALL I2CSequence(int handle, const unsigned char* sequence, int sequence_length,
                                         unsigned char* result, int result_size, int* result_count, int* reply_value) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) {
    return c.Sequence(sequence, sequence_length, result, result_size, result_count, reply_value);
  });
}

KORVANE_API int KORVANE_CALL I2CRAWStart(int handle) {
  return WithClient(handle, [](korvane::CKorvaneClientI2C& c) { return c.RawStart(); });
}

KORVANE_API int KORVANE_CALL I2CRAWSend(int handle, int first_value, int second_value) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.RawSend(first_value, second_value); });
}

KORVANE_API int KORVANE_CALL I2CRAWGet(int handle, int value, char* byte_out) {
  return WithClient(handle, [&](korvane::CKorvaneClientI2C& c) { return c.RawGet(value, byte_out); });
}

KORVANE_API int KORVANE_CALL I2CRAWStop(int handle) {
  return WithClient(handle, [](korvane::CKorvaneClientI2C& c) { return c.RawStop(); });
}

}  // extern "C"
