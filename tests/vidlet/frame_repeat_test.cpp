// The pure pieces behind repeated frames and the screen-content choice: slice headers read and
// written, the rate guard, and the screen test.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "platform/h264_slices.h"
#include "platform/rate_guard.h"
#include "platform/scene_cut.h"
#include "platform/screen_content.h"

namespace vp = vidlet::platform;

namespace {

// The sequence parameter set OpenH264 writes for 640x360 (Baseline, level 3.0, log2_max_frame_num
// 15, order count type 0 with log2_max_pic_order_cnt_lsb 16, 40x23 macroblocks, frames only, with
// video usability information) and its picture parameter set (CAVLC, one slice group, deblocking
// control present).
const std::vector<uint8_t> kSps{0x67, 0x42, 0xc0, 0x1e, 0x8c, 0x8d, 0x40, 0x50, 0x17, 0xfc,
                                0xb3, 0x50, 0x10, 0xd0, 0x60, 0x78, 0x44, 0x23, 0x50};
const std::vector<uint8_t> kPps{0x68, 0xce, 0x3c, 0x80};

// No three bytes in a row of 00 00 followed by 00, 01, 02 or 03 unescaped, after the header.
bool escaped(const std::vector<uint8_t>& nal) {
  for (size_t i = 1; i + 2 < nal.size(); ++i)
    if (nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] <= 2) return false;
  return nal.size() < 2 || !(nal[nal.size() - 1] == 0);
}

TEST(SliceLayout, ReadsWhatRepeatedFramesNeedAndRefusesWhatTheyCannotCarry) {
  const auto layout = vp::sliceLayout(kSps.data(), kSps.size(), kPps.data(), kPps.size());
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->log2MaxFrameNum, 15);
  EXPECT_EQ(layout->log2MaxPocLsb, 16);
  EXPECT_EQ(layout->macroblocks, 40 * 23);
  EXPECT_EQ(layout->ppsId, 0);
  EXPECT_TRUE(layout->deblockingControlPresent);
  EXPECT_FALSE(layout->redundantPicCntPresent);
  EXPECT_FALSE(layout->bottomFieldPocPresent);

  std::vector<uint8_t> cabac = kPps;
  cabac[1] |= 0x20;  // entropy_coding_mode_flag, after two one-bit ue(0)
  EXPECT_FALSE(vp::sliceLayout(kSps.data(), kSps.size(), cabac.data(), cabac.size()));
  std::vector<uint8_t> high = kSps;
  high[1] = 100;
  EXPECT_FALSE(vp::sliceLayout(high.data(), high.size(), kPps.data(), kPps.size()));
  EXPECT_FALSE(vp::sliceLayout(kSps.data(), 3, kPps.data(), kPps.size()));
}

TEST(RepeatSlice, ANonReferenceSliceWithTheNumbersAskedForEscapedWhereZerosRun) {
  const auto layout = vp::sliceLayout(kSps.data(), kSps.size(), kPps.data(), kPps.size());
  ASSERT_TRUE(layout);
  for (uint32_t frameNum : {0u, 1u, 7u, 32767u, 32768u}) {
    for (uint32_t poc : {0u, 2u, 65534u, 65536u}) {
      std::vector<uint8_t> nal = vp::repeatSlice(*layout, frameNum, poc);
      ASSERT_GE(nal.size(), 2u);
      EXPECT_EQ(nal[0], 0x01) << "nal_ref_idc 0, a non-IDR slice";
      EXPECT_TRUE(escaped(nal)) << frameNum << " " << poc;
      EXPECT_EQ(vp::sliceFrameNum(nal.data(), nal.size(), *layout), frameNum % 32768);
      // The order count can be set again, and the frame number stays.
      ASSERT_TRUE(vp::setSlicePocLsb(nal, *layout, 4));
      EXPECT_TRUE(escaped(nal));
      EXPECT_EQ(vp::sliceFrameNum(nal.data(), nal.size(), *layout), frameNum % 32768);
    }
  }
  // Zeros in the numbers make the longest runs: the escaped slice is longer than its bits.
  EXPECT_GT(vp::repeatSlice(*layout, 0, 0).size(), vp::repeatSlice(*layout, 32767, 65535).size());
}

TEST(SlicePoc, RewritingKeepsEverythingElseAndLeavesOtherUnitsAlone) {
  const auto layout = vp::sliceLayout(kSps.data(), kSps.size(), kPps.data(), kPps.size());
  ASSERT_TRUE(layout);
  const std::vector<uint8_t> original = vp::repeatSlice(*layout, 5, 10);
  std::vector<uint8_t> nal = original;
  ASSERT_TRUE(vp::setSlicePocLsb(nal, *layout, 12));
  EXPECT_EQ(nal, vp::repeatSlice(*layout, 5, 12));
  ASSERT_TRUE(vp::setSlicePocLsb(nal, *layout, 10));
  EXPECT_EQ(nal, original);

  std::vector<uint8_t> sps = kSps;
  EXPECT_FALSE(vp::setSlicePocLsb(sps, *layout, 2));
  EXPECT_EQ(sps, kSps);
  EXPECT_FALSE(vp::sliceFrameNum(kSps.data(), kSps.size(), *layout));
  std::vector<uint8_t> cut{0x41};
  EXPECT_FALSE(vp::setSlicePocLsb(cut, *layout, 2));
}

// ---- The rate guard.

TEST(RateGuard, FramesAtTheTargetAreAllEncoded) {
  vp::RateGuard guard(300000, 30, 60000, 390000);
  for (int i = 0; i < 300; ++i) {
    guard.tick();
    ASSERT_TRUE(guard.admits(11000)) << i;
    guard.spent(i % 2 ? 9000 : 11000);  // around the share of 10000
  }
}

// An encoder whose frames cost three times their share, with a key frame every 2 s that is never
// held back: frames the guard refuses are repeated at 100 bits.
std::vector<int64_t> guarded(vp::RateGuard& guard, int frames) {
  std::vector<int64_t> bits;
  int64_t last = 0;
  for (int i = 0; i < frames; ++i) {
    guard.tick();
    const bool key = i % 60 == 0;
    const int64_t b = key ? 60000 : guard.admits(last) ? 25000 : 100;
    if (b > 100) last = b;
    guard.spent(b);
    bits.push_back(b);
  }
  return bits;
}

TEST(RateGuard, TheAverageComesToTheTargetAndAnySecondStaysWithinItsBound) {
  constexpr int64_t kRate = 250000, kSecondBits = 325000;
  constexpr int kFps = 30;
  vp::RateGuard guard(kRate, kFps, 50000, kSecondBits);
  const std::vector<int64_t> bits = guarded(guard, 600);
  int64_t total = 0;
  for (int64_t b : bits) total += b;
  EXPECT_NEAR(static_cast<double>(total) / (bits.size() / kFps) / kRate, 1.0, 0.1);
  // A frame goes in only while the second before it leaves room for one like the last; the key
  // frames, larger and never held back, may pass the bound by what they exceed that.
  for (size_t first = 0; first + kFps <= bits.size(); ++first) {
    int64_t second = 0;
    for (size_t i = first; i < first + kFps; ++i) second += bits[i];
    EXPECT_LE(second, kSecondBits + 60000 - 25000) << "from frame " << first;
  }
}

TEST(RateGuard, ASecondIsCountedOverAtMostItsWindowOfFrames) {
  // A huge frame rate keeps a bounded window; one frame is admitted at a time.
  vp::RateGuard guard(1000000, INT32_MAX, 1000000, 1000);
  guard.tick();
  EXPECT_TRUE(guard.admits(1000));
  guard.spent(1000);
  guard.tick();
  EXPECT_FALSE(guard.admits(1));
  for (int i = 0; i < vp::RateGuard::kMaxWindow; ++i) {
    guard.tick();
    guard.spent(0);
  }
  guard.tick();
  EXPECT_TRUE(guard.admits(1000));
}

// ---- Scene cuts.

// A pattern of bars under grain that changes with the seed; flipped turns it upside down.
std::vector<uint8_t> grainy(int w, int h, uint32_t seed, bool flipped) {
  std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      state = state * 1664525u + 1013904223u;
      const int row = flipped ? h - 1 - y : y;
      const int base = (row * 4 / h) * 60 + (x * 2 / w) * 20;
      const auto v = static_cast<uint8_t>(base + static_cast<int>(state >> 27));  // grain 0-31
      for (int c = 0; c < 3; ++c) bgra[(static_cast<size_t>(y) * w + x) * 4 + c] = v;
    }
  return bgra;
}

TEST(SceneCut, GrainAloneIsNoCutAndATurnedPictureIs) {
  constexpr int kW = 160, kH = 96;
  vp::SceneCut cuts;
  std::vector<int> at;
  for (int i = 0; i < 90; ++i) {
    const auto frame = grainy(kW, kH, static_cast<uint32_t>(i), (i / 30) % 2 == 1);
    if (cuts.next(frame.data(), kW * 4, kW, kH)) at.push_back(i);
  }
  EXPECT_EQ(at, (std::vector<int>{30, 60}));
}

TEST(SceneCut, TheFirstFrameAndAChangeOfSizeAreNoCut) {
  vp::SceneCut cuts;
  const auto a = grainy(64, 64, 1, false);
  const auto b = grainy(32, 32, 2, true);
  EXPECT_FALSE(cuts.next(a.data(), 64 * 4, 64, 64));
  EXPECT_FALSE(cuts.next(b.data(), 32 * 4, 32, 32));
}

// ---- Screen content.

std::vector<uint8_t> picture(int w, int h, uint32_t (*pixel)(int x, int y)) {
  std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t p = pixel(x, y);
      for (int c = 0; c < 4; ++c) bgra[(static_cast<size_t>(y) * w + x) * 4 + c] = p >> (8 * c);
    }
  return bgra;
}

TEST(ScreenContent, DrawnPagesAreScreensAndCameraPicturesAreNot) {
  constexpr int kW = 320, kH = 180;
  // Text-like strokes on a flat page.
  const auto page = picture(kW, kH, [](int x, int y) -> uint32_t {
    return (y % 12 < 8 && x % 7 == 3) ? 0xff202020u : 0xfff0f0f0u;
  });
  EXPECT_TRUE(vp::looksLikeScreen(page.data(), kW * 4, kW, kH));
  // A smooth gradient with a little noise, as a camera gives.
  const auto camera = picture(kW, kH, [](int x, int y) -> uint32_t {
    const uint32_t noise =
        (static_cast<uint32_t>(x) * 2654435761u ^ static_cast<uint32_t>(y) * 40503u) >> 13 & 7;
    const uint32_t v = (static_cast<uint32_t>(x + y) / 2 + noise) & 0xff;
    return 0xff000000u | v << 16 | v << 8 | v;
  });
  EXPECT_FALSE(vp::looksLikeScreen(camera.data(), kW * 4, kW, kH));
  // Alpha is not part of the picture.
  const auto alpha = picture(kW, kH, [](int x, int y) -> uint32_t {
    return static_cast<uint32_t>(x & 0xff) << 24 | (y < kH / 2 ? 0x00808080u : 0x00202020u);
  });
  EXPECT_TRUE(vp::looksLikeScreen(alpha.data(), kW * 4, kW, kH));
  EXPECT_FALSE(vp::looksLikeScreen(page.data(), kW * 4, 1, kH));
  // One colour throughout: a covered lens as much as an empty page.
  const auto black = picture(kW, kH, [](int, int) -> uint32_t { return 0xff000000u; });
  EXPECT_FALSE(vp::looksLikeScreen(black.data(), kW * 4, kW, kH));
}

}  // namespace
