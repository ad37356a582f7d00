// The synchronous H.264 encoder on OpenH264, with libyuv's colour conversion.
#pragma once

#include "platform/video_encoder.h"

namespace vidlet::platform {

// OpenH264 initialises for smaller pictures, then fails every frame.
constexpr int32_t kOpenH264MinSide = 16;

// An OpenVideoEncoder. Fails with kErrParameter for a side below 16 pixels or parameters OpenH264
// refuses, kErrAllocation without memory, and kErrEncode when the parameter sets cannot be had.
Status openOpenH264Encoder(const EncoderSettings& settings, int32_t width, int32_t height,
                           OutputCallback outputCallback, void* outputCallbackRefCon,
                           std::unique_ptr<VideoEncoder>* encoderOut);

}  // namespace vidlet::platform
