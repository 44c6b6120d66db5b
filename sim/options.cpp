#include "options.h"

#include <cstdlib>

namespace korvane::sim {
namespace {

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 0);
  return *end == '\0' && *value <= max;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, SimOptions* options, std::string* error) {
  bool port_given = false;
  unsigned long port_index = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](unsigned long max, unsigned long* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      if (!ParseNumber(argv[++i], max, out)) {
        *error = arg + ": '" + argv[i] + "' is not a number from 0 to " + std::to_string(max);
        return false;
      }
      return true;
    };
    unsigned long n = 0;
    if (arg == "-h" || arg == "--help") return ParseResult::kHelp;
    if (arg == "-v" || arg == "--verbose") {
      options->server.verbose = true;
    } else if (arg == "--refuse") {
      options->gateway.refuse = true;
    } else if (arg == "--listen" || arg == "--bus") {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return ParseResult::kError;
      }
      (arg == "--listen" ? options->server.listen : options->bus_file) = argv[++i];
    } else if (arg == "--port") {
      if (!value(65535, &n)) return ParseResult::kError;
      options->server.port = static_cast<int>(n);
      port_given = true;
    } else if (arg == "--port-index") {
      if (!value(99, &port_index)) return ParseResult::kError;
    } else if (arg == "--max-connections") {
      if (!value(255, &n)) return ParseResult::kError;
      options->gateway.max_connections = static_cast<int>(n);
    } else if (arg == "--keep-alive") {
      if (!value(0xFFFFFFFFul, &n)) return ParseResult::kError;
      options->gateway.keep_alive_ms = static_cast<uint32_t>(n);
    } else if (arg == "--write-cycle-ms") {
      if (!value(60000, &n)) return ParseResult::kError;
      options->gateway.write_cycle_ms = n;
    } else if (arg == "--delay-ms") {
      if (!value(600000, &n)) return ParseResult::kError;
      options->gateway.delay_ms = static_cast<uint32_t>(n);
    } else if (arg == "--drop-every") {
      if (!value(0xFFFFFFFFul, &n)) return ParseResult::kError;
      options->gateway.drop_every = static_cast<uint32_t>(n);
    } else if (arg == "--corrupt-every") {
      if (!value(0xFFFFFFFFul, &n)) return ParseResult::kError;
      options->gateway.corrupt_every = static_cast<uint32_t>(n);
    } else if (arg == "--close-after") {
      if (!value(0xFFFFFFFFul, &n)) return ParseResult::kError;
      options->gateway.close_after = static_cast<uint32_t>(n);
    } else {
      *error = "unknown option '" + arg + "'";
      return ParseResult::kError;
    }
  }
  if (!port_given) options->server.port = static_cast<int>(5000 + 100 * port_index);
  return ParseResult::kRun;
}

std::string HelpText(const std::vector<std::string>& bus_lines) {
  std::string text =
      "usage: korvane-gwsim [options]\n"
      "A gateway simulator: serves the gateway's telegram protocol on TCP with a simulated I2C bus.\n"
      "\n"
      "  --listen ADDR          numeric address to listen on (default 127.0.0.1; ::1 for IPv6)\n"
      "  --port-index N         listen on port 5000 + 100 * N (0 to 99, default 0)\n"
      "  --port N               listen on port N instead (0 picks a free port)\n"
      "  --max-connections N    connections served at once (default 4); more are refused\n"
      "  --keep-alive MS        ask every client to supervise the connection with interval MS\n"
      "  --write-cycle-ms MS    EEPROM write cycle (default 5)\n"
      "  --bus FILE             describe another bus (see the README)\n"
      "  --delay-ms MS          delay every confirmation by MS\n"
      "  --drop-every N         send no confirmation for every Nth device request\n"
      "  --corrupt-every N      give every Nth confirmation a wrong checksum\n"
      "  --refuse               refuse every connect request\n"
      "  --close-after N        close a connection after answering its Nth telegram\n"
      "  -v, --verbose          log connections and every telegram on stderr\n"
      "  -h, --help             this text\n"
      "\n"
      "Prints 'listening on ADDR:PORT' once it accepts connections. SIGINT or SIGTERM send every\n"
      "client a disconnect request and stop once they confirmed (one second at most; a second\n"
      "signal stops at once).\n"
      "\nBus:\n";
  for (const auto& line : bus_lines) text += "  " + line + "\n";
  return text;
}

}  // namespace korvane::sim
