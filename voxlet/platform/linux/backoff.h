// How long capture waits before its next try to reach the sound server or to record from it.
#pragma once

#include <chrono>

namespace voxlet::linux_backend {

// The waits between tries after failures in a row: 100 ms after the first, doubling with each
// further failure, and at most 1 s. A success starts the sequence again, so a second outage is
// recovered from as fast as the first.
class Backoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{100};
  static constexpr std::chrono::milliseconds kMost{1000};

  // A try failed: the wait before the next one.
  std::chrono::milliseconds nextDelay() {
    const std::chrono::milliseconds delay = next_;
    next_ = next_ * 2 < kMost ? next_ * 2 : kMost;
    return delay;
  }
  // A try succeeded.
  void succeeded() { next_ = kFirst; }

 private:
  std::chrono::milliseconds next_ = kFirst;
};

}  // namespace voxlet::linux_backend
