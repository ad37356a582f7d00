// The synchronous H.264 encoder on x264, with libyuv's colour conversion.
#pragma once

#include "platform/video_encoder.h"

namespace vidlet::platform {

// An OpenVideoEncoder. Fails with kErrParameter when x264 refuses the parameters,
// kErrAllocation without memory, and kErrEncode when the parameter sets cannot be had.
Status openX264Encoder(const EncoderSettings& settings, int32_t width, int32_t height,
                       OutputCallback outputCallback, void* outputCallbackRefCon,
                       std::unique_ptr<VideoEncoder>* encoderOut);

}  // namespace vidlet::platform
