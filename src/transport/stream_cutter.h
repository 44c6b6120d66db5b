#ifndef KORVANE_TRANSPORT_STREAM_CUTTER_H
#define KORVANE_TRANSPORT_STREAM_CUTTER_H

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/telegram_codec.h"

namespace korvane {

// Cuts the received byte stream into telegrams, with no I/O: the reader receives into
// WritePointer() at most WantBytes() bytes and hands the count to Commit, which dispatches
// every complete telegram in place. Incomplete input waits for more bytes; there is no
// resynchronisation, a frame is exactly what its length field says (2 to 65537 bytes).
class CStreamCutter {
 public:
  static constexpr std::size_t kBufferSize = 131072;
  // Reads stop filling at this mark unless a pending telegram reaches beyond it.
  static constexpr std::size_t kFillMark = 65537;

  uint8_t* WritePointer() {
    // Left uninitialised: only received bytes are ever read, and pages never written stay
    // untouched, so an idle connection costs little memory.
    if (!buffer_) buffer_.reset(new uint8_t[kBufferSize]);
    return buffer_.get() + fill_;
  }

  std::size_t WantBytes() const {
    const std::size_t end = pending_ != 0 && pending_ + read_ > kFillMark ? pending_ + read_ : kFillMark;
    assert(end > fill_);
    return end - fill_;
  }

  // Accounts count new bytes and calls dispatch(const uint8_t* frame, size_t length) for
  // every telegram they complete, in order.
  template <class Dispatch>
  void Commit(std::size_t count, Dispatch&& dispatch) {
    fill_ += count;
    while (fill_ > read_) {
      if (fill_ - read_ == 1) {
        // A lone first byte of a length field moves to the front.
        buffer_[0] = buffer_[read_];
        read_ = 0;
        fill_ = 1;
        pending_ = 0;
        return;
      }
      pending_ = static_cast<std::size_t>(codec::ReadLE16(buffer_.get() + read_)) + 2;
      if (fill_ - read_ < pending_) return;
      const std::size_t start = read_;
      const std::size_t length = pending_;
      read_ += pending_;
      pending_ = 0;
      if (read_ == fill_) read_ = fill_ = 0;
      dispatch(static_cast<const uint8_t*>(buffer_.get() + start), length);
    }
  }

  void Clear() {
    read_ = fill_ = pending_ = 0;
    buffer_.reset();
  }

  std::size_t Fill() const { return fill_; }
  std::size_t ReadPosition() const { return read_; }

 private:
  std::unique_ptr<uint8_t[]> buffer_;
  std::size_t fill_ = 0;
  std::size_t read_ = 0;
  std::size_t pending_ = 0;
};

}  // namespace korvane

#endif
