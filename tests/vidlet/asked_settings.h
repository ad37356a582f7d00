// The encoder settings vidlet's session asks for, at a frame rate and bit rate.
#pragma once

#include <cstdint>

#include "platform/encoder_settings.h"

namespace vidlet_test {

inline vidlet::platform::EncoderSettings asked(int64_t fps, int64_t bitRate) {
  namespace vp = vidlet::platform;
  using K = vp::PropertyKey;
  vp::EncoderSettings s;
  vp::applyProperty(s, K::RealTime, true);
  vp::applyProperty(s, K::ProfileLevel, vp::kProfileLevelH264BaselineAutoLevel);
  vp::applyProperty(s, K::AllowFrameReordering, false);
  vp::applyProperty(s, K::AverageBitRate, bitRate);
  vp::applyProperty(s, K::ExpectedFrameRate, fps);
  vp::applyProperty(s, K::MaxKeyFrameInterval, fps * 4);
  vp::applyProperty(s, K::MaxKeyFrameIntervalDuration, int64_t{4});
  return s;
}

}  // namespace vidlet_test
