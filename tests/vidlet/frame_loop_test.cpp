// Set-up and the frame loop against a recording stand-in for the video services.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "packets.h"
#include "platform/encoder_settings.h"
#include "state.h"
#include "stdin_redirect.h"
#include "vidlet.h"

namespace vp = vidlet::platform;
using vidlet_test::StdinFrom;

namespace {

class FakeBuffer : public vp::PixelBuffer {
 public:
  FakeBuffer(size_t w, size_t h, size_t stride)
      : w_(w), h_(h), stride_(stride), bytes_(stride * h, 0xee) {}
  vp::Status lockBaseAddress(uint32_t) override {
    ++locks;
    return vp::kStatusOk;
  }
  vp::Status unlockBaseAddress(uint32_t) override {
    ++unlocks;
    return vp::kStatusOk;
  }
  uint8_t* baseAddress() const override {
    return locks > unlocks ? const_cast<uint8_t*>(bytes_.data()) : nullptr;
  }
  size_t bytesPerRow() const override { return stride_; }
  size_t width() const override { return w_; }
  size_t height() const override { return h_; }
  uint32_t pixelFormatType() const override { return vp::kPixelFormatBGRA; }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  int locks = 0, unlocks = 0;

 private:
  size_t w_, h_, stride_;
  std::vector<uint8_t> bytes_;
};

// Hands out buffers with the given stride; the answers to come can be set to fail.
class FakePool : public vp::PixelBufferPool {
 public:
  FakePool(size_t w, size_t h, size_t stride) : w_(w), h_(h), stride_(stride) {}
  vp::Status createPixelBuffer(vp::PixelBufferRef* out) override {
    const int answer = answers.empty() ? 0 : answers.front();
    if (!answers.empty()) answers.pop_front();
    if (answer == 1) return vp::kErrAllocation;  // failure status
    if (answer == 2) return vp::kStatusOk;       // success, but no buffer
    // 3: rows too short for a frame row.
    auto b = std::make_shared<FakeBuffer>(w_, h_, answer == 3 ? w_ * 4 - 4 : stride_);
    *out = b;
    return vp::kStatusOk;
  }
  std::deque<int> answers;

 private:
  size_t w_, h_, stride_;
};

struct Submission {
  std::shared_ptr<FakeBuffer> buffer;
  vp::MediaTime pts;
  bool hasOptions = false;
  bool forceKeyFrame = false;
};

class FakeSession : public vp::CompressionSession {
 public:
  // Takes the properties as every backend's session does.
  vp::Status setProperty(vp::PropertyKey key, const vp::PropertyValue& value) override {
    const vp::Status status = vp::applyProperty(settings, key, value);
    refused += status != vp::kStatusOk;
    return status;
  }
  vp::Status prepareToEncodeFrames() override {
    ++prepared;
    return prepareStatus;
  }
  vp::Status encodeFrame(vp::PixelBufferRef image, vp::MediaTime pts,
                         const vp::FrameOptions* options, void*, uint32_t*) override {
    Submission s{std::static_pointer_cast<FakeBuffer>(image), pts, options != nullptr,
                 options && options->forceKeyFrame};
    submitted.push_back(s);
    return vp::kStatusOk;
  }
  vp::Status completeFrames(vp::MediaTime until) override {
    completedUntil.push_back(until);
    return vp::kStatusOk;
  }
  void invalidate() override { ++invalidated; }

  vp::EncoderSettings settings;
  int refused = 0;
  std::vector<Submission> submitted;
  std::vector<vp::MediaTime> completedUntil;
  int prepared = 0, invalidated = 0;
  vp::Status prepareStatus = vp::kStatusOk;
};

class FakeServices : public vp::VideoServices {
 public:
  vp::Status createCompressionSession(int32_t w, int32_t h, uint32_t codec,
                                      const vp::PixelBufferAttributes& attrs, vp::OutputCallback cb,
                                      void* ref,
                                      std::shared_ptr<vp::CompressionSession>* out) override {
    width = w;
    height = h;
    codecType = codec;
    sourceAttributes = attrs;
    callback = cb;
    refCon = ref;
    if (giveSession) *out = session;
    return status;
  }
  vp::Status createPixelBufferPool(const vp::PixelBufferAttributes& attrs,
                                   std::shared_ptr<vp::PixelBufferPool>* out) override {
    poolAttributes = attrs;
    if (pool) *out = pool;
    return pool ? vp::kStatusOk : vp::kErrAllocation;
  }

  vp::Status status = vp::kStatusOk;
  bool giveSession = true;
  std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
  std::shared_ptr<FakePool> pool;
  int32_t width = 0, height = 0;
  uint32_t codecType = 0;
  vp::PixelBufferAttributes sourceAttributes, poolAttributes;
  vp::OutputCallback callback = nullptr;
  void* refCon = reinterpret_cast<void*>(1);
};

void outputStub(void*, void*, vp::Status, uint32_t, const vp::SampleBuffer*) {}

class SetUpAndLoop : public ::testing::Test {
 protected:
  // Sets the header state as the start-up does.
  void header(int64_t w, int64_t h, int64_t fps, int64_t bitrate) {
    vidlet::services = &services_;
    vidlet::W = w;
    vidlet::H = h;
    vidlet::FPS = fps;
    vidlet::bitrate = bitrate;
    vidlet::frameBytes = w * h * 4;
    vidlet::n = 0;
    vidlet::callback = outputStub;
    vidlet::session.reset();
    vidlet::s.reset();
    vidlet::pool.reset();
  }
  void TearDown() override {
    vidlet::session.reset();
    vidlet::s.reset();
    vidlet::pool.reset();
    vidlet::raw.reset();
    vidlet::services = nullptr;
  }
  // Runs the frame loop over the given input with a pool of the given stride.
  void loop(const std::string& input, size_t stride, std::deque<int> poolAnswers = {}) {
    auto pool = std::make_shared<FakePool>(vidlet::W, vidlet::H, stride);
    pool->answers = std::move(poolAnswers);
    vidlet::pool = pool;
    vidlet::session = services_.session;
    vidlet::raw = std::make_unique<uint8_t[]>(static_cast<size_t>(vidlet::frameBytes));
    std::fill_n(vidlet::raw.get(), vidlet::frameBytes, 0xab);
    StdinFrom in(input);
    ASSERT_TRUE(in.ok());
    vidlet::frameLoop();
  }
  const std::vector<Submission>& submitted() { return services_.session->submitted; }

  FakeServices services_;
};

TEST_F(SetUpAndLoop, TheSessionIsAskedForRealTimeBaselineAndTheHeadersRateAndKeyFrames) {
  header(640, 480, 30, 2500000);
  vidlet::createSession();
  EXPECT_EQ(services_.width, 640);
  EXPECT_EQ(services_.height, 480);
  EXPECT_EQ(services_.codecType, vp::kCodecTypeH264);
  EXPECT_EQ(services_.sourceAttributes.pixelFormatType, vp::kPixelFormatBGRA);
  EXPECT_EQ(services_.callback, outputStub);
  EXPECT_EQ(vidlet::session, services_.session);
  const vp::EncoderSettings& got = services_.session->settings;
  EXPECT_EQ(services_.session->refused, 0);
  EXPECT_TRUE(got.realTime);
  EXPECT_TRUE(got.baseline);
  EXPECT_FALSE(got.allowFrameReordering);
  EXPECT_EQ(got.bitRate, 2500000);
  EXPECT_EQ(vp::frameRate(got), 30);
  // Four seconds between key frames, and bursts bounded at the target's rate.
  EXPECT_EQ(vp::keyFrameInterval(got), 120);
  const auto bound = vp::rateBound(got);
  ASSERT_TRUE(bound);
  EXPECT_EQ(bound->peakBitRate, 2500000);
  EXPECT_EQ(services_.session->prepared, 1);
}

TEST_F(SetUpAndLoop, KeyFramesStayFourSecondsApartAtAnyRateAndABitRateOfZeroIsLeftOut) {
  header(16, 16, 1, 0);
  vidlet::createSession();
  const vp::EncoderSettings& got = services_.session->settings;
  EXPECT_EQ(vp::keyFrameInterval(got), 4);
  EXPECT_FALSE(got.bitRate);
  EXPECT_FALSE(vp::rateBound(got));
  EXPECT_EQ(services_.session->refused, 1);  // the bit rate alone
}

TEST_F(SetUpAndLoop, SessionFailureExitsWithStatusThreeAndItsLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  header(640, 480, 30, 1);
  services_.status = -1;
  EXPECT_EXIT(vidlet::createSession(), ::testing::ExitedWithCode(3),
              "^VTCompressionSessionCreate -1\n$");
  services_.status = vp::kStatusOk;
  services_.giveSession = false;
  EXPECT_EXIT(vidlet::createSession(), ::testing::ExitedWithCode(3),
              "^VTCompressionSessionCreate 0\n$");
  // A session whose encoder cannot start has not been created either.
  services_.giveSession = true;
  services_.session->prepareStatus = vp::kErrAllocation;
  EXPECT_EXIT(vidlet::createSession(), ::testing::ExitedWithCode(3),
              "^VTCompressionSessionCreate -3\n$");
}

TEST_F(SetUpAndLoop, PoolHasTheFrameSizeAndItsFailureExitsWithStatusFour) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  header(17, 9, 30, 1);
  services_.pool = std::make_shared<FakePool>(17, 9, 128);
  vidlet::createPool();
  EXPECT_EQ(vidlet::pool, services_.pool);
  EXPECT_EQ(services_.poolAttributes.pixelFormatType, vp::kPixelFormatBGRA);
  EXPECT_EQ(services_.poolAttributes.width, 17);
  EXPECT_EQ(services_.poolAttributes.height, 9);
  services_.pool.reset();
  EXPECT_EXIT(vidlet::createPool(), ::testing::ExitedWithCode(4), "^$");
}

TEST_F(SetUpAndLoop, CopiesRowByRowIntoAWiderStride) {
  header(4, 2, 30, 1);
  const std::string f1 = vidlet_test::testFrame(4, 2, 1), f2 = vidlet_test::testFrame(4, 2, 2);
  loop(f1 + f2, 64);
  ASSERT_EQ(submitted().size(), 2u);
  const auto& bytes = submitted()[1].buffer->bytes();
  EXPECT_EQ(std::memcmp(bytes.data(), f2.data(), 16), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + 64, f2.data() + 16, 16), 0);
  // Bytes beyond the row are left alone.
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.begin() + 64),
            std::vector<uint8_t>(48, 0xee));
  EXPECT_EQ(submitted()[1].buffer->locks, 1);
  EXPECT_EQ(submitted()[1].buffer->unlocks, 1);
}

TEST_F(SetUpAndLoop, CopiesInOnePieceWhenTheStrideIsTheRow) {
  header(16, 3, 30, 1);
  const std::string f = vidlet_test::testFrame(16, 3, 5);
  loop(f, 64);
  // Read straight into the buffer: the staging buffer is not touched.
  EXPECT_EQ(std::count(vidlet::raw.get(), vidlet::raw.get() + vidlet::frameBytes, 0xab),
            vidlet::frameBytes);
  ASSERT_EQ(submitted().size(), 1u);
  EXPECT_EQ(
      std::string(submitted()[0].buffer->bytes().begin(), submitted()[0].buffer->bytes().end()), f);
}

TEST_F(SetUpAndLoop, StampsFramesNOverFpsAndForcesOnlyTheFirstKeyFrame) {
  header(4, 2, 25, 1);
  std::string input;
  for (int i = 0; i < 4; ++i) input += vidlet_test::testFrame(4, 2, i);
  input += std::string(10, 'x');  // a frame cut short is not submitted
  loop(input, 64);
  ASSERT_EQ(submitted().size(), 4u);
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(submitted()[k].pts.value, static_cast<int64_t>(k + 1));
    EXPECT_EQ(submitted()[k].pts.timescale, 25);
    EXPECT_EQ(submitted()[k].hasOptions, k == 0);
    EXPECT_EQ(submitted()[k].forceKeyFrame, k == 0);
  }
  EXPECT_EQ(vidlet::n, 4);
}

TEST_F(SetUpAndLoop, FramesWithoutABufferAreDroppedAndTheCountStaysContiguous) {
  header(4, 2, 30, 1);
  std::string input;
  for (int i = 0; i < 5; ++i) input += vidlet_test::testFrame(4, 2, i);
  // Frames 0 and 1 get no buffer (failure, then success without a buffer), frame 3 one it cannot
  // be copied into.
  loop(input, 64, {1, 2, 0, 3, 0});
  ASSERT_EQ(submitted().size(), 2u);
  EXPECT_EQ(submitted()[0].pts.value, 1);
  EXPECT_TRUE(submitted()[0].forceKeyFrame);
  EXPECT_EQ(std::memcmp(submitted()[0].buffer->bytes().data(),
                        vidlet_test::testFrame(4, 2, 2).data(), 16),
            0);
  EXPECT_EQ(submitted()[1].pts.value, 2);
  EXPECT_FALSE(submitted()[1].hasOptions);
}

TEST_F(SetUpAndLoop, DrainCompletesEverythingThenInvalidates) {
  header(4, 2, 30, 1);
  vidlet::session = services_.session;
  vidlet::drain();
  ASSERT_EQ(services_.session->completedUntil.size(), 1u);
  EXPECT_FALSE(services_.session->completedUntil[0].isValid());
  EXPECT_EQ(services_.session->invalidated, 1);
}

}  // namespace
