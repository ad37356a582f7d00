// When a frame may be encoded at all: a leaky bucket that drains at the target rate, one frame's
// share per frame, and fills with what each frame cost. A frame is encoded only while what is in
// the bucket is within the allowance; otherwise the previous picture is shown again, at next to no
// cost. Any run of frames lasting a second then holds at most the target plus the allowance plus
// the largest frame, whatever the encoder's own rate control does.
#pragma once

#include <algorithm>
#include <cstdint>

namespace vidlet::platform {

class RateGuard {
 public:
  // bitRate in bits per second, at least 1; fps at least 1; allowance in bits.
  RateGuard(int64_t bitRate, int32_t fps, int64_t allowanceBits)
      : share_(static_cast<double>(bitRate) / fps),
        allowance_(static_cast<double>(allowanceBits)) {}

  // A new frame: one share leaves the bucket. True when the frame may be encoded.
  bool next() {
    level_ = std::max(0.0, level_ - share_);
    return level_ <= allowance_;
  }
  // What the frame (encoded or repeated) cost.
  void spent(int64_t bits) { level_ += static_cast<double>(bits); }

  double level() const { return level_; }

 private:
  const double share_;
  const double allowance_;
  double level_ = 0;
};

}  // namespace vidlet::platform
