#include <gtest/gtest.h>

#include <vector>

#include "protocol/KorvaneMsg.h"
#include "protocol/telegram_codec.h"
#include "transport/KorMsg.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Telegram, WorkedExamples) {
  struct Case {
    uint16_t command;
    Bytes payload;
    Bytes wire;
  } cases[] = {
      {0x0104, {}, {0x05, 0x00, 0x04, 0x01, 0x02, 0x00, 0x07}},
      {0x8104, {0x00}, {0x06, 0x00, 0x04, 0x81, 0x02, 0x00, 0x00, 0x87}},
      {0x0107, {0xA0, 0x86, 0x01, 0x00}, {0x09, 0x00, 0x07, 0x01, 0x02, 0x00, 0xA0, 0x86, 0x01, 0x00, 0x23}},
      {0x8107, {0x00}, {0x06, 0x00, 0x07, 0x81, 0x02, 0x00, 0x00, 0x84}},
  };
  for (const Case& c : cases) {
    CKorvaneMsg msg(c.payload.data(), c.payload.size(), c.command, 2);
    EXPECT_EQ(msg.Serialize(), c.wire);
    CKorMsg twin(c.command, c.payload.data(), 2, c.payload.size());
    EXPECT_EQ(twin.Serialize(), c.wire);

    CKorvaneMsg parsed;
    ASSERT_TRUE(parsed.Parse(c.wire.data(), c.wire.size()));
    EXPECT_EQ(parsed.command, c.command);
    EXPECT_EQ(parsed.id, 2);
    EXPECT_EQ(parsed.payload, c.payload);
    EXPECT_TRUE(parsed.IsIntact());
    EXPECT_EQ(parsed.IsReply(), (c.command & 0x8000) != 0);
  }
}

TEST(Telegram, ParseFailuresAndChecksumLeftToReceiver) {
  CKorvaneMsg msg;
  const Bytes six = {0x05, 0x00, 0x04, 0x01, 0x02, 0x00};
  EXPECT_FALSE(msg.Parse(six.data(), six.size()));
  EXPECT_EQ(msg.command, 0);
  EXPECT_EQ(msg.id, 0);
  EXPECT_EQ(msg.length, 5);
  EXPECT_TRUE(msg.payload.empty());
  EXPECT_EQ(msg.checksum, 0);

  const Bytes eight_says_five = {0x05, 0x00, 0x04, 0x01, 0x02, 0x00, 0x00, 0x07};
  EXPECT_FALSE(msg.Parse(eight_says_five.data(), eight_says_five.size()));

  const Bytes wrong_sum = {0x05, 0x00, 0x04, 0x01, 0x02, 0x00, 0x99};
  ASSERT_TRUE(msg.Parse(wrong_sum.data(), wrong_sum.size()));
  EXPECT_EQ(msg.checksum, 0x99);
  EXPECT_EQ(msg.CalcChecksum(), 0x07);  // XOR of bytes 2..5
  EXPECT_FALSE(msg.IsIntact());

  const Bytes reply = {0x06, 0x00, 0x10, 0x81, 0x05, 0x00, 0x00, 0x94};
  ASSERT_TRUE(msg.Parse(reply.data(), reply.size()));
  EXPECT_EQ(static_cast<int16_t>(msg.command), static_cast<int16_t>(0x8110));
  EXPECT_LT(static_cast<int16_t>(msg.command), 0);
}

TEST(Telegram, NullPayloadWithSizeGivesEmptyTelegram) {
  CKorvaneMsg msg(nullptr, 12, 0x0110, 3);
  EXPECT_TRUE(msg.payload.empty());
  EXPECT_EQ(msg.length, 5);
  EXPECT_EQ(msg.Serialize().size(), 7u);
  CKorMsg twin(0x0110, nullptr, 3, 12);
  EXPECT_EQ(twin.Serialize(), msg.Serialize());
}

TEST(Telegram, LargestFrameParsesWithoutWrapping) {
  // Length field 0xFFFF: 65530 payload bytes, 65537 bytes in all.
  Bytes payload(65530, 0x5A);
  Bytes wire = codec::Build(0x8110, 9, payload.data(), payload.size());
  ASSERT_EQ(wire.size(), 65537u);
  CKorvaneMsg msg;
  ASSERT_TRUE(msg.Parse(wire.data(), wire.size()));
  EXPECT_EQ(msg.payload.size(), 65530u);
  EXPECT_TRUE(msg.IsIntact());
  // One byte more than the length field can describe never parses.
  wire.insert(wire.begin() + 6, 0x00);
  EXPECT_FALSE(msg.Parse(wire.data(), wire.size()));
}

}  // namespace
}  // namespace korvane
