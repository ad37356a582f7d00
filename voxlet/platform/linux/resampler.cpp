#include "resampler.h"

namespace voxlet::linux_backend {

bool Resampler::open(double inputRate, std::string* error) {
  close();
  if (!(inputRate > 0)) {
    *error = "unknown sample rate of the audio";
    return false;
  }
  soxr_error_t err = nullptr;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;  // dither noise only gives the decoder more to search
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
  soxr_.reset(soxr_create(inputRate, kOutputRate, 1, &err, &io, &quality, nullptr));
  if (err || !soxr_) {
    soxr_.reset();
    *error = std::string("resampler: ") + (err ? err : "failed");
    return false;
  }
  rate_ = inputRate;
  return true;
}

bool Resampler::process(const float* in, size_t n, std::vector<int16_t>& out, std::string* error) {
  return n == 0 || run(in, n, out, error);
}

bool Resampler::flush(std::vector<int16_t>& out, std::string* error) {
  if (!soxr_) return true;
  const bool ok = run(nullptr, 0, out, error);
  close();
  return ok;
}

void Resampler::close() {
  soxr_.reset();
  rate_ = 0;
}

// With no input, drains the filter.
bool Resampler::run(const float* in, size_t n, std::vector<int16_t>& out, std::string* error) {
  const size_t room = static_cast<size_t>(static_cast<double>(n) * kOutputRate / rate_) + 256;
  size_t consumed = 0;
  for (;;) {
    const size_t start = out.size();
    out.resize(start + room);
    size_t done = 0, produced = 0;
    soxr_error_t err =
        soxr_process(soxr_.get(), in ? in + consumed : nullptr, in ? n - consumed : 0, &done,
                     out.data() + start, room, &produced);
    out.resize(start + produced);
    if (err) {
      *error = std::string("resampler: ") + err;
      return false;
    }
    consumed += done;
    if (in ? consumed >= n : produced == 0) return true;
  }
}

}  // namespace voxlet::linux_backend
