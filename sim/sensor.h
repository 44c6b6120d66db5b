#ifndef KORVANE_SIM_SENSOR_H
#define KORVANE_SIM_SENSOR_H

#include <array>
#include <cstdint>

#include "device.h"

namespace korvane::sim {

// A register device that answers like a temperature sensor: the first byte written sets the
// register pointer (0 to 3), further bytes write the pointed register most significant byte
// first; reads deliver the pointed register, most significant byte first, over and over.
// Register 0 is the temperature in 1/256 degrees Celsius (read-only), 1 the configuration,
// 2 the hysteresis and 3 the over-temperature limit.
class Sensor final : public Device {
 public:
  Sensor(uint8_t address7, int16_t temperature_256ths);

  bool Answers(uint8_t address7) const override { return address7 == address7_; }
  bool Select(uint8_t address7, bool read, Millis now) override;
  bool Receive(uint8_t byte) override;
  uint8_t Transmit() override;
  void Stop(Millis) override {}
  void Restart() override {}
  std::string Describe() const override;

  uint16_t Register(int index) const { return registers_[static_cast<std::size_t>(index)]; }

 private:
  uint8_t address7_;
  std::array<uint16_t, 4> registers_;
  std::size_t pointer_ = 0;
  int bytes_in_transfer_ = 0;
};

}  // namespace korvane::sim

#endif
