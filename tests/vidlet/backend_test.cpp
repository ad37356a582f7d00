// The backend's pieces without threads: the x264 parameters, the BGRA pool and the 4:2:0
// conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "asked_settings.h"
#include "platform/i420_image.h"
#include "platform/pixel_buffer_pool.h"
#include "platform/x264_parameters.h"

namespace vp = vidlet::platform;

namespace {

using vidlet_test::asked;

// Opens and closes an encoder: x264 checks the parameters as a whole only there.
bool opens(x264_param_t p) {
  x264_t* encoder = x264_encoder_open(&p);
  if (encoder) x264_encoder_close(encoder);
  return encoder != nullptr;
}

TEST(X264Parameters, ConstrainedBaselineInRealTimeWithoutReorderingOrLookahead) {
  const auto p = vp::x264Parameters(asked(30, 1000000), 1280, 720, 2);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->i_bframe, 0);
  EXPECT_EQ(p->b_cabac, 0);
  EXPECT_EQ(p->analyse.b_transform_8x8, 0);
  EXPECT_EQ(p->b_interlaced, 0);
  EXPECT_EQ(p->i_cqm_preset, X264_CQM_FLAT);
  EXPECT_EQ(p->rc.i_lookahead, 0);
  EXPECT_EQ(p->i_sync_lookahead, 0);
  EXPECT_EQ(p->rc.b_mb_tree, 0);
  // Parameter sets go out apart, frames as 4-byte length-prefixed units.
  EXPECT_EQ(p->b_repeat_headers, 0);
  EXPECT_EQ(p->b_annexb, 0);
  EXPECT_EQ(p->i_csp, X264_CSP_I420);
  EXPECT_TRUE(opens(*p));
}

TEST(X264Parameters, KeyFramesAtMostFourSecondsApartInFramesOfTheHeadersRate) {
  for (auto [fps, interval] : {std::pair{30, 120}, {1, 4}, {25, 100}, {INT32_MAX, INT32_MAX}}) {
    const auto p = vp::x264Parameters(asked(fps, 1000000), 64, 64, 1);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->i_keyint_max, interval) << fps;
    EXPECT_EQ(p->i_fps_num, static_cast<uint32_t>(fps));
    EXPECT_EQ(p->i_fps_den, 1u);
    EXPECT_EQ(p->i_timebase_den, static_cast<uint32_t>(fps));
    EXPECT_TRUE(opens(*p)) << fps;
  }
}

TEST(X264Parameters, TheRateIsTheTargetAndThePeakWithAThirdOfASecondAndOneFrameOfBuffer) {
  struct Case {
    int fps;
    int64_t bitRate;
    int kbps, bufferKbit;
  };
  for (const Case& c :
       {Case{30, 1000000, 1000, 333}, Case{30, 250000, 250, 83}, Case{10, 4000000, 4000, 1600},
        Case{1, 1, 1, 1}, Case{INT32_MAX, vp::kMaxBitRate, INT32_MAX, 644245095}}) {
    const auto p = vp::x264Parameters(asked(c.fps, c.bitRate), 64, 64, 1);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->rc.i_rc_method, X264_RC_ABR);
    EXPECT_EQ(p->rc.i_bitrate, c.kbps) << c.bitRate;
    EXPECT_EQ(p->rc.i_vbv_max_bitrate, c.kbps) << c.bitRate;
    EXPECT_EQ(p->rc.i_vbv_buffer_size, c.bufferKbit) << c.bitRate << " at " << c.fps;
    EXPECT_TRUE(opens(*p));
  }
  // Without a bit rate x264 keeps its own rate control, unbounded.
  vp::EncoderSettings noRate = asked(30, 1000000);
  noRate.bitRate.reset();
  const auto p = vp::x264Parameters(noRate, 64, 64, 1);
  ASSERT_TRUE(p);
  EXPECT_NE(p->rc.i_rc_method, X264_RC_ABR);
  EXPECT_EQ(p->rc.i_vbv_buffer_size, 0);
}

TEST(X264Parameters, OneSliceThreadPerCoreAndOddSidesAtTheirEvenCover) {
  for (auto [cores, threads] : {std::pair{1, 1}, {2, 2}, {0, 1}, {8, 8}, {64, 16}}) {
    const auto p = vp::x264Parameters(asked(30, 1000000), 17, 9, cores);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->i_threads, threads) << cores;
    EXPECT_EQ(p->b_sliced_threads, 1);
    EXPECT_EQ(p->i_width, 18);
    EXPECT_EQ(p->i_height, 10);
  }
}

TEST(X264Parameters, LargePicturesKeepTheHexagonSearchThatScrolledTextNeeds) {
  for (auto [w, h] : {std::pair{1920, 1080}, {1280, 720}, {16, 16}}) {
    EXPECT_STREQ(vp::x264Preset(w, h), "veryfast") << w << "x" << h;
    const auto p = vp::x264Parameters(asked(30, 1000000), w, h, 2);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->analyse.i_me_method, X264_ME_HEX) << w << "x" << h;
    EXPECT_EQ(p->analyse.i_subpel_refine, 2) << w << "x" << h;
  }
}

TEST(X264Parameters, TheStreamNamesTheColoursOfTheConversion) {
  const auto p = vp::x264Parameters(asked(30, 1000000), 640, 360, 1);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->vui.i_colorprim, 1);  // BT.709, the primaries of sRGB
  EXPECT_EQ(p->vui.i_transfer, 13);  // sRGB
  EXPECT_EQ(p->vui.i_colmatrix, 6);  // BT.601
  EXPECT_EQ(p->vui.b_fullrange, 0);  // studio range
  EXPECT_EQ(p->vui.i_colorprim, vp::I420Image::kColour.primaries);
  EXPECT_EQ(p->vui.i_colmatrix, vp::I420Image::kColour.matrix);
}

vp::PixelBufferAttributes bgra(int64_t w, int64_t h) {
  vp::PixelBufferAttributes a;
  a.pixelFormatType = vp::kPixelFormatBGRA;
  a.width = w;
  a.height = h;
  return a;
}

TEST(AlignedPool, BuffersAreAlignedWithRowsBackToBack) {
  for (auto [w, stride] : {std::pair{1, 4}, {4, 16}, {16, 64}, {17, 68}, {1920, 7680}}) {
    std::shared_ptr<vp::PixelBufferPool> pool;
    ASSERT_EQ(vp::AlignedPixelBufferPool::create(bgra(w, 3), &pool), vp::kStatusOk);
    vp::PixelBufferRef b;
    ASSERT_EQ(pool->createPixelBuffer(&b), vp::kStatusOk);
    EXPECT_EQ(b->bytesPerRow(), static_cast<size_t>(stride)) << w;
    EXPECT_EQ(b->width(), static_cast<size_t>(w));
    EXPECT_EQ(b->height(), 3u);
    EXPECT_EQ(b->pixelFormatType(), vp::kPixelFormatBGRA);
    EXPECT_EQ(b->baseAddress(), nullptr);  // reachable only while locked
    b->lockBaseAddress(0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b->baseAddress()) % 64, 0u);
    b->unlockBaseAddress(0);
  }
}

TEST(AlignedPool, ReleasedBuffersAreReusedAndOutliveThePool) {
  std::shared_ptr<vp::PixelBufferPool> pool;
  ASSERT_EQ(vp::AlignedPixelBufferPool::create(bgra(8, 8), &pool), vp::kStatusOk);
  vp::PixelBufferRef a, b;
  ASSERT_EQ(pool->createPixelBuffer(&a), vp::kStatusOk);
  ASSERT_EQ(pool->createPixelBuffer(&b), vp::kStatusOk);
  EXPECT_NE(a.get(), b.get());
  vp::PixelBuffer* first = a.get();
  a.reset();
  vp::PixelBufferRef c;
  ASSERT_EQ(pool->createPixelBuffer(&c), vp::kStatusOk);
  EXPECT_EQ(c.get(), first);
  pool.reset();
  c.reset();  // goes back to a shelf that no pool holds any more
  b.reset();
}

// One colour over a whole frame, rows stride bytes apart with junk in between.
std::string solid(int w, int h, size_t stride, uint8_t b, uint8_t g, uint8_t r) {
  std::string f(stride * h, '\x77');
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      char* p = &f[y * stride + x * 4];
      p[0] = static_cast<char>(b);
      p[1] = static_cast<char>(g);
      p[2] = static_cast<char>(r);
      p[3] = static_cast<char>(0xff);
    }
  return f;
}

TEST(I420Image, ConvertsWithStudioRangeBt601) {
  struct Case {
    uint8_t b, g, r;
    int y, u, v;
  };
  // White, black, red, and blue: the BGRA byte order must not be read as RGBA.
  for (const Case& c : {Case{255, 255, 255, 235, 128, 128}, Case{0, 0, 0, 16, 128, 128},
                        Case{0, 0, 255, 82, 90, 240}, Case{255, 0, 0, 41, 240, 110}}) {
    auto image = vp::I420Image::make(8, 4);
    ASSERT_TRUE(image);
    const std::string f = solid(8, 4, 64, c.b, c.g, c.r);
    ASSERT_TRUE(image->fromBgra(reinterpret_cast<const uint8_t*>(f.data()), 64));
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 8; ++x)
        EXPECT_NEAR(image->y()[y * image->strideY() + x], c.y, 2) << x << "," << y;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) {
        EXPECT_NEAR(image->u()[y * image->strideUV() + x], c.u, 2);
        EXPECT_NEAR(image->v()[y * image->strideUV() + x], c.v, 2);
      }
  }
}

TEST(I420Image, PadsOddSizesWithTheirLastColumnAndRow) {
  auto image = vp::I420Image::make(3, 3);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->paddedWidth(), 4);
  EXPECT_EQ(image->paddedHeight(), 4);
  // Columns: black, black, white; rows likewise for the bottom row.
  std::string f(3 * 64, '\0');
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x)
      std::memset(&f[y * 64 + x * 4], (x == 2 || y == 2) ? 0xff : 0x00, 4);
  ASSERT_TRUE(image->fromBgra(reinterpret_cast<const uint8_t*>(f.data()), 64));
  const int s = image->strideY();
  EXPECT_NEAR(image->y()[0], 16, 1);
  EXPECT_NEAR(image->y()[3], 235, 1);          // padding column repeats the white column
  EXPECT_NEAR(image->y()[3 * s + 0], 235, 1);  // padding row repeats the white row
  EXPECT_NEAR(image->y()[3 * s + 3], 235, 1);
}

}  // namespace
