// The OpenH264 backend without threads: its parameters, and its encoder driven frame by frame.
#include <gtest/gtest.h>

#include <wels/codec_api.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "asked_settings.h"
#include "platform/default_encoder.h"
#include "platform/i420_image.h"
#include "platform/openh264_encoder.h"
#include "platform/openh264_parameters.h"
#include "platform/pixel_buffer_pool.h"

namespace vp = vidlet::platform;

namespace {

using vidlet_test::asked;

struct EncoderDeleter {
  void operator()(ISVCEncoder* e) const {
    e->Uninitialize();
    WelsDestroySVCEncoder(e);
  }
};

SEncParamExt parameters(const vp::EncoderSettings& settings, int w, int h) {
  ISVCEncoder* raw = nullptr;
  WelsCreateSVCEncoder(&raw);
  std::unique_ptr<ISVCEncoder, EncoderDeleter> encoder(raw);
  SEncParamExt defaults;
  encoder->GetDefaultParams(&defaults);
  return vp::openh264Parameters(defaults, settings, w, h);
}

// OpenH264 checks the parameters as a whole only when it is initialised.
bool initialises(const SEncParamExt& p) {
  ISVCEncoder* raw = nullptr;
  WelsCreateSVCEncoder(&raw);
  std::unique_ptr<ISVCEncoder, EncoderDeleter> encoder(raw);
  int quiet = WELS_LOG_QUIET;
  encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
  return encoder->InitializeExt(&p) == cmResultSuccess;
}

TEST(OpenH264Parameters, ConstrainedBaselineOneSliceOneThreadEveryFrameEncoded) {
  const SEncParamExt p = parameters(asked(30, 1000000), 1280, 720);
  EXPECT_EQ(p.iUsageType, CAMERA_VIDEO_REAL_TIME);
  EXPECT_EQ(p.iEntropyCodingModeFlag, 0);
  EXPECT_EQ(p.sSpatialLayers[0].uiProfileIdc, PRO_BASELINE);
  EXPECT_EQ(p.iSpatialLayerNum, 1);
  EXPECT_EQ(p.iTemporalLayerNum, 1);
  EXPECT_EQ(p.sSpatialLayers[0].sSliceArgument.uiSliceMode, SM_SINGLE_SLICE);
  EXPECT_EQ(p.iMultipleThreadIdc, 1);
  EXPECT_FALSE(p.bEnableFrameSkip);
  EXPECT_FALSE(p.bEnableSceneChangeDetect);
  EXPECT_EQ(p.iRCMode, RC_BITRATE_MODE);
  EXPECT_EQ(p.iTargetBitrate, 1000000);
  EXPECT_EQ(p.sSpatialLayers[0].iSpatialBitrate, 1000000);
  EXPECT_TRUE(initialises(p));
}

TEST(OpenH264Parameters, KeyFramesAtMostFourSecondsApartAndOddSidesAtTheirEvenCover) {
  const SEncParamExt p = parameters(asked(25, 1000000), 17, 33);
  EXPECT_EQ(p.uiIntraPeriod, 100u);
  EXPECT_EQ(p.iPicWidth, 18);
  EXPECT_EQ(p.iPicHeight, 34);
  EXPECT_EQ(p.sSpatialLayers[0].iVideoWidth, 18);
  EXPECT_EQ(p.sSpatialLayers[0].iVideoHeight, 34);
  EXPECT_TRUE(initialises(p));
}

TEST(OpenH264Parameters, ExtremeRatesAreBroughtIntoWhatOpenH264Accepts) {
  for (auto [fps, bitRate] : {std::pair<int64_t, int64_t>{30, 1},
                              {INT32_MAX, 1},
                              {INT32_MAX, INT32_MAX},
                              {1, vp::kMaxBitRate},
                              {30, 2147483648000}}) {
    SCOPED_TRACE(std::to_string(fps) + " fps, " + std::to_string(bitRate) + " b/s");
    const SEncParamExt p = parameters(asked(fps, bitRate), 64, 64);
    EXPECT_GE(p.iTargetBitrate, static_cast<int>(p.fMaxFrameRate));
    EXPECT_TRUE(initialises(p));
  }
}

TEST(OpenH264Parameters, TheStreamNamesTheColoursOfTheConversion) {
  const SSpatialLayerConfig& layer = parameters(asked(30, 1000000), 640, 360).sSpatialLayers[0];
  EXPECT_TRUE(layer.bVideoSignalTypePresent);
  EXPECT_TRUE(layer.bColorDescriptionPresent);
  EXPECT_EQ(layer.uiColorPrimaries, 1);            // BT.709
  EXPECT_EQ(layer.uiTransferCharacteristics, 13);  // sRGB
  EXPECT_EQ(layer.uiColorMatrix, 6);               // BT.601
  EXPECT_FALSE(layer.bFullRange);                  // studio range
  EXPECT_EQ(layer.uiColorMatrix, vp::I420Image::kColour.matrix);
}

// ---- The encoder, frame by frame.

struct Report {
  void* frame;
  vp::Status status;
  bool sample;
  bool key;
  size_t parameterSets;
};

void collect(void* refCon, void* frame, vp::Status status, uint32_t, const vp::SampleBuffer* s) {
  Report r{frame, status, s != nullptr, false, 0};
  if (s) {
    const vp::SampleAttachmentsArray* a = s->sampleAttachmentsArray();
    r.key = !a || a->empty() || !std::get<bool>(a->front().at(vp::kSampleAttachmentKeyNotSync));
    if (s->formatDescription())
      s->formatDescription()->getH264ParameterSetAtIndex(0, nullptr, nullptr, &r.parameterSets,
                                                         nullptr);
  }
  static_cast<std::vector<Report>*>(refCon)->push_back(r);
}

TEST(OpenH264Encoder, EachFrameComesOutAtOnceAndKeyFramesCarryTheParameterSets) {
  constexpr int kW = 33, kH = 17;
  std::vector<Report> reports;
  std::unique_ptr<vp::VideoEncoder> encoder;
  ASSERT_EQ(vp::openOpenH264Encoder(asked(30, 500000), kW, kH, collect, &reports, &encoder),
            vp::kStatusOk);
  vp::PixelBufferAttributes attributes;
  attributes.pixelFormatType = vp::kPixelFormatBGRA;
  attributes.width = kW;
  attributes.height = kH;
  std::shared_ptr<vp::PixelBufferPool> pool;
  ASSERT_EQ(vp::AlignedPixelBufferPool::create(attributes, &pool), vp::kStatusOk);
  int ids[4];
  for (int i = 0; i < 4; ++i) {
    vp::PixelBufferRef image;
    ASSERT_EQ(pool->createPixelBuffer(&image), vp::kStatusOk);
    image->lockBaseAddress(0);
    std::memset(image->baseAddress(), 40 * i, image->bytesPerRow() * kH);
    image->unlockBaseAddress(0);
    encoder->encode(std::move(image), vp::MediaTime{i, 30}, /*forceKeyFrame=*/i == 2, &ids[i]);
    ASSERT_EQ(reports.size(), static_cast<size_t>(i + 1)) << "frame " << i;
    const Report& r = reports.back();
    EXPECT_EQ(r.frame, &ids[i]);
    EXPECT_EQ(r.status, vp::kStatusOk);
    EXPECT_TRUE(r.sample);
    EXPECT_EQ(r.key, i == 0 || i == 2) << "frame " << i;
    EXPECT_EQ(r.parameterSets, 2u);  // one sequence and one picture parameter set
  }
  encoder->flush();
  encoder->abandon();
  EXPECT_EQ(reports.size(), 4u);
}

TEST(OpenH264Encoder, PicturesBelowSixteenPixelsASideAreRefused) {
  std::vector<Report> reports;
  std::unique_ptr<vp::VideoEncoder> encoder;
  EXPECT_EQ(vp::openOpenH264Encoder(asked(30, 500000), 24, 8, collect, &reports, &encoder),
            vp::kErrParameter);
  EXPECT_EQ(encoder, nullptr);
}

TEST(DefaultEncoder, OpenH264ExceptForTinyPicturesAndTooFewBitsAPixel) {
  EXPECT_TRUE(vp::prefersOpenH264(asked(30, 1000000), 1920, 1080));  // a page at 1 Mb/s
  EXPECT_TRUE(vp::prefersOpenH264(asked(30, 250000), 640, 360));
  EXPECT_TRUE(vp::prefersOpenH264(asked(30, 250000), 768, 576));
  EXPECT_FALSE(vp::prefersOpenH264(asked(30, 250000), 1280, 720));
  EXPECT_FALSE(vp::prefersOpenH264(asked(30, 250000), 1920, 1080));
  EXPECT_FALSE(vp::prefersOpenH264(asked(30, 1000000), 15, 64));
  EXPECT_FALSE(vp::prefersOpenH264(asked(30, 1000000), 64, 15));
  // Without a rate OpenH264 aims at its default, which is plenty.
  vp::EncoderSettings noRate = asked(30, 1000000);
  noRate.bitRate.reset();
  EXPECT_TRUE(vp::prefersOpenH264(noRate, 16384, 16384));
  // Extreme values stay within the arithmetic.
  EXPECT_FALSE(vp::prefersOpenH264(asked(INT32_MAX, 1), 16384, 16384));
  EXPECT_TRUE(vp::prefersOpenH264(asked(1, vp::kMaxBitRate), 16, 16));
}

}  // namespace
