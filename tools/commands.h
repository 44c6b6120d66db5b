#ifndef KORVANE_TOOLS_COMMANDS_H
#define KORVANE_TOOLS_COMMANDS_H

#include <string>

#include "args.h"

namespace korvane::tool {

struct Globals {
  std::string host = "127.0.0.1";
  int port_index = 0;
  int bitrate = 100;  // 100 means 100 kHz to the library
  int timeout_ms = 1000;
  bool json = false;
};

// A result code other than 0 from the library: the tool prints its text and exits with 1.
struct DeviceError {
  int code;
};

// A check that failed without a result code (a verify mismatch); exits with 1.
struct CheckFailed {
  std::string message;
};

// Runs one command; throws UsageError, DeviceError or CheckFailed.
void RunCommand(const Globals& globals, const std::string& command, ArgList& args);

// "error 0x120: I2C NACK (No Acknowledge)"
std::string ErrorLine(int code);
std::string ErrorText(int code);

extern const char kUsage[];

}  // namespace korvane::tool

#endif
