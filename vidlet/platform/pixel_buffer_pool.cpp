#include "platform/pixel_buffer_pool.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

namespace vidlet::platform {

namespace {

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

class AlignedPixelBuffer final : public PixelBuffer {
 public:
  AlignedPixelBuffer(size_t width, size_t height, size_t stride,
                     std::unique_ptr<uint8_t, FreeDeleter> memory)
      : width_(width), height_(height), stride_(stride), memory_(std::move(memory)) {}

  Status lockBaseAddress(uint32_t) override {
    locks_.fetch_add(1);
    return kStatusOk;
  }
  Status unlockBaseAddress(uint32_t) override {
    int held = locks_.load();
    while (held > 0 && !locks_.compare_exchange_weak(held, held - 1)) {
    }
    return held > 0 ? kStatusOk : kErrParameter;
  }
  uint8_t* baseAddress() const override { return locks_.load() > 0 ? memory_.get() : nullptr; }
  size_t bytesPerRow() const override { return stride_; }
  size_t width() const override { return width_; }
  size_t height() const override { return height_; }
  uint32_t pixelFormatType() const override { return kPixelFormatBGRA; }

 private:
  size_t width_, height_, stride_;
  std::unique_ptr<uint8_t, FreeDeleter> memory_;
  std::atomic<int> locks_{0};
};

std::unique_ptr<AlignedPixelBuffer> allocate(size_t width, size_t height, size_t stride) {
  // aligned_alloc wants a size that is a multiple of the alignment.
  constexpr size_t kAlign = AlignedPixelBufferPool::kAlignment;
  auto* memory = static_cast<uint8_t*>(
      std::aligned_alloc(kAlign, (stride * height + kAlign - 1) / kAlign * kAlign));
  if (!memory) return nullptr;
  std::unique_ptr<uint8_t, FreeDeleter> owned(memory);
  return std::unique_ptr<AlignedPixelBuffer>(
      new (std::nothrow) AlignedPixelBuffer(width, height, stride, std::move(owned)));
}

}  // namespace

struct AlignedPixelBufferPool::Shelf {
  std::mutex mutex;
  std::vector<std::unique_ptr<AlignedPixelBuffer>> idle;
};

Status AlignedPixelBufferPool::create(const PixelBufferAttributes& attributes,
                                      std::shared_ptr<PixelBufferPool>* poolOut) {
  if (!poolOut) return kErrParameter;
  if (attributes.pixelFormatType.value_or(0) != kPixelFormatBGRA || !attributes.width ||
      !attributes.height || *attributes.width < 1 || *attributes.height < 1)
    return kErrParameter;
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  const auto width = static_cast<size_t>(*attributes.width);
  const auto height = static_cast<size_t>(*attributes.height);
  if (width > kMax / 4) return kErrParameter;
  const size_t stride = width * 4;
  if (height > (kMax - kAlignment) / stride) return kErrParameter;

  // One buffer up front: a pool that cannot hold a single frame is no pool.
  std::unique_ptr<AlignedPixelBuffer> first = allocate(width, height, stride);
  if (!first) return kErrAllocation;
  try {
    auto shelf = std::make_shared<Shelf>();
    shelf->idle.reserve(kMaxIdle);
    shelf->idle.push_back(std::move(first));
    *poolOut = std::shared_ptr<PixelBufferPool>(
        new AlignedPixelBufferPool(width, height, stride, std::move(shelf)));
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

Status AlignedPixelBufferPool::createPixelBuffer(PixelBufferRef* pixelBufferOut) {
  if (!pixelBufferOut) return kErrParameter;
  std::unique_ptr<AlignedPixelBuffer> buffer;
  {
    std::lock_guard<std::mutex> lock(shelf_->mutex);
    if (!shelf_->idle.empty()) {
      buffer = std::move(shelf_->idle.back());
      shelf_->idle.pop_back();
    }
  }
  if (!buffer) buffer = allocate(width_, height_, stride_);
  if (!buffer) return kErrAllocation;
  // The last reference puts the buffer back on the shelf, which outlives the pool if need be.
  // The shelf's room is reserved, so putting a buffer back never allocates. When the reference
  // itself cannot be had, the buffer goes straight back.
  std::shared_ptr<Shelf> shelf = shelf_;
  try {
    *pixelBufferOut = PixelBufferRef(buffer.release(), [shelf](PixelBuffer* released) {
      std::unique_ptr<AlignedPixelBuffer> back(static_cast<AlignedPixelBuffer*>(released));
      std::lock_guard<std::mutex> lock(shelf->mutex);
      if (shelf->idle.size() < kMaxIdle) shelf->idle.push_back(std::move(back));
    });
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

}  // namespace vidlet::platform
