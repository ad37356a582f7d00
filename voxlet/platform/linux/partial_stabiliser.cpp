#include "partial_stabiliser.h"

#include <algorithm>

namespace voxlet::linux_backend {

namespace {

size_t commonPrefix(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

const std::vector<std::string>& PartialStabiliser::update(
    const std::vector<std::string>& hypothesis, double now) {
  // How long each word of the hypothesis has stood where it is.
  const size_t kept = commonPrefix(last_, hypothesis);
  since_.resize(hypothesis.size());
  for (size_t i = kept; i < hypothesis.size(); ++i) since_[i] = now;
  last_ = hypothesis;

  // Shown words the hypothesis contradicts stay until it has done so for the hold.
  const size_t agreed = commonPrefix(shown_, hypothesis);
  if (agreed < shown_.size()) {
    if (disagreeingSince_ < 0) disagreeingSince_ = now;
    if (now - disagreeingSince_ < hold_ - 1e-9) return shown_;
    shown_.resize(agreed);
  }
  disagreeingSince_ = -1;

  // Then the words the decoder is sure of.
  for (size_t i = shown_.size(); i < hypothesis.size() && sure(i, now); ++i) {
    shown_.push_back(hypothesis[i]);
  }
  return shown_;
}

void PartialStabiliser::reset() {
  last_.clear();
  since_.clear();
  shown_.clear();
  disagreeingSince_ = -1;
}

}  // namespace voxlet::linux_backend
