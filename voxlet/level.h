// The input level of one captured buffer, as reported in "level" events.
#pragma once

#include <optional>

#include "platform/platform.h"

namespace voxlet {

// Minimum wall-clock interval between two metered buffers, in seconds.
constexpr double kLevelInterval = 0.08;

// The level of channel 0 on a scale from 0 (-50 dBFS and below) to 1 (-10 dBFS and above), in
// steps of 0.01, computed in single precision. Nothing when the buffer has no float samples or no
// frames.
std::optional<float> levelOf(const platform::AudioBuffer& buffer);

}  // namespace voxlet
