// A pool of BGRA pixel buffers in ordinary memory, 64-byte aligned, rows back to back (the stride
// is the row) so that a frame is read straight into a buffer.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/video.h"

namespace vidlet::platform {

class AlignedPixelBufferPool final : public PixelBufferPool {
 public:
  static constexpr size_t kAlignment = 64;
  // Released buffers kept for reuse; more are freed.
  static constexpr size_t kMaxIdle = 4;

  // Needs the BGRA format and a width and height of at least 1. Fails with kErrParameter for
  // attributes it cannot meet and kErrAllocation when not even one buffer can be allocated.
  static Status create(const PixelBufferAttributes& attributes,
                       std::shared_ptr<PixelBufferPool>* poolOut);

  Status createPixelBuffer(PixelBufferRef* pixelBufferOut) override;

  struct Shelf;  // the idle buffers, shared with the buffers handed out

 private:
  AlignedPixelBufferPool(size_t width, size_t height, size_t stride, std::shared_ptr<Shelf> shelf)
      : width_(width), height_(height), stride_(stride), shelf_(std::move(shelf)) {}

  size_t width_, height_, stride_;
  std::shared_ptr<Shelf> shelf_;
};

}  // namespace vidlet::platform
