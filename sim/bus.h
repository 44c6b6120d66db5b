#ifndef KORVANE_SIM_BUS_H
#define KORVANE_SIM_BUS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "eeprom.h"

namespace korvane::sim {

// Reply status bytes of the gateway.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusNack = 0x20;
constexpr uint8_t kStatusBusTimeout = 0x21;
constexpr uint8_t kStatusPollTimeout = 0x25;
constexpr uint8_t kStatusFailed = 0xFF;

enum class Ack { kAck, kNack, kMisuse };

// The simulated I2C bus: its devices, the master's view of the bus conditions (idle,
// started, a write or read transfer, an unanswered address) and the gateway's digital lines.
// Addresses on the byte level are in 8-bit form: the 7-bit address shifted left by one with
// the read bit in bit 0.
class Bus {
 public:
  // Fails (returns false) when an address of the device is taken already.
  bool Add(std::unique_ptr<Device> device);
  Device* Find(uint8_t address7) const;
  // The EEPROM at this address, if that is what answers there.
  Eeprom* FindEeprom(uint8_t address7) const;
  const std::vector<std::unique_ptr<Device>>& Devices() const { return devices_; }

  // Start condition; a repeated start when a transfer is open.
  void Start();
  // The first byte after a start is the address byte; later bytes go to the addressed device.
  Ack Send(uint8_t byte, Millis now);
  // Reads one byte of an open read transfer; a read with nobody addressed yields 0xFF.
  Ack Get(uint8_t* byte);
  void Stop(Millis now);
  bool Idle() const { return state_ == State::kIdle; }

  // Digital lines: the inputs read back the outputs (loopback wiring of the simulator).
  int LineCount() const { return line_count_; }
  void SetLineCount(int count) { line_count_ = count; }
  uint32_t LineMask() const { return line_count_ >= 32 ? 0xFFFFFFFFu : (1u << line_count_) - 1u; }
  uint32_t Outputs() const { return outputs_; }
  uint32_t Inputs() const { return outputs_ & LineMask(); }
  void SetOutputs(uint32_t value) { outputs_ = value & LineMask(); }

 private:
  enum class State { kIdle, kStarted, kWriting, kReading, kUnanswered };
  std::vector<std::unique_ptr<Device>> devices_;
  State state_ = State::kIdle;
  Device* current_ = nullptr;
  int line_count_ = 16;
  uint32_t outputs_ = 0;
};

// The default bus: a 32 KiB EEPROM (64-byte pages, two address bytes) at 0x50, a 256-byte
// EEPROM (16-byte pages, one address byte) at 0x51, a temperature sensor at 0x48 and 16
// digital lines.
void AddDefaultDevices(Bus* bus, Millis write_cycle_ms);

// Lines that describe the bus, one per device and one for the digital lines.
std::vector<std::string> DescribeBus(const Bus& bus);

}  // namespace korvane::sim

#endif
