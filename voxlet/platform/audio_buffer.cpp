#include "platform.h"

namespace voxlet::platform {

AudioBuffer::AudioBuffer(std::vector<std::vector<float>> channels, uint32_t frameLength)
    : channels_(std::move(channels)), frameLength_(frameLength) {
  for (auto& c : channels_) {
    if (c.size() < frameLength_) c.resize(frameLength_, 0.0f);
    pointers_.push_back(c.data());
  }
}

std::shared_ptr<const AudioBuffer> AudioBuffer::nonFloat(uint32_t channels, uint32_t frameLength) {
  std::shared_ptr<AudioBuffer> b(new AudioBuffer());
  b->channels_.resize(channels);
  b->frameLength_ = frameLength;
  b->isFloat_ = false;
  return b;
}

}  // namespace voxlet::platform
