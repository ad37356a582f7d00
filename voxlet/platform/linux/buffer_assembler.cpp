#include "buffer_assembler.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace voxlet::linux_backend {

class BufferAssembler::Pool {
 public:
  // Storage for `channels` channels of `frames` samples: a returned one, or a new one.
  Samples take(uint32_t channels, uint32_t frames) {
    {
      std::lock_guard lock(mutex_);
      while (!free_.empty()) {
        Samples s = std::move(free_.back());
        free_.pop_back();
        if (s.size() == channels && (channels == 0 || s[0].size() == frames)) return s;
      }
    }
    return Samples(channels, std::vector<float>(frames));
  }
  void give(Samples samples) {
    std::lock_guard lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(samples));
  }

 private:
  // More than the readers hold at once in a steady run; the rest is freed.
  static constexpr size_t kKept = 8;
  std::mutex mutex_;
  std::vector<Samples> free_;
};

BufferAssembler::BufferAssembler() : pool_(std::make_shared<Pool>()) {}

void BufferAssembler::begin(uint32_t channels, uint32_t frames) {
  if (channels != channels_ || frames != frames_) {
    channels_ = std::min<uint32_t>(channels, PA_CHANNELS_MAX);
    frames_ = frames;
    pending_ = pool_->take(channels_, frames_);
  }
  filled_ = 0;
  partialBytes_ = 0;
}

void BufferAssembler::append(const uint8_t* bytes, size_t size, const Deliver& deliver) {
  if (channels_ == 0 || frames_ == 0) return;
  const size_t frameBytes = channels_ * sizeof(float);
  if (partialBytes_ > 0) {
    const size_t need = std::min(frameBytes - partialBytes_, size);
    std::memcpy(partial_.data() + partialBytes_, bytes, need);
    partialBytes_ += need;
    bytes += need;
    size -= need;
    if (partialBytes_ < frameBytes) return;
    addFrames(partial_.data(), 1, deliver);
    partialBytes_ = 0;
  }
  const size_t whole = size / frameBytes;
  addFrames(bytes, whole, deliver);
  partialBytes_ = size - whole * frameBytes;
  std::memcpy(partial_.data(), bytes + whole * frameBytes, partialBytes_);
}

// The bytes need not be aligned for float: each sample is copied out on its own.
void BufferAssembler::addFrames(const uint8_t* bytes, size_t count, const Deliver& deliver) {
  for (size_t i = 0; i < count; ++i) {
    for (uint32_t c = 0; c < channels_; ++c) {
      std::memcpy(&pending_[c][filled_], bytes, sizeof(float));
      bytes += sizeof(float);
    }
    if (++filled_ == frames_) deliverFull(deliver);
  }
}

void BufferAssembler::deliverFull(const Deliver& deliver) {
  filled_ = 0;
  std::shared_ptr<platform::AudioBuffer> buffer(
      new platform::AudioBuffer(std::exchange(pending_, pool_->take(channels_, frames_)), frames_),
      [pool = pool_](platform::AudioBuffer* b) {
        pool->give(std::move(*b).takeChannels());
        delete b;
      });
  deliver(std::move(buffer));
}

}  // namespace voxlet::linux_backend
