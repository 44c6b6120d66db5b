#ifndef KORVANE_FUZZ_HARNESS_HARNESSES_H
#define KORVANE_FUZZ_HARNESS_HARNESSES_H

// One entry function per fuzz target. The libFuzzer mains call them, and the ordinary test
// suite feeds them every seed and every kept regression input, so a crash found once stays
// covered by the regular build. Each returns 0; a broken invariant aborts.

#include <cstddef>
#include <cstdint>

namespace korvane::fuzz {

// Telegram decoding: both telegram classes and the codec, with round-trip checks.
int FuzzTelegram(const uint8_t* data, std::size_t size);
// Stream cutting under arbitrary chunking, then dispatch through a connection into a client
// that has a request in flight. Layout: see stream_harness.cpp.
int FuzzStream(const uint8_t* data, std::size_t size);
// Every reply decoder with caller buffers exactly as large as the call says.
int FuzzReplyDecoders(const uint8_t* data, std::size_t size);
// Every I2C operation of a client, answered with a fuzzed confirmation.
int FuzzClientOperations(const uint8_t* data, std::size_t size);

struct Target {
  const char* name;  // folder under fuzz/corpus/
  int (*entry)(const uint8_t*, std::size_t);
};
constexpr Target kTargets[] = {
    {"telegram", FuzzTelegram},
    {"stream", FuzzStream},
    {"decoders", FuzzReplyDecoders},
    {"client_ops", FuzzClientOperations},
};

}  // namespace korvane::fuzz

#endif
