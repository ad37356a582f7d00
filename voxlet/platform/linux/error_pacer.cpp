#include "error_pacer.h"

#include <algorithm>

namespace voxlet::linux_backend {

ErrorPacer::Clock::time_point ErrorPacer::errorDue(Clock::time_point now) {
  const Clock::time_point due = std::max(now, lastDue_ + pause_);
  pause_ = pause_ == Clock::duration::zero() ? kFirstPause : std::min(pause_ * 2, kLongestPause);
  lastDue_ = due;
  return due;
}

}  // namespace voxlet::linux_backend
