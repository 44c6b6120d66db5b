#include <gtest/gtest.h>

#include "i2c/i2c_payloads.h"
#include "support/fake_gateway.h"

namespace korvane {
namespace {

using test::Hex;

TEST(I2CPayloads, EepromAddressEncoding) {
  struct Case {
    uint32_t cs, offset;
    int32_t mode;
    uint16_t device;
    uint8_t address_bytes;
    uint32_t field;
  } cases[] = {
      {0, 0x1234, 0x0000, 0xA0, 2, 0x1234},   {3, 0x5A, 0x0008, 0xA6, 1, 0x5A},
      {1, 0x1A5, 0x0108, 0xA6, 1, 0x1A5},     {1, 0x3A5, 0x0208, 0xAE, 1, 0x3A5},
      {5, 0x7A5, 0x0308, 0xAE, 1, 0x7A5},     {7, 0x1234, 0x0010, 0xAE, 2, 0x1234},
      {2, 0x12345, 0x0110, 0xAA, 2, 0x12345}, {6, 0x1234, 0x0410, 0xA0, 2, 0x1234},
      {2, 0x1ABCD, 0x0510, 0xAC, 2, 0x1ABCD}, {1, 0x2ABCD, 0x0610, 0xAA, 2, 0x2ABCD},
      {0, 0x5ABCD, 0x0710, 0xAA, 2, 0x5ABCD},
      // Edge cases: low 16 bits 0 means 0x000F; L 8 vs 9; L above 16; M 4 and 7; L below k.
      {0, 0xFFFFFFFF, 0x10000, 0xA0, 2, 0x7FFF},
      {0, 0x1FF, 0x0008, 0xA0, 1, 0xFF},      {0, 0x3FF, 0x0009, 0xA0, 2, 0x1FF},
      {0, 0xFFFFFFFF, 0x001F, 0xA0, 2, 0x7FFFFFFF},
      {0, 0xFFFFFFFF, 0x0020, 0xA0, 2, 0xFFFFFFFF},
      {0, 0x70000, 0x0120, 0xA2, 2, 0x70000},  // high bits start at offset bit 16
      {6, 0x1234, 0x0400, 0xA0, 1, 0x0},       {5, 0x7FFFF, 0x0310, 0xAE, 2, 0x7FFFF},
      {3, 0x3, 0x0700, 0xA0, 1, 0x3},          {1, 0x7, 0x0500, 0xA2, 1, 0x1},
  };
  for (const Case& c : cases) {
    const i2c::EepromAddress a = i2c::EncodeEepromAddress(c.cs, c.offset, c.mode);
    EXPECT_EQ(a.device_address, c.device) << std::hex << c.cs << " " << c.offset << " " << c.mode;
    EXPECT_EQ(a.address_bytes, c.address_bytes) << std::hex << c.mode;
    EXPECT_EQ(a.offset_field, c.field) << std::hex << c.offset << " " << c.mode;
  }
}

TEST(I2CPayloads, WholePayloads) {
  i2c::Bytes out;
  EXPECT_EQ(Hex(i2c::EncodeEepromRead(0, 0x1234, 16, 0)), "A0 00 02 00 00 12 34 10 00");
  const uint8_t d1[] = {0x11, 0x22};
  ASSERT_TRUE(i2c::EncodeEepromWrite(1, 0x3A5, d1, 2, 0x0208, &out));
  EXPECT_EQ(Hex(out), "AE 00 01 00 00 03 A5 11 22");
  const uint8_t d2[] = {0xAA, 0xBB};
  ASSERT_TRUE(i2c::EncodeEepromWritePoll(0, 0x10, d2, 2, 0x0008, 50, &out));
  EXPECT_EQ(Hex(out), "A0 00 32 00 01 00 00 00 10 AA BB");
  ASSERT_TRUE(i2c::EncodeEepromWrite(0, 0, nullptr, 0, 0, &out));
  EXPECT_EQ(out.size(), 7u);
  EXPECT_EQ(Hex(i2c::EncodeBusConfig(400)), "80 1A 06 00");
  EXPECT_EQ(Hex(i2c::EncodeRead(0xA0, 16)), "A0 00 10 00");
  EXPECT_EQ(Hex(i2c::EncodeRead(0xA0, 65536)), "A0 00 00 00");
  const uint8_t d3[] = {0x12, 0x34};
  ASSERT_TRUE(i2c::EncodeWrite(0x40, d3, 2, &out));
  EXPECT_EQ(Hex(out), "40 00 12 34");
  EXPECT_EQ(Hex(i2c::EncodeWriteDigital(0x1234)), "34 12 00 00");
  EXPECT_EQ(Hex(i2c::EncodeWriteDigital(-1)), "FF FF FF FF");
  const uint8_t seq[] = {1, 2, 3, 4};
  ASSERT_TRUE(i2c::EncodeSequence(seq, 4, 32, &out));
  EXPECT_EQ(Hex(out), "20 00 01 02 03 04");
  ASSERT_TRUE(i2c::EncodeSequence(seq, 4, 70000, &out));
  EXPECT_EQ(Hex(out).substr(0, 5), "70 11");
  EXPECT_EQ(Hex(i2c::EncodeRawSend(0x1A0, 1)), "A0 01");
  EXPECT_EQ(Hex(i2c::EncodeRawSend(0x1FF, 0)), "FF 00");
  EXPECT_EQ(Hex(i2c::EncodeRawGet(1)), "01");
}

TEST(I2CPayloads, TelegramsThatWouldOverflowAreRefused) {
  const std::vector<uint8_t> data(70000, 0x55);
  i2c::Bytes out;
  EXPECT_TRUE(i2c::EncodeWrite(0x40, data.data(), 65526, &out));   // 65535-byte telegram
  EXPECT_FALSE(i2c::EncodeWrite(0x40, data.data(), 65527, &out));
  EXPECT_TRUE(i2c::EncodeEepromWrite(0, 0, data.data(), 65521, 0, &out));
  EXPECT_FALSE(i2c::EncodeEepromWrite(0, 0, data.data(), 65522, 0, &out));
  EXPECT_TRUE(i2c::EncodeEepromWritePoll(0, 0, data.data(), 65519, 0, 1, &out));
  EXPECT_FALSE(i2c::EncodeEepromWritePoll(0, 0, data.data(), 65520, 0, 1, &out));
  EXPECT_FALSE(i2c::EncodeSequence(data.data(), 65527, 4, &out));
  EXPECT_FALSE(i2c::EncodeWrite(0x40, nullptr, 4, &out));  // data promised but missing
}

TEST(I2CPayloads, ReplyDecoders) {
  uint8_t buffer[8];
  auto fresh = [&] { std::fill(std::begin(buffer), std::end(buffer), 0xEE); };
  struct ReadCase {
    i2c::Bytes reply;
    int32_t length;
    std::size_t eeprom_count;
    const char* eeprom_bytes;
  } eeprom_cases[] = {
      {{0, 9, 9, 1, 2}, 2, 2, "01 02 EE"},   // length + 3: two bytes skipped
      {{0, 1, 2}, 2, 2, "01 02 EE"},         // length + 1: data from byte 1
      {{0, 1, 2, 3, 4, 5}, 2, 2, "01 02 EE"}, // another size: the first length bytes after the status
      {{}, 3, 0, "EE EE EE"},
  };
  for (const ReadCase& c : eeprom_cases) {
    fresh();
    EXPECT_EQ(i2c::DecodeEepromReadData(c.reply, c.length, buffer), c.eeprom_count);
    EXPECT_EQ(Hex(i2c::Bytes(buffer, buffer + 3)), c.eeprom_bytes);
  }
  fresh();
  EXPECT_EQ(i2c::DecodeReadData({0x20, 1, 2, 3}, 2, buffer), 2u);
  EXPECT_EQ(Hex(i2c::Bytes(buffer, buffer + 3)), "01 02 EE");

  int32_t first = 7, second = 7;
  EXPECT_FALSE(i2c::DecodeDigital({0, 1, 2, 3, 4, 5, 6, 7}, &first, &second));
  EXPECT_EQ(first, 7);
  EXPECT_TRUE(i2c::DecodeDigital({0, 1, 2, 3, 4, 5, 6, 7, 8}, &first, nullptr));
  EXPECT_EQ(first, 0x04030201);

  uint8_t record[20] = {};
  i2c::DecodeDeviceInfo(i2c::Bytes(30, 0x42), record);
  EXPECT_EQ(record[19], 0x42);
  fresh();
  EXPECT_EQ(i2c::DecodeSequenceResult({0, 2, 0, 0xAA, 0xBB, 0xCC}, 2, buffer), 2u);
  EXPECT_EQ(Hex(i2c::Bytes(buffer, buffer + 3)), "AA BB EE");
  EXPECT_EQ(i2c::DecodeSequenceResult({0, 2}, 8, buffer), 0u);
  EXPECT_EQ(i2c::DecodeReplyValue({0, 0x34, 0x12}), 0x1234u);
  EXPECT_EQ(i2c::DecodeReplyValue({0, 0x34}), 0u);
  EXPECT_EQ(i2c::DecodeRawGet({0, 0x5C}), 0x5C);
  EXPECT_EQ(i2c::DecodeRawGet({0}), 0);
}

}  // namespace
}  // namespace korvane
