// When a frame may be encoded at all, whatever the encoder's own rate control does: a frame is
// encoded only while both bounds below leave room for it; otherwise the previous picture is shown
// again, at next to no cost.
// - A leaky bucket that drains at the target rate, one frame's share per frame, and fills with
//   what each frame cost, holds at most the allowance: over a run the average comes to the target.
// - The frames of the last second, with the next one at its estimate, hold at most secondBits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vidlet::platform {

class RateGuard {
 public:
  // bitRate in bits per second, at least 1; fps at least 1 (a second is counted over at most
  // kMaxWindow frames); allowance and secondBits in bits.
  RateGuard(int64_t bitRate, int32_t fps, int64_t allowanceBits, int64_t secondBits)
      : share_(static_cast<double>(bitRate) / fps),
        allowance_(static_cast<double>(allowanceBits)),
        secondBits_(secondBits),
        window_(static_cast<size_t>(std::clamp(fps, 1, kMaxWindow) - 1)) {}

  static constexpr int32_t kMaxWindow = 1000;

  // A new frame: one share leaves the bucket.
  void tick() { level_ = std::max(0.0, level_ - share_); }
  // Whether this frame may be encoded, expected to cost estimateBits.
  bool admits(int64_t estimateBits) const {
    return level_ <= allowance_ && windowBits_ + estimateBits <= secondBits_;
  }
  // What the frame (encoded or repeated) cost.
  void spent(int64_t bits) {
    level_ += static_cast<double>(bits);
    if (window_.empty()) return;
    windowBits_ += bits - window_[at_];
    window_[at_] = bits;
    at_ = (at_ + 1) % window_.size();
  }

 private:
  const double share_;
  const double allowance_;
  const int64_t secondBits_;
  double level_ = 0;
  std::vector<int64_t> window_;  // the last frames but one of a second, oldest at at_
  size_t at_ = 0;
  int64_t windowBits_ = 0;
};

}  // namespace vidlet::platform
