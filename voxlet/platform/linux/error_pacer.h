// Spacing of errors of requests that fail one after another, without any result between them.
// Whoever opens a new request for each failed one is then slowed down rather than left spinning:
// the first error after a result goes out at once, each further one in a row waits twice as long
// after the one before, up to a second.
#pragma once

#include <chrono>

namespace voxlet::linux_backend {

class ErrorPacer {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr Clock::duration kFirstPause = std::chrono::milliseconds(50);
  static constexpr Clock::duration kLongestPause = std::chrono::milliseconds(1000);

  // When an error that happens at `now` goes out. Errors go out in the order they happen.
  Clock::time_point errorDue(Clock::time_point now);
  // A result went out: the next error goes out at once.
  void resultDelivered() { pause_ = Clock::duration::zero(); }

 private:
  Clock::time_point lastDue_{};
  Clock::duration pause_{};  // zero until an error follows errors only
};

}  // namespace voxlet::linux_backend
