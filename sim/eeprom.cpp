#include "eeprom.h"

#include <cstdio>

namespace korvane::sim {

Eeprom::Eeprom(const EepromGeometry& geometry) : geometry_(geometry), memory_(geometry.size, 0xFF) {
  const std::size_t reach = std::size_t{1} << (8 * geometry.address_bytes);
  blocks_ = geometry.size > reach ? static_cast<int>(geometry.size / reach) : 1;
}

bool Eeprom::Answers(uint8_t address7) const {
  return address7 >= geometry_.address7 && address7 < geometry_.address7 + blocks_;
}

bool Eeprom::Select(uint8_t address7, bool read, Millis now) {
  if (Busy(now)) return false;
  reading_ = read;
  block_ = static_cast<std::size_t>(address7 - geometry_.address7);
  address_bytes_seen_ = 0;
  address_ = 0;
  page_buffer_.clear();
  return true;
}

bool Eeprom::Receive(uint8_t byte) {
  if (reading_) return false;
  if (address_bytes_seen_ < geometry_.address_bytes) {
    address_ = (address_ << 8) | byte;
    if (++address_bytes_seen_ == geometry_.address_bytes) {
      const std::size_t block_shift = static_cast<std::size_t>(8 * geometry_.address_bytes);
      pointer_ = ((block_ << block_shift) | address_) & (geometry_.size - 1);
    }
    return true;
  }
  page_buffer_.emplace_back(pointer_, byte);
  // The address counter of a page write rolls over inside the page.
  const std::size_t page_start = pointer_ & ~(geometry_.page - 1);
  pointer_ = page_start | ((pointer_ + 1) & (geometry_.page - 1));
  return true;
}

uint8_t Eeprom::Transmit() {
  const uint8_t byte = memory_[pointer_];
  pointer_ = (pointer_ + 1) & (geometry_.size - 1);
  return byte;
}

void Eeprom::Stop(Millis now) {
  if (!reading_ && !page_buffer_.empty()) {
    for (const auto& [at, byte] : page_buffer_) memory_[at] = byte;
    busy_until_ = now + geometry_.write_cycle_ms;
  }
  page_buffer_.clear();
  reading_ = false;
}

void Eeprom::Restart() {
  page_buffer_.clear();
  reading_ = false;
}

std::string Eeprom::Describe() const {
  char where[16];
  if (blocks_ > 1) {
    std::snprintf(where, sizeof where, "0x%02X-0x%02X", geometry_.address7, geometry_.address7 + blocks_ - 1);
  } else {
    std::snprintf(where, sizeof where, "0x%02X", geometry_.address7);
  }
  char text[128];
  std::snprintf(text, sizeof text, "%s: EEPROM, %zu bytes, %zu-byte pages, %d address byte%s", where,
                geometry_.size, geometry_.page, geometry_.address_bytes, geometry_.address_bytes == 1 ? "" : "s");
  return text;
}

}  // namespace korvane::sim
