#include "format.h"

#include <algorithm>
#include <cstdio>

namespace korvane::tool {

std::string DetectGrid(const std::vector<int>& found, int first, int last) {
  std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
  char cell[8];
  for (int row = 0; row < 0x80; row += 16) {
    std::snprintf(cell, sizeof cell, "%02x:", row);
    out += cell;
    for (int a = row; a < row + 16; ++a) {
      if (a < first || a > last) {
        out += "   ";
      } else if (std::find(found.begin(), found.end(), a) != found.end()) {
        std::snprintf(cell, sizeof cell, " %02x", a);
        out += cell;
      } else {
        out += " --";
      }
    }
    out += "\n";
  }
  return out;
}

std::string HexDump(const std::vector<uint8_t>& bytes, uint32_t first_offset) {
  std::string out;
  char part[16];
  for (std::size_t row = 0; row < bytes.size(); row += 16) {
    std::snprintf(part, sizeof part, "%08x:", static_cast<unsigned>(first_offset + row));
    out += part;
    std::string text;
    for (std::size_t i = row; i < row + 16; ++i) {
      if (i < bytes.size()) {
        std::snprintf(part, sizeof part, " %02x", bytes[i]);
        out += part;
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  " + text + "\n";
  }
  return out;
}

std::string Hex(long long value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value) & 0xFFFFFFFFull);
  return text;
}

std::string HexList(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (const uint8_t b : bytes) out += (out.empty() ? "" : " ") + Hex(b);
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonBytes(const std::vector<uint8_t>& bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) out += (i ? "," : "") + std::to_string(bytes[i]);
  return out + "]";
}

std::string HexString(const std::vector<uint8_t>& bytes) {
  std::string out = "\"";
  char part[4];
  for (const uint8_t b : bytes) {
    std::snprintf(part, sizeof part, "%02x", b);
    out += part;
  }
  return out + "\"";
}

}  // namespace korvane::tool
