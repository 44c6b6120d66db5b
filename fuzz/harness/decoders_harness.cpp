#include <algorithm>
#include <cstring>
#include <string>

#include "api/result_text.h"
#include "harness/fuzz_input.h"
#include "harness/harnesses.h"
#include "i2c/i2c_payloads.h"
#include "i2c/KorvaneClientI2C.h"

// Input layout: 4 bytes length argument, 4 bytes second size argument (sequence result size,
// status text buffer size), then the reply payload (status byte first).

namespace korvane::fuzz {

namespace {

bool Untouched(ExactBuffer& b, std::size_t from) {
  for (std::size_t i = from; i < b.size(); ++i) {
    if (b.data()[i] != 0xCD) return false;
  }
  return true;
}

}  // namespace

int FuzzReplyDecoders(const uint8_t* data, std::size_t size) {
  Input in(data, size);
  const int32_t length = in.I32();
  const int32_t other = in.I32();
  const std::vector<uint8_t> tail = in.Rest();
  // The payload in a block of exactly its size, as a parsed reply holds it.
  const i2c::Bytes reply(tail.begin(), tail.end());
  const std::size_t n = reply.size();
  const std::size_t requested = Low16(length);

  {  // I2CRead: the data after the status, at most the requested count.
    ExactBuffer buffer(requested);
    const std::size_t count = i2c::DecodeReadData(reply, length, buffer.data());
    KORVANE_FUZZ_CHECK(count == (n == 0 ? 0 : std::min(n - 1, requested)));
    KORVANE_FUZZ_CHECK(count == 0 || std::memcmp(buffer.data(), reply.data() + 1, count) == 0);
    KORVANE_FUZZ_CHECK(Untouched(buffer, count));
  }
  {  // EEPROM read: a reply of exactly requested + 3 bytes carries two bytes to skip.
    ExactBuffer buffer(requested);
    const std::size_t count = i2c::DecodeEepromReadData(reply, length, buffer.data());
    const std::size_t start = n == requested + 3 ? 3 : 1;
    KORVANE_FUZZ_CHECK(count == (n == 0 ? 0 : std::min(n - start, requested)));
    KORVANE_FUZZ_CHECK(count == 0 || std::memcmp(buffer.data(), reply.data() + start, count) == 0);
    KORVANE_FUZZ_CHECK(Untouched(buffer, count));
  }
  {  // Sequence: result bytes from byte 3, at most the result buffer's size.
    const std::size_t result_size = Low16(other);
    ExactBuffer buffer(result_size);
    const std::size_t count = i2c::DecodeSequenceResult(reply, other, buffer.data());
    KORVANE_FUZZ_CHECK(count == (n < 3 ? 0 : std::min(n - 3, result_size)));
    KORVANE_FUZZ_CHECK(count == 0 || std::memcmp(buffer.data(), reply.data() + 3, count) == 0);
    KORVANE_FUZZ_CHECK(Untouched(buffer, count));
    const uint32_t value = i2c::DecodeReplyValue(reply);
    KORVANE_FUZZ_CHECK(value <= 0xFFFFu && (n >= 3 || value == 0));
  }
  {  // Digital lines: two 32-bit values, each in a block of its own.
    ExactBuffer first(sizeof(int32_t));
    ExactBuffer second(sizeof(int32_t));
    const bool stored = i2c::DecodeDigital(reply, reinterpret_cast<int32_t*>(first.data()),
                                           reinterpret_cast<int32_t*>(second.data()));
    KORVANE_FUZZ_CHECK(stored == (n >= 9));
    if (stored) {
      KORVANE_FUZZ_CHECK(std::memcmp(first.data(), reply.data() + 1, 4) == 0);
      KORVANE_FUZZ_CHECK(std::memcmp(second.data(), reply.data() + 5, 4) == 0);
    } else {
      KORVANE_FUZZ_CHECK(Untouched(first, 0) && Untouched(second, 0));
    }
    KORVANE_FUZZ_CHECK(i2c::DecodeDigital(reply, nullptr, nullptr) == stored);
  }
  {  // Device information: at most 20 bytes into the 20-byte record.
    ExactBuffer record(20, 0);
    i2c::DecodeDeviceInfo(reply, record.data());
    const std::size_t count = n == 0 ? 0 : std::min<std::size_t>(n - 1, 20);
    KORVANE_FUZZ_CHECK(count == 0 || std::memcmp(record.data(), reply.data() + 1, count) == 0);
  }
  {  // Raw get: byte 1 or 0.
    const uint8_t byte = i2c::DecodeRawGet(reply);
    KORVANE_FUZZ_CHECK(byte == (n >= 2 ? reply[1] : 0));
  }
  {  // Status text into a buffer of the size the caller gives (1 to 4096 here).
    const int text_size = static_cast<int>(Low16(other) % 4096) + 1;
    ExactBuffer buffer(static_cast<std::size_t>(text_size));
    const char* text = n == 0 ? "" : reinterpret_cast<const char*>(reply.data()) + 1;
    const std::size_t text_length = n == 0 ? 0 : n - 1;
    const int written = CopyTextOut(text, text_length, reinterpret_cast<char*>(buffer.data()), text_size);
    KORVANE_FUZZ_CHECK(written >= 1 && written <= text_size);
    KORVANE_FUZZ_CHECK(buffer.data()[written - 1] == 0);
  }
  {  // Status byte to result code for the I2C device kind.
    static const CKorvaneClientI2C client(0);
    const CKorvaneMsg msg(reply.data(), reply.size(), 0x8110, 0);
    const int32_t expected = n == 0 ? 0xC0100 : reply[0] == 0 ? 0 : 0x100 | reply[0];
    KORVANE_FUZZ_CHECK(client.ReplyResult(msg) == expected);
  }
  return 0;
}

}  // namespace korvane::fuzz
