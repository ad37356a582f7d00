#include "segmenter.h"

#include <algorithm>

namespace voxlet::linux_backend {

Segmenter::Segmenter(size_t batchSamples, size_t longestUtterance)
    : batch_(std::max<size_t>(batchSamples, 1)), longest_(std::max(longestUtterance, batch_)) {}

Segmenter::Route Segmenter::route(RequestId request) const {
  if (request == current_) return Route::Decode;
  if (request == carriedFrom_) return Route::Carry;
  return Route::New;
}

void Segmenter::begin(RequestId request) {
  if (current_ && current_ != request) clear();
  current_ = request;
  carriedFrom_ = nullptr;
  utterance_ = 0;
  heardSpeech_ = false;
}

void Segmenter::append(std::span<const int16_t> samples) {
  if (!current_ && !carriedFrom_) return;
  // Decoded samples are let go of once they are most of the buffer.
  if (head_ > 0 && head_ >= fifo_.size() / 2) {
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  fifo_.insert(fifo_.end(), samples.begin(), samples.end());
}

std::span<const int16_t> Segmenter::next(bool rest) const {
  if (!current_) return {};
  const size_t n = waiting();
  if (n >= batch_) return {fifo_.data() + head_, batch_};
  if (rest) return {fifo_.data() + head_, n};
  return {};
}

Segmenter::Cut Segmenter::decoded(size_t n, bool inSpeech, bool audioEnded) {
  head_ += std::min(n, waiting());
  utterance_ += n;
  heardSpeech_ = heardSpeech_ || inSpeech;
  const bool pause = heardSpeech_ && !inSpeech;
  const bool full = utterance_ >= longest_;
  if (!pause && !full) return Cut::None;
  const bool closesRequest = heardSpeech_ && !audioEnded;
  utterance_ = 0;
  heardSpeech_ = false;
  if (!closesRequest) return Cut::Utterance;
  carriedFrom_ = current_;
  current_ = nullptr;
  return Cut::Request;
}

void Segmenter::reopen() {
  if (!carriedFrom_ || current_) return;
  current_ = carriedFrom_;
  carriedFrom_ = nullptr;
}

void Segmenter::ended() {
  clear();
  current_ = nullptr;
}

bool Segmenter::drop(RequestId request) {
  if (!request || (request != current_ && request != carriedFrom_)) return false;
  clear();
  current_ = nullptr;
  carriedFrom_ = nullptr;
  return true;
}

void Segmenter::clear() {
  fifo_.clear();
  head_ = 0;
  utterance_ = 0;
  heardSpeech_ = false;
}

}  // namespace voxlet::linux_backend
