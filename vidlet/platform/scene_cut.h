// Where a camera picture changes scene: one pure test over consecutive frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vidlet::platform {

// Follows the mean difference of green between consecutive frames, on every eighth pixel of every
// eighth row, and calls a cut where it jumps well above its recent level: grain alone keeps it
// level (13.5 on a test pattern under heavy grain, 8.4 under light grain, 1.3 to 3.2 on real
// footage, a mandelbrot zoom rising slowly from 0.7 to 3.8), and the same grainy pattern turned
// upside down jumps to 22.
class SceneCut {
 public:
  // Whether this width x height BGRA frame, rows stride bytes apart, starts a new scene. The first
  // frame does not.
  bool next(const uint8_t* bgra, size_t stride, int width, int height);

 private:
  std::vector<uint8_t> previous_;
  double level_ = -1;  // the recent mean difference; none yet
};

}  // namespace vidlet::platform
