#include "sensor.h"

#include <cstdio>

namespace korvane::sim {

Sensor::Sensor(uint8_t address7, int16_t temperature_256ths)
    : address7_(address7),
      registers_{static_cast<uint16_t>(temperature_256ths), 0x0000, 75 * 256, 80 * 256} {}

bool Sensor::Select(uint8_t, bool, Millis) {
  bytes_in_transfer_ = 0;
  return true;
}

bool Sensor::Receive(uint8_t byte) {
  const int n = bytes_in_transfer_++;
  if (n == 0) {
    pointer_ = byte & 3u;
    return true;
  }
  if (pointer_ == 0 || n > 2) return false;  // the temperature is read-only; one register per write
  uint16_t& reg = registers_[pointer_];
  reg = n == 1 ? static_cast<uint16_t>((reg & 0x00FF) | (byte << 8)) : static_cast<uint16_t>((reg & 0xFF00) | byte);
  return true;
}

uint8_t Sensor::Transmit() {
  const uint16_t reg = registers_[pointer_];
  const bool high = (bytes_in_transfer_++ % 2) == 0;
  return static_cast<uint8_t>(high ? reg >> 8 : reg);
}

std::string Sensor::Describe() const {
  char text[96];
  std::snprintf(text, sizeof text, "0x%02X: temperature sensor, %.2f degrees C (4 registers of 16 bits)",
                address7_, static_cast<int16_t>(registers_[0]) / 256.0);
  return text;
}

}  // namespace korvane::sim
