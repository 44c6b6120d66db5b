// korvane-i2c: an i2c-tools style command-line tool for the gateway, built on the public
// header and the shared library only.

#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "format.h"

using namespace korvane::tool;

int main(int argc, char** argv) {
  Globals globals;
  std::vector<std::string> rest;
  try {
    int i = 1;
    for (; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw UsageError(arg + " needs a value");
        return argv[++i];
      };
      if (arg == "-H") {
        globals.host = value();
      } else if (arg == "-p") {
        globals.port_index = static_cast<int>(ParseNumber(value(), 0, 99, "-p"));
      } else if (arg == "-b") {
        globals.bitrate = static_cast<int>(ParseNumber(value(), 1, 0x7FFFFFFF, "-b"));
      } else if (arg == "-t") {
        globals.timeout_ms = static_cast<int>(ParseNumber(value(), 1, 0x7FFFFFFF, "-t"));
      } else if (arg == "--json") {
        globals.json = true;
      } else if (arg == "-h" || arg == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
      } else if (!arg.empty() && arg[0] == '-') {
        throw UsageError("unknown option '" + arg + "'");
      } else {
        break;
      }
    }
    if (i >= argc) throw UsageError("missing command");
    const std::string command = argv[i];
    ArgList args(std::vector<std::string>(argv + i + 1, argv + argc));
    RunCommand(globals, command, args);
    return 0;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "korvane-i2c: %s\nusage: korvane-i2c [-H HOST] [-p PORT_INDEX] [-b BITRATE] [-t TIMEOUT_MS] "
                         "[--json] COMMAND [ARGS]; see --help\n",
                 e.what());
    return 2;
  } catch (const DeviceError& e) {
    if (globals.json) {
      std::printf("{\"error\":{\"code\":%d,\"text\":%s}}\n", e.code, JsonString(ErrorText(e.code)).c_str());
    }
    std::fprintf(stderr, "%s\n", ErrorLine(e.code).c_str());
    return 1;
  } catch (const CheckFailed& e) {
    if (globals.json) std::printf("{\"error\":{\"text\":%s}}\n", JsonString(e.message).c_str());
    std::fprintf(stderr, "%s\n", e.message.c_str());
    return 1;
  }
}
