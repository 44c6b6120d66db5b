#ifndef KORVANE_I2C_KORVANECLIENTI2C_H
#define KORVANE_I2C_KORVANECLIENTI2C_H

#include <cstdint>
#include <memory>

#include "protocol/KorvaneClient.h"

namespace korvane {

// The I2C client of one open device: every operation is one request telegram and its
// confirmation. Operations return result codes; out-values follow each operation's rule.
class CKorvaneClientI2C : public CKorvaneClient {
 public:
  static constexpr uint32_t kDeviceKind = 1;

  explicit CKorvaneClientI2C(int32_t timeout_ms) : CKorvaneClient(kDeviceKind, timeout_ms) {}
  ~CKorvaneClientI2C() override { Shutdown(); }

  int32_t ConfigureBus(int32_t bitrate);
  int32_t Read(int32_t slave_address, uint8_t* buffer, int32_t length);
  int32_t Write(int32_t slave_address, const uint8_t* buffer, int32_t length, int32_t* reply_value);
  int32_t Reset();
  int32_t ReadEEProm(uint32_t chip_select, uint32_t offset, uint8_t* buffer, int32_t length, int32_t mode);
  int32_t WriteEEProm(uint32_t chip_select, uint32_t offset, const uint8_t* buffer, int32_t length, int32_t mode);
  int32_t WriteEEPromPollAck(uint32_t chip_select, uint32_t offset, const uint8_t* buffer, int32_t length,
                             int32_t mode, int32_t poll_limit);
  int32_t ReadDigital(int32_t* first, int32_t* second);
  int32_t WriteDigital(int32_t value);
  // Fills a record that the caller has cleared; byte 18 is the device kind.
  int32_t DeviceInfo(uint8_t* record);
  // Returns the length of the text delivered + 1; 1 with a zeroed buffer on failure.
  int DeviceStatus(char* buffer, int size);
  int32_t Sequence(const uint8_t* sequence, int32_t sequence_length, uint8_t* result, int32_t result_size,
                   int32_t* result_count, int32_t* reply_value);
  int32_t RawStart();
  int32_t RawSend(int32_t first, int32_t second);
  int32_t RawGet(int32_t value, char* byte_out);
  int32_t RawStop();

  int32_t BitRate() const { return bitrate_; }

 private:
  // Request and status conversion. The reply is handed back only when the request itself
  // succeeded (whatever its status), so decoders run on confirmed replies alone.
  int32_t Exchange(uint16_t command, const std::vector<uint8_t>& payload, std::unique_ptr<CKorvaneMsg>* reply);

  int32_t bitrate_ = 100000;
};

}  // namespace korvane

#endif
