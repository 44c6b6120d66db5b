#ifndef KORVANE_SIM_MASTER_H
#define KORVANE_SIM_MASTER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bus.h"

namespace korvane::sim {

// The gateway's bus master: the transfers behind each command, built from start, address,
// data and stop on the bus model. Every function takes the time the command starts at and
// advances it by the bus time the transfer takes (acknowledge polling waits in steps of one
// millisecond), and returns the reply status. Slave addresses are in 8-bit form.

uint8_t MasterRead(Bus& bus, uint16_t address8, std::size_t count, Millis* now, std::vector<uint8_t>* data);

// *acknowledged receives the number of data bytes the slave acknowledged.
uint8_t MasterWrite(Bus& bus, uint16_t address8, const uint8_t* data, std::size_t count, Millis* now,
                    uint16_t* acknowledged);

struct EepromTarget {
  uint16_t address8 = 0xA0;
  int address_bytes = 2;  // 1 or 2
  uint32_t offset = 0;
};

// Sets the memory address with a write transfer, then reads count bytes after a repeated start.
uint8_t EepromRead(Bus& bus, const EepromTarget& target, std::size_t count, Millis* now,
                   std::vector<uint8_t>* data);

// Without a polling limit a plain write: the EEPROM must acknowledge at once (0x20 when it is
// still busy with an earlier write cycle). With one, the master polls before the first page for
// up to that many milliseconds, and after the last page until its write cycle is over (0x25 when
// the limit runs out). Either way the data are split at page boundaries and the master waits
// for the write cycle of each page before it sends the next.
uint8_t EepromWrite(Bus& bus, const EepromTarget& target, const uint8_t* data, std::size_t count,
                    std::optional<uint16_t> poll_limit_ms, Millis* now);

// Raw steps. Send: bit 0 of flags puts a start condition before the byte. Get: bit 0 of
// flags acknowledges the byte (more to follow); without it the byte is the last one.
uint8_t RawStart(Bus& bus);
uint8_t RawSend(Bus& bus, uint8_t byte, uint8_t flags, Millis now);
uint8_t RawGet(Bus& bus, uint8_t flags, uint8_t* byte);
uint8_t RawStop(Bus& bus, Millis now);

}  // namespace korvane::sim

#endif
