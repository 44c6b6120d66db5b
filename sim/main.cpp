#include <chrono>
#include <cstdio>
#include <fstream>

#include "bus_file.h"
#include "options.h"

using namespace korvane::sim;

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  const ParseResult parsed = ParseOptions(argc, argv, &options, &error);
  if (parsed == ParseResult::kError) {
    std::fprintf(stderr, "korvane-gwsim: %s\nusage: korvane-gwsim [--port N | --port-index N] [options]; see --help\n",
                 error.c_str());
    return 2;
  }
  const auto now = static_cast<Millis>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count());
  Gateway gateway(options.gateway, now);
  if (options.bus_file.empty()) {
    AddDefaultDevices(&gateway.GetBus(), options.gateway.write_cycle_ms);
  } else {
    std::ifstream in(options.bus_file);
    if (!in) {
      std::fprintf(stderr, "korvane-gwsim: cannot read %s\n", options.bus_file.c_str());
      return 2;
    }
    if (!LoadBus(in, options.gateway.write_cycle_ms, &gateway.GetBus(), &error)) {
      std::fprintf(stderr, "korvane-gwsim: %s: %s\n", options.bus_file.c_str(), error.c_str());
      return 2;
    }
  }
  if (parsed == ParseResult::kHelp) {
    std::fputs(HelpText(DescribeBus(gateway.GetBus())).c_str(), stdout);
    return 0;
  }
  return RunServer(options.server, gateway);
}
