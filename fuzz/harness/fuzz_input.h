#ifndef KORVANE_FUZZ_HARNESS_FUZZ_INPUT_H
#define KORVANE_FUZZ_HARNESS_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace korvane::fuzz {

// Consumes a fuzz input front to back; reads past the end give zeros, so every input is
// usable whatever its size.
class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  // The next count bytes (fewer when the input ends), copied.
  std::vector<uint8_t> Take(std::size_t count) {
    const std::size_t n = count < Remaining() ? count : Remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  std::vector<uint8_t> Rest() { return Take(Remaining()); }
  std::size_t Remaining() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A heap block of exactly size bytes, so AddressSanitizer flags any access past it.
class ExactBuffer {
 public:
  explicit ExactBuffer(std::size_t size, uint8_t fill = 0xCD) : bytes_(new uint8_t[size]), size_(size) {
    if (size != 0) std::memset(bytes_.get(), fill, size);
  }
  uint8_t* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  std::size_t size_;
};

// Low 16 bits of an exported length argument: the size a caller's buffer must have.
inline std::size_t Low16(int32_t value) { return static_cast<uint32_t>(value) & 0xFFFFu; }

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::abort();
}

}  // namespace korvane::fuzz

#define KORVANE_FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : ::korvane::fuzz::Fail(__FILE__, __LINE__, #cond))

#endif
