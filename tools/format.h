#ifndef KORVANE_TOOLS_FORMAT_H
#define KORVANE_TOOLS_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::tool {

// The 8 x 16 grid of 7-bit addresses: found ones by number, absent ones "--", addresses
// outside first..last blank.
std::string DetectGrid(const std::vector<int>& found, int first, int last);

// Rows of 16 bytes: offset, hex, and the printable ones as text.
std::string HexDump(const std::vector<uint8_t>& bytes, uint32_t first_offset);

// "0x19 0x80"
std::string HexList(const std::vector<uint8_t>& bytes);
std::string Hex(long long value, int digits = 2);

// JSON pieces.
std::string JsonString(const std::string& text);
std::string JsonBytes(const std::vector<uint8_t>& bytes);  // an array of numbers
std::string HexString(const std::vector<uint8_t>& bytes);  // "0aff.."

}  // namespace korvane::tool

#endif
