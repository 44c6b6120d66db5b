#ifndef KORVANE_SIM_OPTIONS_H
#define KORVANE_SIM_OPTIONS_H

#include <string>

#include "gateway.h"
#include "server.h"

namespace korvane::sim {

struct SimOptions {
  ServerOptions server;
  GatewayOptions gateway;
  std::string bus_file;  // empty: the default bus
};

enum class ParseResult { kRun, kHelp, kError };

// Parses the command line; on kError, *error says what is wrong.
ParseResult ParseOptions(int argc, char** argv, SimOptions* options, std::string* error);

// The --help text, with the description of the bus given.
std::string HelpText(const std::vector<std::string>& bus_lines);

}  // namespace korvane::sim

#endif
