// A synchronous video encoder: what a compression session runs its frames through, one backend
// each. The encoder reports every frame it was given exactly once through the output callback,
// with the callback's reference value, on the thread that calls it: encoded, failed, or dropped.
#pragma once

#include <memory>

#include "platform/encoder_settings.h"
#include "platform/video.h"

namespace vidlet::platform {

class VideoEncoder {
 public:
  // Releases everything the encoder holds, however far it got; frames still inside are not
  // reported (abandon reports them).
  virtual ~VideoEncoder() = default;
  // Encodes one BGRA frame of the encoder's size. The image is released once its pixels have been
  // taken, before the frame is compressed. The frame is reported now or by a later call.
  virtual void encode(PixelBufferRef image, MediaTime presentationTimeStamp, bool forceKeyFrame,
                      void* sourceFrameRefCon) = 0;
  // Every frame given so far comes out: encoded, or reported failed.
  virtual void flush() = 0;
  // Every frame still inside is reported dropped with kErrInvalidated.
  virtual void abandon() = 0;
};

// Opens an encoder of width x height frames for settings, reporting to outputCallback with
// outputCallbackRefCon. On failure a non-zero status and nothing in *encoderOut.
using OpenVideoEncoder = Status (*)(const EncoderSettings& settings, int32_t width, int32_t height,
                                    OutputCallback outputCallback, void* outputCallbackRefCon,
                                    std::unique_ptr<VideoEncoder>* encoderOut);

}  // namespace vidlet::platform
