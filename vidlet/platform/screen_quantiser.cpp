#include "platform/screen_quantiser.h"

#include <algorithm>
#include <cmath>

namespace vidlet::platform {

namespace {

// What a frame costs one quantiser step coarser, as a share: a 1080p page of text cost 691 kbit
// at 36 and 448 at 42 as a key frame.
constexpr double kStepRatio = 0.93;
// A frame that cost at most kLightShares of its share (the page stood still) makes room for one
// step finer, while the frames of about the last second cost at most kRefineShare of the rate on
// average: the rest is left for the page moving. One over kHeavyShares (the page scrolled, a window
// opened) makes the next ones two steps coarser. OpenH264 skips a still page until the step is
// about 6 below its last, then refines the whole page at once (a quarter to a third of a key
// frame's bits), so refining up to the rate's average left no room for a scroll, whose frames were
// then repeated (14 dB in RGB where they were). On the 1080p page at 1 Mb/s, a share of 0.4 gave
// 32.7 dB, 0.65 gave 35.0 and 0.8 35.7; on a 640x360 page at 250 kb/s 29.5, 32.5 and 25.4.
constexpr double kLightShares = 0.25;
constexpr double kRefineShare = 0.65;
constexpr double kHeavyShares = 4;

// The quantiser at which what cost bits at qp would cost about aimBits.
int fitted(int qp, int64_t bits, int64_t aimBits) {
  const double steps =
      std::log(static_cast<double>(std::max<int64_t>(bits, 1)) / static_cast<double>(aimBits)) /
      -std::log(kStepRatio);
  return std::clamp(qp + static_cast<int>(std::ceil(steps)), ScreenQuantiser::kFinestQp,
                    ScreenQuantiser::kCoarsestQp);
}

}  // namespace

ScreenQuantiser::ScreenQuantiser(int64_t bitRate, int32_t fps)
    : share_(static_cast<double>(bitRate) / std::max(fps, 1)),
      limitBits_(std::max<int64_t>(1, bitRate / 2)),
      aimBits_(std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(bitRate) * kKeyAim))),
      decay_(1.0 / std::max(fps, 1)) {}

int ScreenQuantiser::qp(bool key) const {
  if (!key) return qp_;
  if (retryQp_) return retryQp_;
  if (!lastKeyQp_) return kFirstQp;
  // The page as sharp as it is now, unless that costs more than planned.
  return std::max(qp_, fitted(lastKeyQp_, lastKeyBits_, aimBits_));
}

bool ScreenQuantiser::cost(bool key, int64_t bits) {
  const int at = qp(key);
  retryQp_ = 0;
  if (bits > limitBits_ && at < kCoarsestQp) {
    retryQp_ = std::max(fitted(at, bits, aimBits_), at + 1);
    return true;
  }
  codedQp_ = at;
  const auto b = static_cast<double>(bits);
  recent_ += b * decay_;
  if (key) {
    lastKeyQp_ = qp_ = at;
    lastKeyBits_ = bits;
  } else if (b > kHeavyShares * share_) {
    qp_ = std::min(qp_ + 2, kCoarsestQp);
  } else if (b <= kLightShares * share_ && recent_ <= kRefineShare * share_) {
    qp_ = std::max(qp_ - 1, kFinestQp);
  }
  return false;
}

}  // namespace vidlet::platform
