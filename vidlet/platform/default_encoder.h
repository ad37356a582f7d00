// The encoder vidlet runs, chosen by measurement (bench/vidlet-bench.py; see main.cpp).
#pragma once

#include "platform/video_encoder.h"

namespace vidlet::platform {

// Below this many bits per pixel and frame, OpenH264's first key frame alone takes more than half
// a second of the target, its quantiser being capped for key frames: 0.55 s for camera-like 720p
// at 250 kb/s (0.0090 bits a pixel), 2.9 s for a 1080p page of text at 250 kb/s (0.0040), where
// the busiest second came to 2.9 times the target. x264 keeps both within bounds, and gives the
// sharper camera picture there (19.4 against 17.7 dB in RGB). A 1080p page at 1 Mb/s (0.016) stays
// with OpenH264, whose screen mode keeps it sharp.
constexpr double kOpenH264LeastBitsPerPixel = 0.012;

// Whether OpenH264 encodes width x height frames for these settings: at least 16 pixels a side, and
// at least kOpenH264LeastBitsPerPixel when the settings name a rate.
bool prefersOpenH264(const EncoderSettings& settings, int32_t width, int32_t height);

// An OpenVideoEncoder: OpenH264 where prefersOpenH264 says so, x264 elsewhere.
Status openDefaultEncoder(const EncoderSettings& settings, int32_t width, int32_t height,
                          OutputCallback outputCallback, void* outputCallbackRefCon,
                          std::unique_ptr<VideoEncoder>* encoderOut);

}  // namespace vidlet::platform
