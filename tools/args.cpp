#include "args.h"

#include <cerrno>
#include <cstdlib>

namespace korvane::tool {

long long ParseNumber(const std::string& text, long long min, long long max, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max) {
    throw UsageError(what + ": '" + text + "' is not a number from " + std::to_string(min) + " to " +
                     std::to_string(max));
  }
  return value;
}

std::vector<uint8_t> ParseHexBytes(const std::vector<std::string>& words) {
  std::vector<uint8_t> bytes;
  for (std::string word : words) {
    if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0) word = word.substr(2);
    if (word.empty() || word.size() % 2 != 0) throw UsageError("'" + word + "' is not a sequence of hex bytes");
    for (std::size_t i = 0; i < word.size(); i += 2) {
      const std::string pair = word.substr(i, 2);
      char* end = nullptr;
      const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
      if (*end != '\0' || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ') {
        throw UsageError("'" + word + "' is not a sequence of hex bytes");
      }
      bytes.push_back(static_cast<uint8_t>(v));
    }
  }
  return bytes;
}

std::string ArgList::Take(const std::string& what) {
  if (Empty()) throw UsageError("missing " + what);
  return args_[at_++];
}

std::vector<std::string> ArgList::Rest() {
  std::vector<std::string> rest(args_.begin() + static_cast<std::ptrdiff_t>(at_), args_.end());
  at_ = args_.size();
  return rest;
}

}  // namespace korvane::tool
