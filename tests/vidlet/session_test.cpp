// The asynchronous session over a stand-in encoder: what it hands the encoder, on which thread,
// and what becomes of frames when it is completed or invalidated.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/compression_session.h"

namespace vp = vidlet::platform;

namespace {

class Buffer : public vp::PixelBuffer {
 public:
  vp::Status lockBaseAddress(uint32_t) override { return vp::kStatusOk; }
  vp::Status unlockBaseAddress(uint32_t) override { return vp::kStatusOk; }
  uint8_t* baseAddress() const override { return nullptr; }
  size_t bytesPerRow() const override { return 64; }
  size_t width() const override { return 16; }
  size_t height() const override { return 16; }
  uint32_t pixelFormatType() const override { return vp::kPixelFormatBGRA; }
};

// What the stand-in encoder saw and reported; one per test.
struct Log {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<std::pair<uintptr_t, vp::Status>> reports;
  vp::EncoderSettings settings;
  std::thread::id thread;
  vp::Status openStatus = vp::kStatusOk;
  std::mutex* gate = nullptr;  // held by the test to keep the encoder busy
};
Log* log_ = nullptr;

class Encoder : public vp::VideoEncoder {
 public:
  Encoder(vp::OutputCallback callback, void* refCon) : callback_(callback), refCon_(refCon) {}
  void encode(vp::PixelBufferRef, vp::MediaTime pts, bool key, void* ref) override {
    if (log_->gate) std::lock_guard<std::mutex> wait(*log_->gate);
    note("encode " + std::to_string(pts.value) + (key ? " key" : ""));
    callback_(refCon_, ref, vp::kStatusOk, 0, nullptr);
  }
  void flush() override { note("flush"); }
  void abandon() override { note("abandon"); }

 private:
  void note(const std::string& call) {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->calls.push_back(call);
    log_->thread = std::this_thread::get_id();
  }
  vp::OutputCallback callback_;
  void* refCon_;
};

vp::Status open(const vp::EncoderSettings& settings, int32_t, int32_t, vp::OutputCallback callback,
                void* refCon, std::unique_ptr<vp::VideoEncoder>* out) {
  log_->settings = settings;
  if (log_->openStatus != vp::kStatusOk) return log_->openStatus;
  *out = std::make_unique<Encoder>(callback, refCon);
  return vp::kStatusOk;
}

void report(void* refCon, void* frame, vp::Status status, uint32_t, const vp::SampleBuffer*) {
  Log& log = *static_cast<Log*>(refCon);
  std::lock_guard<std::mutex> lock(log.mutex);
  log.reports.emplace_back(reinterpret_cast<uintptr_t>(frame), status);
}

class AsyncSession : public ::testing::Test {
 protected:
  void SetUp() override { log_ = &log; }
  void TearDown() override { log_ = nullptr; }
  vp::Status submit(vp::CompressionSession& s, int64_t k, bool key = false) {
    const vp::FrameOptions force{.forceKeyFrame = true};
    return s.encodeFrame(std::make_shared<Buffer>(), {k, 30}, key ? &force : nullptr,
                         reinterpret_cast<void*>(static_cast<uintptr_t>(k)), nullptr);
  }
  Log log;
};

TEST_F(AsyncSession, FramesReachTheEncoderInOrderOnTheWorkerAndCompleteFlushesAfterThem) {
  vp::AsyncCompressionSession session(open, 16, 16, report, &log);
  EXPECT_EQ(session.setProperty(vp::PropertyKey::ExpectedFrameRate, int64_t{30}), vp::kStatusOk);
  ASSERT_EQ(submit(session, 1, true), vp::kStatusOk);  // opens the encoder
  // Its parameters are fixed from then on.
  EXPECT_NE(session.setProperty(vp::PropertyKey::ExpectedFrameRate, int64_t{60}), vp::kStatusOk);
  for (int64_t k = 2; k <= 4; ++k) ASSERT_EQ(submit(session, k), vp::kStatusOk);
  ASSERT_EQ(session.completeFrames(vp::kInvalidTime), vp::kStatusOk);
  std::lock_guard<std::mutex> lock(log.mutex);
  EXPECT_EQ(log.settings.frameRate, 30);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"encode 1 key", "encode 2", "encode 3", "encode 4",
                                                 "flush"}));
  EXPECT_NE(log.thread, std::this_thread::get_id());
  ASSERT_EQ(log.reports.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log.reports[i].first, i + 1);
}

TEST_F(AsyncSession, InvalidateReportsWaitingFramesDroppedOnceAndRefusesLaterWork) {
  std::mutex gate;
  log.gate = &gate;
  std::unique_lock<std::mutex> busy(gate);
  vp::AsyncCompressionSession session(open, 16, 16, report, &log);
  ASSERT_EQ(session.prepareToEncodeFrames(), vp::kStatusOk);
  // One frame in the encoder, held there, and the queue full behind it.
  for (int64_t k = 1; k <= 1 + static_cast<int64_t>(vp::kFrameQueueDepth); ++k)
    ASSERT_EQ(submit(session, k), vp::kStatusOk);
  std::thread invalidator([&] { session.invalidate(); });
  // Until the worker stops, a further frame waits; then it is refused.
  EXPECT_EQ(submit(session, 9), vp::kErrInvalidated);
  busy.unlock();
  invalidator.join();
  std::lock_guard<std::mutex> lock(log.mutex);
  ASSERT_EQ(log.reports.size(), 1 + vp::kFrameQueueDepth);
  EXPECT_EQ(log.reports[0], (std::pair<uintptr_t, vp::Status>{1, vp::kStatusOk}));
  for (size_t i = 1; i < log.reports.size(); ++i)
    EXPECT_EQ(log.reports[i], (std::pair<uintptr_t, vp::Status>{i + 1, vp::kErrInvalidated}));
  EXPECT_EQ(log.calls.back(), "abandon");
  EXPECT_EQ(session.completeFrames(vp::kInvalidTime), vp::kErrInvalidated);
}

TEST_F(AsyncSession, AnEncoderThatCannotOpenFailsPrepareAndEveryFrame) {
  log.openStatus = vp::kErrAllocation;
  vp::AsyncCompressionSession session(open, 16, 16, report, &log);
  EXPECT_EQ(session.prepareToEncodeFrames(), vp::kErrAllocation);
  EXPECT_EQ(submit(session, 1), vp::kErrAllocation);
  EXPECT_EQ(session.completeFrames(vp::kInvalidTime), vp::kStatusOk);
  EXPECT_TRUE(log.reports.empty());
}

}  // namespace
