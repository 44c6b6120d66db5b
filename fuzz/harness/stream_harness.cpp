#include <vector>

#include "harness/fuzz_input.h"
#include "harness/harnesses.h"
#include "harness/scripted_client.h"
#include "protocol/telegram_codec.h"
#include "transport/stream_cutter.h"

// Input layout:
//   byte 0        flags: bit 0 repair checksums, bit 1 give every frame the request's id,
//                 bit 2 append a run of 0xFF bytes (count from the next two bytes) to the
//                 stream, so that frames up to the largest (65537 bytes, length field
//                 0xFFFF) are reachable from short inputs
//   byte 1        low 4 bits: number k of chunk sizes that follow
//   k bytes       chunk sizes (value + 1), used in turn for the successive receives
//   1 byte        read length of the I2C read that is in flight
//   [2 bytes]     run length when flag bit 2 is set
//   rest          the received byte stream

namespace korvane::fuzz {

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

// The framing rule in its plainest form: a frame is its length field + 2 bytes, back to back.
Frames CutWhole(const std::vector<uint8_t>& stream) {
  Frames frames;
  std::size_t pos = 0;
  while (stream.size() - pos >= 2) {
    const std::size_t length = codec::ReadLE16(stream.data() + pos) + std::size_t{2};
    if (stream.size() - pos < length) break;
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                        stream.begin() + static_cast<std::ptrdiff_t>(pos + length));
    pos += length;
  }
  return frames;
}

}  // namespace

int FuzzStream(const uint8_t* data, std::size_t size) {
  Input in(data, size);
  const uint8_t flags = in.Byte();
  const std::vector<uint8_t> chunks = in.Take(in.Byte() & 0x0Fu);
  const int32_t read_length = in.Byte();
  const std::size_t run = (flags & 4u) != 0 ? in.U16() : 0;
  std::vector<uint8_t> stream = in.Rest();
  stream.resize(stream.size() + run, 0xFF);

  Frames seen;
  ScriptedClient client([&](ScriptedClient& c, const CKorvaneMsg& request) {
    CStreamCutter cutter;
    std::size_t pos = 0;
    std::size_t turn = 0;
    auto dispatch = [&](const uint8_t* frame, std::size_t length) {
      KORVANE_FUZZ_CHECK(length >= 2 && length <= 65537);
      seen.emplace_back(frame, frame + length);
      if ((flags & 3u) == 0 || length < codec::kOverhead) {
        c.Receive(frame, length);
        return;
      }
      std::vector<uint8_t> fixed(frame, frame + length);
      if ((flags & 2u) != 0) {
        fixed[4] = static_cast<uint8_t>(request.id);
        fixed[5] = static_cast<uint8_t>(request.id >> 8);
      }
      if ((flags & 1u) != 0) {
        fixed[length - 1] = codec::Checksum(codec::ReadLE16(&fixed[2]), codec::ReadLE16(&fixed[4]), &fixed[6],
                                            length - codec::kOverhead);
      }
      c.Receive(fixed.data(), fixed.size());
    };
    while (pos < stream.size()) {
      const std::size_t want = cutter.WantBytes();
      KORVANE_FUZZ_CHECK(want > 0);
      std::size_t n = chunks.empty() ? stream.size() - pos : chunks[turn++ % chunks.size()] + std::size_t{1};
      if (n > want) n = want;
      if (n > stream.size() - pos) n = stream.size() - pos;
      std::memcpy(cutter.WritePointer(), stream.data() + pos, n);
      pos += n;
      cutter.Commit(n, dispatch);
      KORVANE_FUZZ_CHECK(cutter.Fill() <= CStreamCutter::kBufferSize && cutter.ReadPosition() <= cutter.Fill());
    }
  });

  ExactBuffer buffer(Low16(read_length));
  const int32_t rc = client.Read(0x50, buffer.data(), read_length);
  // How the stream was cut into receives never changes what is dispatched.
  KORVANE_FUZZ_CHECK(seen == CutWhole(stream));
  // Whatever arrived, nothing stays stored once the request is over.
  KORVANE_FUZZ_CHECK(client.StoredReplies() == 0);
  if (rc == 0x40000 || rc == 0xA0000 || rc == 0xB0000) {
    for (std::size_t i = 0; i < buffer.size(); ++i) KORVANE_FUZZ_CHECK(buffer.data()[i] == 0xCD);
  }
  return 0;
}

}  // namespace korvane::fuzz
