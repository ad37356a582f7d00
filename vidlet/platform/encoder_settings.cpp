#include "platform/encoder_settings.h"

#include <algorithm>

namespace vidlet::platform {

namespace {

std::optional<int64_t> positive(const PropertyValue& value, int64_t most) {
  const int64_t* v = std::get_if<int64_t>(&value);
  if (!v || *v < 1 || *v > most) return std::nullopt;
  return *v;
}

}  // namespace

Status applyProperty(EncoderSettings& settings, PropertyKey key, const PropertyValue& value) {
  const bool* flag = std::get_if<bool>(&value);
  switch (key) {
    case PropertyKey::RealTime:
      if (!flag) return kErrPropertyNotSupported;
      settings.realTime = *flag;
      return kStatusOk;
    case PropertyKey::ProfileLevel: {
      const std::string* profile = std::get_if<std::string>(&value);
      if (!profile || *profile != kProfileLevelH264BaselineAutoLevel)
        return kErrPropertyNotSupported;
      settings.baseline = true;
      return kStatusOk;
    }
    case PropertyKey::AllowFrameReordering:
      if (!flag) return kErrPropertyNotSupported;
      settings.allowFrameReordering = *flag;
      return kStatusOk;
    case PropertyKey::AverageBitRate: {
      const auto rate = positive(value, kMaxBitRate);
      if (!rate) return kErrPropertyNotSupported;
      settings.bitRate = rate;
      return kStatusOk;
    }
    case PropertyKey::ExpectedFrameRate: {
      const auto rate = positive(value, INT32_MAX);
      if (!rate) return kErrPropertyNotSupported;
      settings.frameRate = static_cast<int32_t>(*rate);
      return kStatusOk;
    }
    case PropertyKey::MaxKeyFrameInterval: {
      const auto frames = positive(value, INT64_MAX);
      if (!frames) return kErrPropertyNotSupported;
      settings.maxKeyFrameInterval = frames;
      return kStatusOk;
    }
    case PropertyKey::MaxKeyFrameIntervalDuration: {
      const auto seconds = positive(value, INT64_MAX);
      if (!seconds) return kErrPropertyNotSupported;
      settings.maxKeyFrameIntervalSeconds = seconds;
      return kStatusOk;
    }
  }
  return kErrPropertyNotSupported;
}

int32_t frameRate(const EncoderSettings& settings) {
  return settings.frameRate.value_or(kDefaultFrameRate);
}

std::optional<int32_t> keyFrameInterval(const EncoderSettings& settings) {
  std::optional<int64_t> frames = settings.maxKeyFrameInterval;
  if (settings.maxKeyFrameIntervalSeconds) {
    const int64_t fps = frameRate(settings);
    const int64_t byTime = *settings.maxKeyFrameIntervalSeconds > INT32_MAX / fps
                               ? INT32_MAX
                               : *settings.maxKeyFrameIntervalSeconds * fps;
    frames = std::min(frames.value_or(byTime), byTime);
  }
  if (!frames) return std::nullopt;
  return static_cast<int32_t>(std::min<int64_t>(*frames, INT32_MAX));
}

std::optional<RateBound> rateBound(const EncoderSettings& settings) {
  if (!settings.bitRate) return std::nullopt;
  // Peak at the target, and a buffer of 0.3 s of it plus one frame's share: any second then holds
  // at most 1.3 times the target, and a key frame may take a third of a second's bits (at 30 fps),
  // which a sender pacing at 2.5 times the target sends in about 0.13 s. A tighter buffer starves
  // key frames: at 0.2 s a 1080p page of text at 1 Mb/s comes out blurred and takes seconds to
  // sharpen.
  const int64_t rate = *settings.bitRate;
  return RateBound{rate, rate * 3 / 10 + rate / frameRate(settings)};
}

}  // namespace vidlet::platform
