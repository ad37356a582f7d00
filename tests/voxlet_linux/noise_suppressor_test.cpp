// The noise suppressor in front of the decoder: every sample comes out once, steady noise is
// taken down, and a voice-like signal over it comes through.
#include "noise_suppressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace voxlet_test {
namespace {

using voxlet::linux_backend::NoiseSuppressor;

constexpr int kRate = NoiseSuppressor::kRate;

// White noise at about -32 dBFS, then from `toneAt` on a 300 Hz tone with 5 Hz syllable-like
// swells at about -14 dBFS over it.
std::vector<int16_t> noiseThenTone(size_t total, size_t toneAt) {
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 800.0);
  std::vector<int16_t> out(total);
  for (size_t i = 0; i < total; ++i) {
    double v = noise(random);
    if (i >= toneAt) {
      const double t = static_cast<double>(i) / kRate;
      v += 8000.0 * std::sin(2 * M_PI * 300 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 5 * t));
    }
    out[i] = static_cast<int16_t>(std::lrint(std::clamp(v, -32768.0, 32767.0)));
  }
  return out;
}

double energy(const std::vector<int16_t>& s, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(s[i]) * s[i];
  return sum / static_cast<double>(to - from);
}

TEST(NoiseSuppressor, EverySampleComesOutOnceWhateverTheChunks) {
  const std::vector<int16_t> in = noiseThenTone(kRate + 37, kRate / 2);
  for (size_t chunk : {1, 77, 160, 2048, 20000}) {
    NoiseSuppressor suppressor;
    ASSERT_TRUE(suppressor.active());
    std::vector<int16_t> out;
    for (size_t at = 0; at < in.size(); at += chunk) {
      suppressor.process(in.data() + at, std::min(chunk, in.size() - at), out);
    }
    suppressor.flush(out);
    EXPECT_EQ(out.size(), in.size()) << "chunks of " << chunk;
    suppressor.flush(out);
    EXPECT_EQ(out.size(), in.size()) << "a second flush adds nothing";
  }
}

TEST(NoiseSuppressor, TakesSteadyNoiseDownAndLetsTheVoiceThrough) {
  const size_t toneAt = 3 * kRate, total = 4 * kRate;
  const std::vector<int16_t> in = noiseThenTone(total, toneAt);
  NoiseSuppressor suppressor;
  std::vector<int16_t> out;
  suppressor.process(in.data(), in.size(), out);
  suppressor.flush(out);
  ASSERT_EQ(out.size(), in.size());
  // Once the noise is learnt (the second second on), at least 10 dB less of it.
  EXPECT_LT(energy(out, 2 * kRate, toneAt), energy(in, 2 * kRate, toneAt) / 10);
  // The voice-like part keeps at least half its power.
  EXPECT_GT(energy(out, toneAt + kRate / 4, total), energy(in, toneAt + kRate / 4, total) / 2);
}

}  // namespace
}  // namespace voxlet_test
