// The video services on a synchronous library encoder with libyuv's colour conversion:
// asynchronous compression sessions over the encoder, and pools of aligned BGRA buffers.
#pragma once

#include <memory>

#include "platform/video.h"
#include "platform/video_encoder.h"

namespace vidlet::platform {

// Largest width or height the encoder takes.
constexpr int32_t kMaxEncodedSide = 16384;

class BackendVideoServices final : public VideoServices {
 public:
  explicit BackendVideoServices(OpenVideoEncoder openEncoder) : openEncoder_(openEncoder) {}

  // Sessions for H.264 from BGRA buffers, 1 to kMaxEncodedSide pixels a side. An odd side is
  // encoded at the next even size.
  Status createCompressionSession(int32_t width, int32_t height, uint32_t codecType,
                                  const PixelBufferAttributes& sourceImageBufferAttributes,
                                  OutputCallback outputCallback, void* outputCallbackRefCon,
                                  std::shared_ptr<CompressionSession>* sessionOut) override;
  // An AlignedPixelBufferPool.
  Status createPixelBufferPool(const PixelBufferAttributes& pixelBufferAttributes,
                               std::shared_ptr<PixelBufferPool>* poolOut) override;

 private:
  const OpenVideoEncoder openEncoder_;
};

}  // namespace vidlet::platform
