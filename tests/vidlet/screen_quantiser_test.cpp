// The screen quantiser against a model of what frames cost: pages whose key frames halve in size
// every six quantiser steps (steeper than the policy's own estimate) or every nine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/screen_quantiser.h"

namespace vp = vidlet::platform;

namespace {

using Q = vp::ScreenQuantiser;

constexpr int64_t kRate = 1000000;
constexpr int kFps = 30;

// What a key frame of a page costs at qp: bitsAt36 at 36, halving every halvingSteps.
int64_t keyBits(double bitsAt36, double halvingSteps, int qp) {
  return static_cast<int64_t>(bitsAt36 * std::pow(0.5, (qp - 36) / halvingSteps));
}

// Encodes one key frame as the encoder does: again while the quantiser asks; the attempts made.
int encodeKey(Q& q, double bitsAt36, double halvingSteps, int64_t* bits) {
  int attempts = 0;
  do {
    *bits = keyBits(bitsAt36, halvingSteps, q.qp(true));
    ++attempts;
  } while (q.cost(true, *bits));
  return attempts;
}

TEST(ScreenQuantiser, AKeyFrameOverHalfASecondIsEncodedAgainCoarserUntilItFits) {
  for (double halving : {6.0, 9.0}) {
    for (double bitsAt36 : {300000.0, 800000.0, 1500000.0}) {
      Q q(kRate, kFps);
      EXPECT_EQ(q.qp(true), Q::kFirstQp);
      int64_t bits = 0;
      const int attempts = encodeKey(q, bitsAt36, halving, &bits);
      EXPECT_LE(bits, kRate / 2) << bitsAt36 << " halving every " << halving;
      EXPECT_LE(attempts, 3) << bitsAt36 << " halving every " << halving;
      if (bitsAt36 <= kRate / 2) {
        EXPECT_EQ(attempts, 1);
      }
    }
  }
}

TEST(ScreenQuantiser, AtTheCoarsestQuantiserAFrameGoesOutWhateverItCosts) {
  Q q(kRate, kFps);
  int attempts = 0;
  while (q.cost(true, 10 * kRate)) ASSERT_LT(++attempts, 60);
  EXPECT_EQ(q.qp(false), Q::kCoarsestQp);
}

TEST(ScreenQuantiser, AStillPageIsRefinedToTheFinestWhileTheRateLeavesRoom) {
  Q q(kRate, kFps);
  int64_t bits = 0;
  encodeKey(q, 800000, 6, &bits);
  const int keyQp = q.qp(false);
  EXPECT_GT(keyQp, Q::kFirstQp);
  // Skipped frames cost next to nothing; every eighth refines the page at a frame's share.
  for (int i = 0; i < 10 * kFps; ++i) {
    q.tick();
    EXPECT_FALSE(q.cost(false, i % 8 ? 100 : kRate / kFps));
  }
  EXPECT_EQ(q.qp(false), Q::kFinestQp);
  EXPECT_FALSE(q.refining());
}

TEST(ScreenQuantiser, AFrameFinerThanTheLastOneEncodedIsToldBeforehand) {
  // The encoder makes room for such a frame, which may refine the whole page at once.
  Q q(kRate, kFps);
  int64_t bits = 0;
  encodeKey(q, 300000, 6, &bits);
  EXPECT_FALSE(q.refining());
  q.tick();
  q.cost(false, 100);  // the page stood still
  EXPECT_TRUE(q.refining());
  // Held back (repeated), it stays so; encoded and costly, the next one is coarser again.
  q.tick();
  EXPECT_TRUE(q.refining());
  q.cost(false, 5 * kRate / kFps);
  EXPECT_FALSE(q.refining());
}

TEST(ScreenQuantiser, RefiningWaitsWhileTheFramesUseMostOfTheRate) {
  Q q(kRate, kFps);
  int64_t bits = 0;
  encodeKey(q, 300000, 6, &bits);
  // The page moves at 0.9 times the rate: once its frames fill the last second, no finer
  // quantiser.
  const auto moving = [&q](int frames) {
    for (int i = 0; i < frames; ++i) {
      q.tick();
      q.cost(false, kRate * 9 / 10 / kFps);
    }
  };
  moving(2 * kFps);
  const int settled = q.qp(false);
  moving(3 * kFps);
  EXPECT_EQ(q.qp(false), settled);
  EXPECT_GT(settled, Q::kFinestQp);
}

TEST(ScreenQuantiser, CostlyFramesMakeTheNextOnesCoarser) {
  Q q(kRate, kFps);
  int64_t bits = 0;
  encodeKey(q, 300000, 6, &bits);
  const int keyQp = q.qp(false);
  q.tick();
  EXPECT_FALSE(q.cost(false, 5 * kRate / kFps));  // a window opened
  EXPECT_GT(q.qp(false), keyQp);
}

TEST(ScreenQuantiser, AnOtherFrameOverHalfASecondBecomesACoarserKeyFrame) {
  Q q(kRate, kFps);
  int64_t bits = 0;
  encodeKey(q, 300000, 6, &bits);
  const int before = q.qp(false);
  q.tick();
  ASSERT_TRUE(q.cost(false, kRate));  // a whole new page at the page's quantiser
  EXPECT_GT(q.qp(true), before);
  EXPECT_FALSE(q.cost(true, kRate / 3));
}

TEST(ScreenQuantiser, TheNextKeyFrameKeepsThePageSharpUnlessThatCostsOverPlan) {
  // A cheap page: once refined, its next key frame comes at the refined quantiser.
  Q cheap(kRate, kFps);
  int64_t bits = 0;
  encodeKey(cheap, 60000, 6, &bits);
  for (int i = 0; i < 10 * kFps; ++i) {
    cheap.tick();
    cheap.cost(false, 100);
  }
  EXPECT_EQ(cheap.qp(true), cheap.qp(false));
  // A costly page: its next key frame is planned to fit half a second again.
  Q costly(kRate, kFps);
  encodeKey(costly, 800000, 6, &bits);
  for (int i = 0; i < 10 * kFps; ++i) {
    costly.tick();
    costly.cost(false, 100);
  }
  EXPECT_GT(costly.qp(true), costly.qp(false));
  EXPECT_LE(encodeKey(costly, 800000, 6, &bits), 2);
  EXPECT_LE(bits, kRate / 2);
}

}  // namespace
