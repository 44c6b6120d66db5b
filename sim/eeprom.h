#ifndef KORVANE_SIM_EEPROM_H
#define KORVANE_SIM_EEPROM_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "device.h"

namespace korvane::sim {

struct EepromGeometry {
  uint8_t address7 = 0x50;     // first 7-bit address
  std::size_t size = 32768;    // bytes, a power of two
  std::size_t page = 64;       // page size, a power of two
  int address_bytes = 2;       // 1 or 2
  Millis write_cycle_ms = 5;
};

// A serial EEPROM as the chips behave: the first bytes of a write transfer set the memory
// address, data bytes are collected in the page buffer (wrapping inside the page), and the
// stop condition starts the write cycle, during which the chip acknowledges nothing. Reads
// continue from the current address and wrap at the end of the memory. A memory larger than
// the address bytes reach takes several consecutive 7-bit addresses, whose low bits select
// the block.
class Eeprom final : public Device {
 public:
  explicit Eeprom(const EepromGeometry& geometry);

  bool Answers(uint8_t address7) const override;
  bool Select(uint8_t address7, bool read, Millis now) override;
  bool Receive(uint8_t byte) override;
  uint8_t Transmit() override;
  void Stop(Millis now) override;
  void Restart() override;
  std::string Describe() const override;

  const EepromGeometry& Geometry() const { return geometry_; }
  int Blocks() const { return blocks_; }
  bool Busy(Millis now) const { return now < busy_until_; }
  const std::vector<uint8_t>& Memory() const { return memory_; }
  std::size_t Pointer() const { return pointer_; }

 private:
  EepromGeometry geometry_;
  int blocks_ = 1;
  std::vector<uint8_t> memory_;
  Millis busy_until_ = 0;
  // The current transfer.
  bool reading_ = false;
  std::size_t block_ = 0;
  int address_bytes_seen_ = 0;
  std::size_t address_ = 0;
  std::size_t pointer_ = 0;
  std::vector<std::pair<std::size_t, uint8_t>> page_buffer_;
};

}  // namespace korvane::sim

#endif
