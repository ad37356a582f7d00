// When the dictation's first utterance gets a cepstral mean of its own and what that mean is,
// with running means of two coefficients written as the decoder keeps them.
#include "opening_mean.h"

#include <gtest/gtest.h>

#include <vector>

namespace voxlet_test {
namespace {

using voxlet::linux_backend::OpeningMean;
using voxlet::linux_backend::RunningMean;

// The model's prior, as the decoder starts: its mean, and no frames heard.
const RunningMean kPrior{{40, -5}, {0, 0}, 0};

// The running mean after `frames` more frames of value `value` than `from`.
RunningMean heard(const RunningMean& from, double frames, std::vector<float> value) {
  RunningMean r = from;
  for (size_t i = 0; i < r.sum.size(); ++i) r.sum[i] += static_cast<float>(frames * value[i]);
  r.frames += frames;
  return r;
}

TEST(OpeningMean, TheFirstUtteranceIsDecodedAgainOnceItHasHeardEnoughWithItsOwnMean) {
  OpeningMean opening(100, 10);
  opening.utteranceStarted(kPrior);
  EXPECT_FALSE(opening.due(kPrior, false)) << "silence before the speech";
  EXPECT_FALSE(opening.due(heard(kPrior, 90, {50, 3}), false));
  EXPECT_FALSE(opening.settled());

  const std::optional<RunningMean> restart = opening.due(heard(kPrior, 100, {50, 3}), false);
  ASSERT_TRUE(restart);
  EXPECT_TRUE(opening.settled());
  // 100 frames of its own beside the prior counting for 10.
  EXPECT_NEAR(restart->mean[0], (10 * 40 + 100 * 50) / 110.0, 1e-3);
  EXPECT_NEAR(restart->mean[1], (10 * -5 + 100 * 3) / 110.0, 1e-3);
  // Decoding it again adds its frames back: it goes on from the sum it started with.
  EXPECT_EQ(restart->sum, kPrior.sum);
  EXPECT_EQ(restart->frames, kPrior.frames);
  EXPECT_FALSE(opening.due(heard(kPrior, 300, {50, 3}), false)) << "once only";
}

TEST(OpeningMean, WhileTheRestOfThatUtteranceIsDecodedTheMeanFollowsItsFrames) {
  OpeningMean opening(100, 0);
  opening.utteranceStarted(kPrior);
  EXPECT_FALSE(opening.following(heard(kPrior, 50, {50, 3}))) << "nothing to follow yet";
  const RunningMean first = heard(kPrior, 100, {50, 3});
  ASSERT_TRUE(opening.due(first, false));
  // Decoded again (the same 100 frames), then 100 more of another value.
  const std::optional<std::vector<float>> mean =
      opening.following(heard(heard(kPrior, 100, {50, 3}), 100, {60, 1}));
  ASSERT_TRUE(mean);
  EXPECT_NEAR((*mean)[0], 55, 1e-3);
  EXPECT_NEAR((*mean)[1], 2, 1e-3);
  opening.utteranceEnded();
  EXPECT_FALSE(opening.following(heard(kPrior, 300, {60, 1})))
      << "from the next utterance on, the decoder's own update";
}

// An utterance with no frames (a pause the length limit cut) leaves the mean for the next one; a
// short one ("yes") gets the mean of all of it at its end.
TEST(OpeningMean, AShortUtteranceGetsItsMeanAtItsEndAndASilentOneNone) {
  OpeningMean opening(100, 10);
  opening.utteranceStarted(kPrior);
  EXPECT_FALSE(opening.due(kPrior, true));
  EXPECT_FALSE(opening.settled());

  // A pocketsphinx update at that end changes nothing without frames; the next utterance is
  // measured from where it starts.
  const RunningMean before = heard(kPrior, 20, {30, 0});
  opening.utteranceStarted(before);
  const std::optional<RunningMean> restart = opening.due(heard(before, 40, {50, 3}), true);
  ASSERT_TRUE(restart);
  EXPECT_NEAR(restart->mean[0], (10 * 40 + 40 * 50) / 50.0, 1e-3);
  EXPECT_EQ(restart->frames, 20);
  EXPECT_TRUE(opening.settled());
  EXPECT_FALSE(opening.following(heard(before, 80, {50, 3}))) << "the utterance has ended";
}

// Past some hundreds of frames pocketsphinx scales its sum down to fewer frames: the utterance's
// share can no longer be told apart, and its mean of everything is taken as it is.
TEST(OpeningMean, AfterTheDecoderScaledItsSumDownItsOwnMeanIsTaken) {
  OpeningMean opening(100, 10);
  const RunningMean before = heard(kPrior, 700, {45, 0});
  opening.utteranceStarted(before);
  RunningMean scaled{{45, 0}, {500 * 48.0f, 500 * 1.0f}, 500};
  const std::optional<RunningMean> restart = opening.due(scaled, true);
  ASSERT_TRUE(restart);
  EXPECT_NEAR(restart->mean[0], 48, 1e-3);
  EXPECT_NEAR(restart->mean[1], 1, 1e-3);
}

}  // namespace
}  // namespace voxlet_test
