// The x264 parameters for a session's settings and frame size: one pure mapping.
#pragma once

// x264.h needs the fixed-width integer types declared before it.
#include <cstdint>

#include <x264.h>

#include <optional>

#include "platform/encoder_settings.h"

namespace vidlet::platform {

// x264 writes each NAL unit behind its size as a 4-byte big-endian number.
constexpr int kX264LengthPrefixSize = 4;

// The analysis preset for pictures of width x height: the same at every size.
const char* x264Preset(int width, int height);

// Parameters for an encoder of width x height frames (1 or more a side; an odd side is encoded at
// the next even size) on `threads` slice threads: the preset for the size, tuned for no latency
// when the settings ask for real time; 4:2:0 with the colour description of I420Image; the rate
// and its bound, the key-frame interval and Baseline when the settings name them; parameter sets
// kept out of the frames, which come as length-prefixed NAL units; x264's log silenced. Nothing
// when x264 refuses the preset or the profile.
std::optional<x264_param_t> x264Parameters(const EncoderSettings& settings, int width, int height,
                                           int threads);

}  // namespace vidlet::platform
