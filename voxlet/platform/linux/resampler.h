// Conversion of captured float samples at the capture rate to the decoder's 16 kHz 16-bit samples.
#pragma once

#include <soxr.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "c_handle.h"

namespace voxlet::linux_backend {

class Resampler {
 public:
  static constexpr double kOutputRate = 16000.0;

  // Ready for input at `inputRate` Hz; false with a reason when soxr refuses it.
  bool open(double inputRate, std::string* error);
  bool isOpen() const { return soxr_ != nullptr; }
  double inputRate() const { return rate_; }
  // Appends to `out` what `n` input samples give.
  bool process(const float* in, size_t n, std::vector<int16_t>& out, std::string* error);
  // Appends the tail still held in the filter and closes.
  bool flush(std::vector<int16_t>& out, std::string* error);
  void close();

 private:
  bool run(const float* in, size_t n, std::vector<int16_t>& out, std::string* error);

  CHandle<std::remove_pointer_t<soxr_t>, soxr_delete> soxr_;
  double rate_ = 0;
};

}  // namespace voxlet::linux_backend
