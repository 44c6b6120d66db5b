#include "harness/fuzz_input.h"
#include "harness/harnesses.h"
#include "protocol/KorvaneMsg.h"
#include "protocol/telegram_codec.h"
#include "transport/KorMsg.h"

namespace korvane::fuzz {

int FuzzTelegram(const uint8_t* data, std::size_t size) {
  ExactBuffer bytes(size);
  if (size != 0) std::memcpy(bytes.data(), data, size);

  CKorvaneMsg msg;
  const bool parsed = msg.Parse(bytes.data(), size);
  const CKorMsg transport(bytes.data(), size);
  codec::View view;
  const bool decoded = codec::Decode(bytes.data(), size, &view);

  // The three readers agree.
  KORVANE_FUZZ_CHECK(parsed == decoded);
  KORVANE_FUZZ_CHECK(transport.CheckLength() == msg.CheckLength());
  KORVANE_FUZZ_CHECK(transport.payload == msg.payload && transport.command == msg.command &&
                     transport.id == msg.id && transport.checksum == msg.checksum);

  if (size < codec::kOverhead) {
    // Too short: an empty telegram.
    KORVANE_FUZZ_CHECK(!parsed);
    KORVANE_FUZZ_CHECK(msg.payload.empty() && msg.command == 0 && msg.id == 0 && msg.length == 5);
    KORVANE_FUZZ_CHECK(msg.checksum == msg.CalcChecksum());
    return 0;
  }
  KORVANE_FUZZ_CHECK(msg.payload.size() == size - codec::kOverhead);
  KORVANE_FUZZ_CHECK(parsed == (size <= 65537 && msg.length == size - 2));
  KORVANE_FUZZ_CHECK(msg.IsReply() == ((bytes.data()[3] & 0x80) != 0));
  // Serializing writes back exactly the bytes received, whether or not they were valid.
  KORVANE_FUZZ_CHECK(msg.Serialize() == std::vector<uint8_t>(bytes.data(), bytes.data() + size));
  KORVANE_FUZZ_CHECK(msg.IsIntact() == (parsed && msg.checksum == msg.CalcChecksum()));

  // A telegram rebuilt from its fields is intact and parses back to the same fields.
  if (msg.payload.size() <= codec::kMaxSentTelegram - codec::kOverhead) {
    const std::vector<uint8_t> wire = codec::Build(msg.command, msg.id, msg.payload.data(), msg.payload.size());
    CKorvaneMsg again;
    KORVANE_FUZZ_CHECK(again.Parse(wire.data(), wire.size()));
    KORVANE_FUZZ_CHECK(again.IsIntact());
    KORVANE_FUZZ_CHECK(again.payload == msg.payload && again.command == msg.command && again.id == msg.id);
    const CKorvaneMsg built(msg.payload.data(), msg.payload.size(), msg.command, msg.id);
    KORVANE_FUZZ_CHECK(built.Serialize() == wire);
  }
  return 0;
}

}  // namespace korvane::fuzz
