// The level of one buffer: the figures of the meter's scale, computed in single precision.
#include "level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace voxlet {
namespace {

using platform::AudioBuffer;

float levelOfChannels(std::vector<std::vector<float>> channels) {
  const auto frames = static_cast<uint32_t>(channels.at(0).size());
  AudioBuffer buffer(std::move(channels), frames);
  std::optional<float> v = levelOf(buffer);
  EXPECT_TRUE(v.has_value());
  return v.value_or(-1.0f);
}

float levelOfConstant(float sample, uint32_t frames = 2048) {
  return levelOfChannels({std::vector<float>(frames, sample)});
}

TEST(LevelOf, ScaleFigures) {
  EXPECT_EQ(levelOfConstant(0.0f), 0.0f);      // silence: floored to -100 dBFS
  EXPECT_EQ(levelOfConstant(0.001f), 0.0f);    // -60 dBFS, below the scale
  EXPECT_EQ(levelOfConstant(0.01f), 0.25f);    // -40 dBFS
  EXPECT_EQ(levelOfConstant(0.1f), 0.75f);     // -20 dBFS
  EXPECT_EQ(levelOfConstant(0.31623f), 1.0f);  // -10 dBFS
  EXPECT_EQ(levelOfConstant(1.0f), 1.0f);
  EXPECT_EQ(levelOfConstant(-0.1f), 0.75f);  // sign does not matter
  // About -26.02 dBFS: x is about 0.5995, carried as the 32-bit 0.6.
  const float sixTenths = levelOfConstant(0.05f);
  EXPECT_EQ(sixTenths, 0.6f);
  EXPECT_EQ(static_cast<double>(sixTenths), 0.60000002384185791015625);
}

TEST(LevelOf, FullScaleSineIsOne) {
  std::vector<float> sine(2048);
  for (size_t i = 0; i < sine.size(); ++i) {
    sine[i] = static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 48000.0));
  }
  EXPECT_EQ(levelOfChannels({sine}), 1.0f);
}

TEST(LevelOf, NonFiniteSamplesGiveOne) {
  EXPECT_EQ(levelOfChannels({{0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f}}), 1.0f);
  EXPECT_EQ(levelOfChannels({{0.0f, std::numeric_limits<float>::infinity()}}), 1.0f);
  EXPECT_EQ(levelOfChannels({{-std::numeric_limits<float>::infinity(), 0.0f}}), 1.0f);
}

TEST(LevelOf, OnlyChannelZeroAndOnlyValidFrames) {
  EXPECT_EQ(levelOfChannels({std::vector<float>(64, 0.01f), std::vector<float>(64, 1.0f)}), 0.25f);
  // Samples beyond frameLength are not read.
  std::vector<float> samples(128, 1.0f);
  for (size_t i = 0; i < 64; ++i) samples[i] = 0.1f;
  AudioBuffer buffer({samples}, 64);
  EXPECT_EQ(levelOf(buffer), 0.75f);
}

TEST(LevelOf, NothingWithoutFloatSamplesOrFrames) {
  EXPECT_EQ(levelOf(*AudioBuffer::nonFloat(1, 2048)), std::nullopt);
  EXPECT_EQ(levelOf(AudioBuffer({{}}, 0)), std::nullopt);
  EXPECT_EQ(levelOf(AudioBuffer({}, 0)), std::nullopt);
}

}  // namespace
}  // namespace voxlet
