#include "bus_file.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "sensor.h"

namespace korvane::sim {
namespace {

bool ParseUnsigned(const std::string& text, unsigned long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 0);
  return *end == '\0' && text[0] != '-';
}

bool PowerOfTwo(unsigned long v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

bool LoadBus(std::istream& in, Millis write_cycle_ms, Bus* bus, std::string* error) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind)) continue;
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    std::vector<unsigned long> n(args.size());
    bool numeric = true;
    for (std::size_t i = 0; i < args.size(); ++i) numeric = numeric && ParseUnsigned(args[i], &n[i]);

    if (kind == "eeprom") {
      if (args.size() != 4 || !numeric) return fail("expected: eeprom ADDRESS SIZE PAGE ADDRESS_BYTES");
      if (n[0] > 0x7F) return fail("address above 0x7F");
      if (!PowerOfTwo(n[1]) || n[1] > (1ul << 24)) return fail("size must be a power of two up to 16 MiB");
      if (!PowerOfTwo(n[2]) || n[2] > n[1]) return fail("page size must be a power of two up to the size");
      if (n[3] != 1 && n[3] != 2) return fail("1 or 2 address bytes");
      EepromGeometry g{static_cast<uint8_t>(n[0]), n[1], n[2], static_cast<int>(n[3]), write_cycle_ms};
      auto eeprom = std::make_unique<Eeprom>(g);
      if (n[0] + static_cast<unsigned long>(eeprom->Blocks()) > 0x80) return fail("the blocks reach beyond 0x7F");
      if (!bus->Add(std::move(eeprom))) return fail("address taken by another device");
    } else if (kind == "sensor") {
      if (args.empty() || args.size() > 2 || !ParseUnsigned(args[0], &n[0])) {
        return fail("expected: sensor ADDRESS [CELSIUS]");
      }
      if (n[0] > 0x7F) return fail("address above 0x7F");
      double celsius = 25.5;
      if (args.size() == 2) {
        char* end = nullptr;
        celsius = std::strtod(args[1].c_str(), &end);
        if (*end != '\0' || celsius < -128.0 || celsius >= 128.0) return fail("temperature from -128 to 127.99");
      }
      const auto raw = static_cast<int16_t>(std::lround(celsius * 256.0));
      if (!bus->Add(std::make_unique<Sensor>(static_cast<uint8_t>(n[0]), raw))) {
        return fail("address taken by another device");
      }
    } else if (kind == "lines") {
      if (args.size() != 1 || !numeric || n[0] > 32) return fail("expected: lines COUNT (0 to 32)");
      bus->SetLineCount(static_cast<int>(n[0]));
    } else {
      return fail("unknown item '" + kind + "'");
    }
  }
  return true;
}

}  // namespace korvane::sim
