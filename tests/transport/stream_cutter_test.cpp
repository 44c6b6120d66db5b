#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/telegram_codec.h"
#include "transport/stream_cutter.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

// Feeds chunks through the cutter the way the receive loop does and collects the frames.
std::vector<Bytes> Feed(CStreamCutter& cutter, const std::vector<Bytes>& chunks) {
  std::vector<Bytes> frames;
  for (const Bytes& chunk : chunks) {
    std::size_t done = 0;
    while (done < chunk.size()) {
      const std::size_t n = std::min(cutter.WantBytes(), chunk.size() - done);
      std::memcpy(cutter.WritePointer(), chunk.data() + done, n);
      done += n;
      cutter.Commit(n, [&](const uint8_t* f, std::size_t len) { frames.emplace_back(f, f + len); });
    }
  }
  return frames;
}

Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

TEST(StreamCutter, Chunkings) {
  const Bytes a = codec::Build(0x8110, 2, nullptr, 0);
  const Bytes p = {0x00, 1, 2, 3};
  const Bytes b = codec::Build(0x8111, 3, p.data(), p.size());
  const Bytes both = Cat(a, b);

  // Two in one read.
  CStreamCutter c1;
  EXPECT_EQ(Feed(c1, {both}), (std::vector<Bytes>{a, b}));
  EXPECT_EQ(c1.Fill(), 0u);

  // One split over three reads: dispatched once, when its last byte arrives.
  CStreamCutter c2;
  EXPECT_TRUE(Feed(c2, {Bytes(b.begin(), b.begin() + 3), Bytes(b.begin() + 3, b.begin() + 6)}).empty());
  EXPECT_EQ(Feed(c2, {Bytes(b.begin() + 6, b.end())}), std::vector<Bytes>{b});

  // A block ending with the first byte of a length field: the byte moves to the front.
  CStreamCutter c3;
  EXPECT_EQ(Feed(c3, {Bytes(both.begin(), both.begin() + static_cast<long>(a.size()) + 1)}), std::vector<Bytes>{a});
  EXPECT_EQ(c3.Fill(), 1u);
  EXPECT_EQ(c3.ReadPosition(), 0u);
  EXPECT_EQ(Feed(c3, {Bytes(both.begin() + static_cast<long>(a.size()) + 1, both.end())}), std::vector<Bytes>{b});

  // Byte by byte.
  CStreamCutter c4;
  std::vector<Bytes> singles;
  for (uint8_t byte : both) singles.push_back(Bytes{byte});
  EXPECT_EQ(Feed(c4, singles), (std::vector<Bytes>{a, b}));

  // Length fields 0 and 1 give 2- and 3-byte frames.
  CStreamCutter c5;
  EXPECT_EQ(Feed(c5, {Bytes{0x00, 0x00, 0x01, 0x00, 0xAA}}), (std::vector<Bytes>{{0x00, 0x00}, {0x01, 0x00, 0xAA}}));
}

TEST(StreamCutter, LargestFramesAreAwaitedInFull) {
  for (uint16_t length_field : {uint16_t{0xFFFE}, uint16_t{0xFFFF}}) {
    Bytes frame(static_cast<std::size_t>(length_field) + 2, 0x11);
    frame[0] = static_cast<uint8_t>(length_field);
    frame[1] = static_cast<uint8_t>(length_field >> 8);
    const Bytes tail = codec::Build(0x8104, 7, nullptr, 0);
    // A small telegram first so the big one starts off the buffer's front.
    const Bytes head = codec::Build(0x8104, 6, nullptr, 0);
    CStreamCutter cutter;
    const Bytes stream = Cat(Cat(head, frame), tail);
    std::vector<Bytes> chunks;
    for (std::size_t i = 0; i < stream.size(); i += 40000)
      chunks.emplace_back(stream.begin() + static_cast<long>(i), stream.begin() + static_cast<long>(std::min(stream.size(), i + 40000)));
    const std::vector<Bytes> frames = Feed(cutter, chunks);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].size(), static_cast<std::size_t>(length_field) + 2);
    EXPECT_EQ(frames[1], frame);
    EXPECT_EQ(frames[2], tail);
  }
}

}  // namespace
}  // namespace korvane
