// A planar 4:2:0 picture (Y, then U and V at half width and height) of even width and height,
// filled from BGRA pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace vidlet::platform {

// The colour description of a picture, as H.264 signals it in the sequence parameter set's video
// usability information (code points of ITU-T H.273).
struct ColourDescription {
  int primaries;
  int transfer;
  int matrix;
  bool fullRange;
};

class I420Image {
 public:
  // A picture for frames of width x height pixels: the planes cover the next even size. Null
  // when the size is not positive or the memory cannot be had.
  static std::unique_ptr<I420Image> make(int width, int height);

  // What fromBgra produces from desktop pixels: sRGB primaries (those of BT.709) and sRGB transfer
  // kept as they are, Y'CbCr by the BT.601 matrix in studio range (Y' 16-235, Cb Cr 16-240).
  // libyuv converts RGB to 4:2:0 with the BT.601 matrix only (full or studio range); studio range
  // is what every decoder handles, and the stream says which matrix it is.
  static constexpr ColourDescription kColour{.primaries = 1,  // BT.709
                                             .transfer = 13,  // IEC 61966-2-1 (sRGB)
                                             .matrix = 6,     // BT.601 (SMPTE 170M)
                                             .fullRange = false};

  // Converts a width x height BGRA frame whose rows are stride bytes apart (the size given to
  // make), as kColour says. Odd sizes are padded: the last column and row of the luma plane are
  // repeated.
  bool fromBgra(const uint8_t* bgra, size_t stride);

  int width() const { return width_; }  // the frame's size
  int height() const { return height_; }
  int paddedWidth() const { return paddedWidth_; }  // the planes' size, even
  int paddedHeight() const { return paddedHeight_; }
  uint8_t* y() const { return memory_.get(); }
  uint8_t* u() const { return y() + static_cast<size_t>(strideY_) * paddedHeight_; }
  uint8_t* v() const { return u() + static_cast<size_t>(strideUV_) * (paddedHeight_ / 2); }
  int strideY() const { return strideY_; }
  int strideUV() const { return strideUV_; }

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  I420Image() = default;

  int width_ = 0, height_ = 0, paddedWidth_ = 0, paddedHeight_ = 0;
  int strideY_ = 0, strideUV_ = 0;
  std::unique_ptr<uint8_t, FreeDeleter> memory_;
};

}  // namespace vidlet::platform
