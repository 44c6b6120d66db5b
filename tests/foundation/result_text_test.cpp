#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KorvaneI2C.h"

namespace {

std::string Message(int code) {
  char buffer[256];
  const int n = I2CErrorMessage(code, buffer, sizeof buffer);
  EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)) + 1);
  return buffer;
}

TEST(ResultText, TableAndFallbacks) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {0, "no error"},
      {0x120, "I2C NACK (No Acknowledge)"},
      {0xC0100, "Korvane TCP/IP telegram confirmation is invalid"},  // second try with 0xC0000
      {0x1FF, "Korvane command failed"},                              // second try with 0xFF
      {0x101, "Open failed, maximum number of connections reached"},  // second try with 1
      {0x150, "Unknown error code: 80"},                              // second try with 0x50
      {7, "Unknown error code: 7"},
      {-1, "Unknown error code: -65281"},  // 0xFFFF00FF after the second try
      {0x910000, "Device type invalid (handle is connected device type, which does not support called function"},
      {0xE20, "File could not be opened"},
      {0xE26, "Failed to read data from target"},
      {0x40000, "TCP/IP timeout occured"},
      {0x900000, "Device handle is invalid"},
  };
  for (const Case& c : cases) EXPECT_EQ(Message(c.code), c.text) << "code " << c.code;
}

TEST(ResultText, StringOutConvention) {
  struct Case {
    int length;
    int expected;
    const char* text;
  } cases[] = {
      {64, 26, "Korvane I2C DLL V1.8-2.18"},
      {26, 26, "Korvane I2C DLL V1.8-2.18"},
      {25, 25, "Korvane I2C DLL V1.8-2.1"},
      {10, 10, "Korvane I"},
      {1, 1, ""},
  };
  for (const Case& c : cases) {
    char buffer[80];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DLLInfo(buffer, c.length), c.expected) << c.length;
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(buffer[c.length], 'x') << "wrote past the buffer length " << c.length;
  }
  char untouched[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(DLLInfo(untouched, 0), 0);
  EXPECT_EQ(DLLInfo(untouched, -5), 0);
  EXPECT_EQ(DLLInfo(nullptr, 10), 0);
  EXPECT_EQ(I2CErrorMessage(0, untouched, 0), 0);
  EXPECT_EQ(I2CErrorMessage(0, nullptr, 10), 0);
  EXPECT_EQ(untouched[0], 'a');
  char small[4];
  EXPECT_EQ(I2CErrorMessage(0x120, small, sizeof small), 4);
  EXPECT_STREQ(small, "I2C");
}

}  // namespace
