#include "platform/scene_cut.h"

#include <cstdlib>

namespace vidlet::platform {

namespace {

constexpr int kStep = 8;
// A cut: the difference at least this many times its recent level, and this many levels above it.
constexpr double kRatio = 1.4;
constexpr double kMargin = 4;
// How fast the recent level follows the difference.
constexpr double kFollow = 0.1;

}  // namespace

bool SceneCut::next(const uint8_t* bgra, size_t stride, int width, int height) {
  std::vector<uint8_t> samples;
  samples.reserve(static_cast<size_t>((width + kStep - 1) / kStep) *
                  static_cast<size_t>((height + kStep - 1) / kStep));
  for (int y = 0; y < height; y += kStep) {
    const uint8_t* row = bgra + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; x += kStep) samples.push_back(row[static_cast<size_t>(x) * 4 + 1]);
  }
  bool cut = false;
  if (previous_.size() == samples.size() && !samples.empty()) {
    long total = 0;
    for (size_t i = 0; i < samples.size(); ++i) total += std::abs(samples[i] - previous_[i]);
    const double difference = static_cast<double>(total) / static_cast<double>(samples.size());
    if (level_ < 0) {
      level_ = difference;
    } else {
      cut = difference > kRatio * level_ && difference > level_ + kMargin;
      level_ += kFollow * (difference - level_);
    }
  }
  previous_ = std::move(samples);
  return cut;
}

}  // namespace vidlet::platform
