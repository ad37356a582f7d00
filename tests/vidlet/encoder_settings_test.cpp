// The settings every backend takes from a session's properties, and the key-frame and rate
// arithmetic on them.
#include <gtest/gtest.h>

#include <climits>

#include "platform/encoder_settings.h"

namespace vp = vidlet::platform;
using K = vp::PropertyKey;

namespace {

TEST(EncoderSettings, ValuesOfTheWrongTypeOrOutOfRangeAreRefusedAndChangeNothing) {
  vp::EncoderSettings s;
  struct Refused {
    K key;
    vp::PropertyValue value;
  };
  for (const Refused& r : {Refused{K::RealTime, int64_t{1}},
                           {K::AllowFrameReordering, "no"},
                           {K::ProfileLevel, "H264_High_AutoLevel"},
                           {K::ProfileLevel, true},
                           {K::AverageBitRate, int64_t{0}},
                           {K::AverageBitRate, int64_t{-5}},
                           {K::AverageBitRate, vp::kMaxBitRate + 1},
                           {K::AverageBitRate, true},
                           {K::ExpectedFrameRate, int64_t{0}},
                           {K::ExpectedFrameRate, int64_t{INT32_MAX} + 1},
                           {K::MaxKeyFrameInterval, int64_t{0}},
                           {K::MaxKeyFrameIntervalDuration, int64_t{-4}}}) {
    EXPECT_EQ(vp::applyProperty(s, r.key, r.value), vp::kErrPropertyNotSupported);
  }
  EXPECT_FALSE(s.realTime);
  EXPECT_FALSE(s.baseline);
  EXPECT_TRUE(s.allowFrameReordering);
  EXPECT_FALSE(s.bitRate || s.frameRate || s.maxKeyFrameInterval || s.maxKeyFrameIntervalSeconds);
  EXPECT_EQ(vp::frameRate(s), vp::kDefaultFrameRate);
  EXPECT_FALSE(vp::keyFrameInterval(s));
  EXPECT_FALSE(vp::rateBound(s));
}

TEST(EncoderSettings, TheKeyFrameIntervalIsTheTighterOfCountAndDuration) {
  struct Case {
    std::optional<int64_t> fps, frames, seconds;
    std::optional<int32_t> interval;
  };
  for (const Case& c : {Case{30, 120, 4, 120}, Case{1, 4, 4, 4}, Case{30, 500, 4, 120},
                        Case{30, 50, 4, 50}, Case{30, std::nullopt, 2, 60},
                        Case{std::nullopt, std::nullopt, 4, 4 * vp::kDefaultFrameRate},
                        Case{30, 77, std::nullopt, 77}, Case{INT32_MAX, std::nullopt, 4, INT32_MAX},
                        Case{30, INT64_MAX, INT64_MAX, INT32_MAX},
                        Case{30, std::nullopt, std::nullopt, std::nullopt}}) {
    vp::EncoderSettings s;
    if (c.fps) vp::applyProperty(s, K::ExpectedFrameRate, *c.fps);
    if (c.frames) vp::applyProperty(s, K::MaxKeyFrameInterval, *c.frames);
    if (c.seconds) vp::applyProperty(s, K::MaxKeyFrameIntervalDuration, *c.seconds);
    EXPECT_EQ(vp::keyFrameInterval(s), c.interval)
        << c.fps.value_or(-1) << " fps, " << c.frames.value_or(-1) << " frames, "
        << c.seconds.value_or(-1) << " s";
  }
}

TEST(EncoderSettings, BurstsAreBoundedAtTheTargetWithAThirdOfASecondAndOneFrameOfBuffer) {
  struct Case {
    int64_t bitRate, fps, bufferBits;
  };
  for (const Case& c : {Case{1000000, 30, 300000 + 33333}, Case{250000, 10, 75000 + 25000},
                        Case{4000000, 1, 1200000 + 4000000}, Case{1, 30, 0}, Case{7, 1, 2 + 7},
                        Case{vp::kMaxBitRate, INT32_MAX, vp::kMaxBitRate * 3 / 10 + 1000}}) {
    vp::EncoderSettings s;
    vp::applyProperty(s, K::AverageBitRate, c.bitRate);
    vp::applyProperty(s, K::ExpectedFrameRate, c.fps);
    const auto bound = vp::rateBound(s);
    ASSERT_TRUE(bound);
    EXPECT_EQ(bound->peakBitRate, c.bitRate);
    EXPECT_EQ(bound->bufferBits, c.bufferBits) << c.bitRate << " b/s at " << c.fps << " fps";
  }
}

}  // namespace
