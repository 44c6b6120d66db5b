#ifndef KORVANE_TOOLS_ARGS_H
#define KORVANE_TOOLS_ARGS_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::tool {

// A usage error: the tool prints the message and the usage line and exits with 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Decimal, 0x-hexadecimal or 0-octal, from min to max; a UsageError naming what otherwise.
long long ParseNumber(const std::string& text, long long min, long long max, const std::string& what);

// Bytes written as hex: "0a", "0x0a", "a0b1c2" or several such words; anything else is a
// UsageError.
std::vector<uint8_t> ParseHexBytes(const std::vector<std::string>& words);

// The arguments after the command, taken one at a time.
class ArgList {
 public:
  explicit ArgList(std::vector<std::string> args) : args_(std::move(args)) {}
  bool Empty() const { return at_ >= args_.size(); }
  const std::string& Peek() const { return args_[at_]; }
  std::string Take(const std::string& what);
  std::vector<std::string> Rest();

 private:
  std::vector<std::string> args_;
  std::size_t at_ = 0;
};

}  // namespace korvane::tool

#endif
