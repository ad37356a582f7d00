#include "platform/backend_services.h"

#include <new>

#include "platform/compression_session.h"
#include "platform/pixel_buffer_pool.h"

namespace vidlet::platform {

Status BackendVideoServices::createCompressionSession(
    int32_t width, int32_t height, uint32_t codecType,
    const PixelBufferAttributes& sourceImageBufferAttributes, OutputCallback outputCallback,
    void* outputCallbackRefCon, std::shared_ptr<CompressionSession>* sessionOut) {
  if (!sessionOut || !outputCallback || codecType != kCodecTypeH264) return kErrParameter;
  if (sourceImageBufferAttributes.pixelFormatType.value_or(kPixelFormatBGRA) != kPixelFormatBGRA)
    return kErrParameter;
  if (width < 1 || height < 1 || width > kMaxEncodedSide || height > kMaxEncodedSide)
    return kErrParameter;
  try {
    *sessionOut = std::make_shared<AsyncCompressionSession>(openEncoder_, width, height,
                                                            outputCallback, outputCallbackRefCon);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

Status BackendVideoServices::createPixelBufferPool(
    const PixelBufferAttributes& pixelBufferAttributes, std::shared_ptr<PixelBufferPool>* poolOut) {
  return AlignedPixelBufferPool::create(pixelBufferAttributes, poolOut);
}

}  // namespace vidlet::platform
