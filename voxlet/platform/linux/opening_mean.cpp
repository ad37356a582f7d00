#include "opening_mean.h"

namespace voxlet::linux_backend {

void OpeningMean::utteranceStarted(const RunningMean& live) {
  if (!settled_) start_ = live;
}

std::optional<std::vector<float>> OpeningMean::ownMean(const RunningMean& live) const {
  const double heard = live.frames - start_.frames;
  const size_t n = live.sum.size();
  if (heard <= 0 || start_.sum.size() != n || start_.mean.size() != n) return std::nullopt;
  std::vector<float> mean(n);
  for (size_t i = 0; i < n; ++i) {
    mean[i] = static_cast<float>((priorWeight_ * start_.mean[i] + live.sum[i] - start_.sum[i]) /
                                 (priorWeight_ + heard));
  }
  return mean;
}

std::optional<RunningMean> OpeningMean::due(const RunningMean& live, bool ending) {
  if (settled_ || live.frames == start_.frames) return std::nullopt;
  if (!ending && live.frames > start_.frames && live.frames - start_.frames < framesNeeded_) {
    return std::nullopt;
  }
  std::optional<std::vector<float>> mean = ownMean(live);
  if (!mean && live.frames > 0) {
    // Scaled down: the decoder's own mean of the frames is the best there is.
    mean.emplace(live.sum.size());
    for (size_t i = 0; i < live.sum.size(); ++i) {
      (*mean)[i] = static_cast<float>(live.sum[i] / live.frames);
    }
  }
  if (!mean) return std::nullopt;
  settled_ = true;
  following_ = !ending;
  // Decoding the utterance again adds its frames to the sum once more, so it goes on from the sum
  // it started with.
  RunningMean restart = start_;
  restart.mean = std::move(*mean);
  return restart;
}

std::optional<std::vector<float>> OpeningMean::following(const RunningMean& live) const {
  if (!following_) return std::nullopt;
  return ownMean(live);
}

}  // namespace voxlet::linux_backend
