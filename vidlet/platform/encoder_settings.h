// What a compression session's properties ask of its encoder, whatever the backend, and the
// arithmetic every backend shares: frame rate, key-frame interval and the bound on bursts.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/video.h"

namespace vidlet::platform {

struct EncoderSettings {
  bool realTime = false;
  bool baseline = false;
  bool allowFrameReordering = true;
  std::optional<int64_t> bitRate;                     // bits per second, 1 to kMaxBitRate
  std::optional<int32_t> frameRate;                   // frames per second, at least 1
  std::optional<int64_t> maxKeyFrameInterval;         // frames, at least 1
  std::optional<int64_t> maxKeyFrameIntervalSeconds;  // at least 1
};

// Encoders count their rate in 32-bit kilobits per second at most.
constexpr int64_t kMaxBitRate = int64_t{INT32_MAX} * 1000;
// The frame rate assumed when no property names one.
constexpr int32_t kDefaultFrameRate = 25;

// Takes one property into settings. A value of the wrong type or out of range is refused with
// kErrPropertyNotSupported and changes nothing.
Status applyProperty(EncoderSettings& settings, PropertyKey key, const PropertyValue& value);

int32_t frameRate(const EncoderSettings& settings);

// The longest run of frames from one key frame to the next: the tighter of the count and the
// duration, at most INT32_MAX. None when neither is set.
std::optional<int32_t> keyFrameInterval(const EncoderSettings& settings);

// How bursts are bounded: output leaves at most at the peak rate, through a buffer of bufferBits
// that a single frame never exceeds. Any second of frames then holds at most
// bufferBits + peak x (1 - 1/frame rate) bits. The peak is the target, the buffer 0.3 s of it plus
// one frame's share.
struct RateBound {
  int64_t peakBitRate;
  int64_t bufferBits;
};
// None without a bit rate.
std::optional<RateBound> rateBound(const EncoderSettings& settings);

}  // namespace vidlet::platform
