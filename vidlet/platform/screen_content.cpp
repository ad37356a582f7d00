#include "platform/screen_content.h"

#include <cstring>

namespace vidlet::platform {

namespace {

// Half way between the two kinds of content measured.
constexpr double kScreenShare = 0.6;
constexpr int kRowStep = 4;

}  // namespace

bool looksLikeScreen(const uint8_t* bgra, size_t stride, int width, int height) {
  if (width < 2 || height < 1) return false;
  size_t equal = 0, pairs = 0;
  bool flat = true;
  for (int y = 0; y < height; y += kRowStep) {
    const uint8_t* row = bgra + static_cast<size_t>(y) * stride;
    flat = flat && std::memcmp(row, bgra, 3) == 0;
    for (int x = 1; x < width; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x) * 4;
      // Blue, green and red; alpha is not part of the picture.
      const bool same = std::memcmp(p, p - 4, 3) == 0;
      equal += same;
      flat = flat && same;
    }
    pairs += static_cast<size_t>(width - 1);
  }
  return !flat && static_cast<double>(equal) >= kScreenShare * static_cast<double>(pairs);
}

}  // namespace vidlet::platform
