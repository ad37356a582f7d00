// The capture engine's real-time path: interleaved 32-bit float audio, in pieces of any byte
// length, cut into tap buffers of a fixed frame count with one array of samples per channel.
#pragma once

#include <pulse/sample.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace voxlet::linux_backend {

class BufferAssembler {
 public:
  using Deliver = std::function<void(platform::AudioBufferPtr)>;

  BufferAssembler();
  // Buffers of `frames` frames of `channels` channels from now on. Whatever was begun is dropped:
  // a buffer begun on one stream is not finished with another's audio.
  void begin(uint32_t channels, uint32_t frames);
  // Adds `size` bytes; a frame may be split across calls. Each buffer filled goes to deliver.
  // Allocates nothing while buffers given out earlier come back in time.
  void append(const uint8_t* bytes, size_t size, const Deliver& deliver);

 private:
  using Samples = std::vector<std::vector<float>>;
  // Storage of delivered buffers, back once their last reader lets go.
  class Pool;

  void addFrames(const uint8_t* bytes, size_t count, const Deliver& deliver);
  void deliverFull(const Deliver& deliver);

  std::shared_ptr<Pool> pool_;
  uint32_t channels_ = 0;
  uint32_t frames_ = 0;
  uint32_t filled_ = 0;
  Samples pending_;                                                 // per channel, frames_ each
  std::array<uint8_t, PA_CHANNELS_MAX * sizeof(float)> partial_{};  // an incomplete frame
  size_t partialBytes_ = 0;
};

}  // namespace voxlet::linux_backend
