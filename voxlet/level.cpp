// Built with -ffp-contract=off: every square is rounded to 32 bits before it is added.
#include "level.h"

#include <algorithm>
#include <cmath>

namespace voxlet {

std::optional<float> levelOf(const platform::AudioBuffer& buffer) {
  const float* const* channels = buffer.floatChannelData();
  if (channels == nullptr || buffer.channelCount() == 0) return std::nullopt;
  const uint32_t n = buffer.frameLength();
  if (n == 0) return std::nullopt;

  const float* samples = channels[0];
  float sum = 0.0f;
  for (uint32_t i = 0; i < n; ++i) {
    const float square = samples[i] * samples[i];
    sum += square;
  }
  const float rms = std::sqrt(sum / static_cast<float>(n));
  const float floor = 0.00001f;                        // -100 dBFS
  const float amplitude = rms <= floor ? floor : rms;  // a NaN stays NaN
  const float dB = 20.0f * log10f(amplitude);
  const float x = (dB + 50.0f) / 40.0f;
  if (x < 1.0f) return std::round(std::max(x, 0.0f) * 100.0f) / 100.0f;  // halves away from zero
  return 1.0f;                                                           // also for NaN
}

}  // namespace voxlet
