#include "platform/i420_image.h"

#include <libyuv/convert.h>

#include <cstring>
#include <new>

namespace vidlet::platform {

namespace {

constexpr size_t kAlignment = 64;
// Keeps every size below well inside int and size_t.
constexpr int kMaxSide = 1 << 16;

int alignUp(int value) {
  return static_cast<int>((static_cast<size_t>(value) + kAlignment - 1) / kAlignment * kAlignment);
}

}  // namespace

std::unique_ptr<I420Image> I420Image::make(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return nullptr;
  std::unique_ptr<I420Image> image(new (std::nothrow) I420Image);
  if (!image) return nullptr;
  image->width_ = width;
  image->height_ = height;
  image->paddedWidth_ = (width + 1) & ~1;
  image->paddedHeight_ = (height + 1) & ~1;
  image->strideY_ = alignUp(image->paddedWidth_);
  image->strideUV_ = alignUp(image->paddedWidth_ / 2);
  const size_t bytes = static_cast<size_t>(image->strideY_) * image->paddedHeight_ +
                       static_cast<size_t>(image->strideUV_) * (image->paddedHeight_ / 2) * 2;
  image->memory_.reset(static_cast<uint8_t*>(std::aligned_alloc(kAlignment, bytes)));
  if (!image->memory_) return nullptr;
  return image;
}

bool I420Image::fromBgra(const uint8_t* bgra, size_t stride) {
  if (!bgra || stride < static_cast<size_t>(width_) * 4 || stride > static_cast<size_t>(INT32_MAX))
    return false;
  // Bytes B, G, R, A in memory are a little-endian 0xAARRGGBB word: libyuv's ARGB.
  if (libyuv::ARGBToI420(bgra, static_cast<int>(stride), y(), strideY_, u(), strideUV_, v(),
                         strideUV_, width_, height_) != 0)
    return false;
  // The chroma planes already cover the padded size (libyuv rounds up); luma needs its edge.
  if (paddedWidth_ != width_) {
    for (int row = 0; row < height_; ++row) {
      uint8_t* line = y() + static_cast<size_t>(row) * strideY_;
      line[width_] = line[width_ - 1];
    }
  }
  if (paddedHeight_ != height_) {
    std::memcpy(y() + static_cast<size_t>(height_) * strideY_,
                y() + static_cast<size_t>(height_ - 1) * strideY_,
                static_cast<size_t>(paddedWidth_));
  }
  return true;
}

}  // namespace vidlet::platform
