// The encoder vidlet runs, chosen by measurement.
#pragma once

#include "platform/video_encoder.h"

namespace vidlet::platform {

// An OpenVideoEncoder: OpenH264, or x264 for pictures OpenH264 cannot take (a side below 16).
Status openDefaultEncoder(const EncoderSettings& settings, int32_t width, int32_t height,
                          OutputCallback outputCallback, void* outputCallbackRefCon,
                          std::unique_ptr<VideoEncoder>* encoderOut);

}  // namespace vidlet::platform
