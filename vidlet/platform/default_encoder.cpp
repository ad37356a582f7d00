#include "platform/default_encoder.h"

#include "platform/openh264_encoder.h"
#include "platform/x264_encoder.h"

namespace vidlet::platform {

bool prefersOpenH264(const EncoderSettings& settings, int32_t width, int32_t height) {
  if (width < kOpenH264MinSide || height < kOpenH264MinSide) return false;
  if (!settings.bitRate) return true;
  const double pixelsPerSecond =
      static_cast<double>(width) * static_cast<double>(height) * frameRate(settings);
  return static_cast<double>(*settings.bitRate) >= kOpenH264LeastBitsPerPixel * pixelsPerSecond;
}

Status openDefaultEncoder(const EncoderSettings& settings, int32_t width, int32_t height,
                          OutputCallback outputCallback, void* outputCallbackRefCon,
                          std::unique_ptr<VideoEncoder>* encoderOut) {
  return (prefersOpenH264(settings, width, height) ? openOpenH264Encoder : openX264Encoder)(
      settings, width, height, outputCallback, outputCallbackRefCon, encoderOut);
}

}  // namespace vidlet::platform
