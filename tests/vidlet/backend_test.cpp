// The backend's pieces without threads: the BGRA pool and the 4:2:0 conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/i420_image.h"
#include "platform/pixel_buffer_pool.h"

namespace vp = vidlet::platform;

namespace {

vp::PixelBufferAttributes bgra(int64_t w, int64_t h) {
  vp::PixelBufferAttributes a;
  a.pixelFormatType = vp::kPixelFormatBGRA;
  a.width = w;
  a.height = h;
  return a;
}

TEST(AlignedPool, RowsAreAlignedAndAtLeastAFrameRowWide) {
  for (auto [w, stride] : {std::pair{1, 64}, {4, 64}, {16, 64}, {17, 128}, {1920, 7680}}) {
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
