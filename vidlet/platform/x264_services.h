// The video services on x264 (encoding) and libyuv (colour conversion).
//
// A session collects its properties and opens the encoder when it is prepared (or at the first
// frame). Frames then wait in a short queue for the session's own thread, which converts each
// BGRA buffer to 4:2:0, returns the buffer to its pool, encodes the picture and calls the output
// callback, one frame at a time in submission order. So reading the next frame overlaps encoding
// this one.
#pragma once

#include <memory>

#include "platform/video.h"

namespace vidlet::platform {

// Largest width or height the encoder takes.
constexpr int32_t kMaxEncodedSide = 16384;
// Frames waiting for the session's thread; a full queue makes encodeFrame wait.
constexpr size_t kFrameQueueDepth = 2;

class X264VideoServices final : public VideoServices {
 public:
  // Sessions for H.264 from BGRA buffers, 1 to kMaxEncodedSide pixels a side. An odd side is
  // encoded at the next even size.
  Status createCompressionSession(int32_t width, int32_t height, uint32_t codecType,
                                  const PixelBufferAttributes& sourceImageBufferAttributes,
                                  OutputCallback outputCallback, void* outputCallbackRefCon,
                                  std::shared_ptr<CompressionSession>* sessionOut) override;
  // An AlignedPixelBufferPool.
  Status createPixelBufferPool(const PixelBufferAttributes& pixelBufferAttributes,
                               std::shared_ptr<PixelBufferPool>* poolOut) override;
};

}  // namespace vidlet::platform
