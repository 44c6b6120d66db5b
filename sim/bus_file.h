#ifndef KORVANE_SIM_BUS_FILE_H
#define KORVANE_SIM_BUS_FILE_H

#include <istream>
#include <string>

#include "bus.h"

namespace korvane::sim {

// Reads a bus description, one item per line; '#' starts a comment, numbers are decimal or
// 0x-hexadecimal, addresses are 7-bit:
//   eeprom ADDRESS SIZE PAGE ADDRESS_BYTES   sizes powers of two, 1 or 2 address bytes
//   sensor ADDRESS [CELSIUS]                 temperature sensor (default 25.5)
//   lines COUNT                              digital lines, 0 to 32 (default 16)
// Returns false with a message naming the line for anything else.
bool LoadBus(std::istream& in, Millis write_cycle_ms, Bus* bus, std::string* error);

}  // namespace korvane::sim

#endif
