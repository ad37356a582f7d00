#include "noise_suppressor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>

namespace voxlet::linux_backend {

namespace {

webrtc::AudioProcessing* makeSuppressor() {
  webrtc::AudioProcessing* apm = webrtc::AudioProcessing::Create();
  if (!apm) return nullptr;
  // Every other stage (echo control, gain control, high-pass filter) stays off: gain control
  // costs the decoder words, and there is no far end.
  if (apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh) !=
          webrtc::AudioProcessing::kNoError ||
      apm->noise_suppression()->Enable(true) != webrtc::AudioProcessing::kNoError) {
    delete apm;
    return nullptr;
  }
  return apm;
}

}  // namespace

void NoiseSuppressor::Deleter::operator()(webrtc::AudioProcessing* apm) const {
  delete apm;
}

NoiseSuppressor::NoiseSuppressor() : apm_(makeSuppressor()), frame_(kFrame, 0.0f) {}

NoiseSuppressor::~NoiseSuppressor() = default;

void NoiseSuppressor::process(const int16_t* samples, size_t n, std::vector<int16_t>& out) {
  if (!apm_) {
    out.insert(out.end(), samples, samples + n);
    return;
  }
  while (n > 0) {
    const size_t k = std::min(n, kFrame - filled_);
    for (size_t i = 0; i < k; ++i) frame_[filled_ + i] = static_cast<float>(samples[i]) / 32768.0f;
    filled_ += k;
    samples += k;
    n -= k;
    if (filled_ == kFrame) processFrame(kFrame, out);
  }
}

void NoiseSuppressor::flush(std::vector<int16_t>& out) {
  if (filled_ == 0) return;
  const size_t valid = filled_;
  std::fill(frame_.begin() + static_cast<std::ptrdiff_t>(filled_), frame_.end(), 0.0f);
  processFrame(valid, out);
}

void NoiseSuppressor::reset() {
  filled_ = 0;
  if (apm_) apm_.reset(makeSuppressor());
}

void NoiseSuppressor::processFrame(size_t valid, std::vector<int16_t>& out) {
  const webrtc::StreamConfig mono(kRate, 1);
  float* channel = frame_.data();
  // On a failed frame the samples go on as they came.
  apm_->ProcessStream(&channel, mono, mono, &channel);
  for (size_t i = 0; i < valid; ++i) {
    const float v = std::clamp(frame_[i] * 32768.0f, -32768.0f, 32767.0f);
    out.push_back(static_cast<int16_t>(std::lrint(v)));
  }
  filled_ = 0;
}

}  // namespace voxlet::linux_backend
