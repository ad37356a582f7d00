#include "platform/default_encoder.h"

#include "platform/openh264_encoder.h"
#include "platform/x264_encoder.h"

namespace vidlet::platform {

Status openDefaultEncoder(const EncoderSettings& settings, int32_t width, int32_t height,
                          OutputCallback outputCallback, void* outputCallbackRefCon,
                          std::unique_ptr<VideoEncoder>* encoderOut) {
  const bool small = width < kOpenH264MinSide || height < kOpenH264MinSide;
  return (small ? openX264Encoder : openOpenH264Encoder)(settings, width, height, outputCallback,
                                                         outputCallbackRefCon, encoderOut);
}

}  // namespace vidlet::platform
