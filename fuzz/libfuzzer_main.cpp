// The libFuzzer entry of one target; KORVANE_FUZZ_ENTRY names its harness function.
#include "harness/harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return korvane::fuzz::KORVANE_FUZZ_ENTRY(data, size);
}
