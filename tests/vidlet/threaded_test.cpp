// Tests with threads: concurrent packets, partial writes, interrupted reads, and each encoder
// session's thread, queue and callback order.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "input.h"
#include "output.h"
#include "packets.h"
#include "platform/backend_services.h"
#include "platform/compression_session.h"
#include "platform/default_encoder.h"
#include "platform/pixel_buffer_pool.h"
#include "platform/serial_worker.h"
#include "platform/x264_encoder.h"
#include "state.h"
#include "stdin_redirect.h"

namespace vp = vidlet::platform;
using vidlet_test::parsePackets;

namespace {

std::string drainPipe(int fd) {
  std::string all;
  char buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) return all;
    all.append(buf, static_cast<size_t>(r));
  }
}

TEST(Emit, PacketsFromDifferentThreadsStayWhole) {
  // A pipe, so that big payloads go out in several partial writes.
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  vidlet::out = p[1];
  std::string got;
  std::thread reader([&] { got = drainPipe(p[0]); });
  constexpr int kPerThread = 40;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i)
        vidlet::emit(static_cast<uint8_t>(t % 3),
                     std::vector<uint8_t>(static_cast<size_t>(1000 + 37000 * (i % 4)),
                                          static_cast<uint8_t>(t)));
    });
  }
  for (auto& w : writers) w.join();
  ::close(p[1]);
  reader.join();
  ::close(p[0]);
  vidlet::out = -1;

  bool complete = false;
  auto packets = parsePackets(got, &complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(packets.size(), 4u * kPerThread);
  for (const auto& packet : packets) {
    ASSERT_FALSE(packet.payload.empty());
    const char owner = packet.payload[0];
    EXPECT_EQ(packet.type, owner % 3);
    EXPECT_EQ(packet.payload, std::string(packet.payload.size(), owner));
  }
}

std::atomic<int> interruptions{0};
void onSignal(int) {
  interruptions.fetch_add(1);
}

TEST(ReadLine, AReadInterruptedBySignalsIsRetried) {
  struct sigaction sa {};
  sa.sa_handler = onSignal;  // no SA_RESTART: a blocked read fails with EINTR
  sigemptyset(&sa.sa_mask);
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  vidlet_test::StdinFrom in("", /*keepOpen=*/true);
  const pthread_t self = ::pthread_self();
  interruptions = 0;
  std::thread signaller([&] {
    // Keeps interrupting the reader until it has been hit a few times, then lets the line in.
    while (interruptions.load() < 5) {
      ::pthread_kill(self, SIGUSR1);
      std::this_thread::yield();
    }
    const char line[] = "640 480\n";
    EXPECT_EQ(::write(in.writer(), line, sizeof line - 1), static_cast<ssize_t>(sizeof line - 1));
  });
  auto line = vidlet::readLine();
  signaller.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(line, "640 480");
}

// Writes the pieces one at a time, each only once the reader has taken everything before it, so
// that every read sees exactly one piece (or a part of one).
void writeInPieces(int writer, const std::vector<std::string>& pieces) {
  for (const std::string& piece : pieces) {
    ASSERT_EQ(::write(writer, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    int unread = 1;
    while (::ioctl(0, FIONREAD, &unread) == 0 && unread > 0) std::this_thread::yield();
  }
}

TEST(ReadLine, TheHeaderAndTheFramesAfterItSurviveEverySplitOfTheInput) {
  const std::string header = "24 2 30 500000";
  const std::string frame1(24 * 2 * 4, 'a'), frame2(24 * 2 * 4, 'b');
  const std::string all = header + "\n" + frame1 + frame2;
  const size_t feed = header.size();
  std::vector<std::vector<std::string>> splits{{all}};
  // Two pieces, cut anywhere from inside the header to inside the second frame.
  for (size_t cut : {size_t{1}, feed - 1, feed, feed + 1, feed + 2, feed + 1 + frame1.size(),
                     feed + 7 + frame1.size(), all.size() - 1})
    splits.push_back({all.substr(0, cut), all.substr(cut)});
  // One byte at a time through the line feed, then odd pieces.
  std::vector<std::string> trickle;
  size_t at = 0;
  for (; at < feed + 3; ++at) trickle.push_back(all.substr(at, 1));
  for (; at < all.size(); at += 13) trickle.push_back(all.substr(at, 13));
  splits.push_back(trickle);

  for (const auto& pieces : splits) {
    SCOPED_TRACE("first piece of " + std::to_string(pieces[0].size()) + " bytes, " +
                 std::to_string(pieces.size()) + " pieces");
    vidlet_test::StdinFrom in("", /*keepOpen=*/true);
    std::thread writer([&] {
      writeInPieces(in.writer(), pieces);
      in.closeWriter();
    });
    EXPECT_EQ(vidlet::readLine(), header);
    std::string got(frame1.size(), '\0');
    EXPECT_TRUE(vidlet::readFully(reinterpret_cast<uint8_t*>(got.data()), 192));
    EXPECT_EQ(got, frame1);
    EXPECT_TRUE(vidlet::readFully(reinterpret_cast<uint8_t*>(got.data()), 192));
    EXPECT_EQ(got, frame2);
    EXPECT_FALSE(vidlet::readFully(reinterpret_cast<uint8_t*>(got.data()), 1));
    writer.join();
  }
}

TEST(SerialWorker, RunsJobsInOrderOnItsOwnThreadAndTellsWaitingOnesWhenItStops) {
  vp::SerialWorker worker(2);
  EXPECT_EQ(worker.post([](bool) {}), vp::kErrInvalidated);  // not started
  ASSERT_EQ(worker.start(), vp::kStatusOk);
  std::vector<int> ran;  // touched on the worker's thread only, until it has stopped
  std::thread::id where;
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(worker.post([&, i](bool run) {
      if (run) ran.push_back(i);
      where = std::this_thread::get_id();
    }),
              vp::kStatusOk);
  EXPECT_EQ(worker.runAndWait([](bool) {}), vp::kStatusOk);
  std::vector<int> expected(20);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(ran, expected);
  EXPECT_NE(where, std::this_thread::get_id());

  // A job holds the worker while two more wait; stopping tells those two, and only them.
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<bool> holding{false};
  std::atomic<int> told{0}, run{0};
  ASSERT_EQ(worker.post([&](bool) {
    holding = true;
    std::lock_guard<std::mutex> wait(gate);
  }),
            vp::kStatusOk);
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(worker.post([&](bool r) { (r ? run : told).fetch_add(1); }), vp::kStatusOk);
  while (!holding) std::this_thread::yield();
  std::thread stopper([&] { worker.stop(); });
  // With the queue full a post waits, until the worker stops and refuses it.
  EXPECT_EQ(worker.post([](bool) {}), vp::kErrInvalidated);
  closed.unlock();
  stopper.join();
  EXPECT_EQ(run.load(), 0);
  EXPECT_EQ(told.load(), 2);
  EXPECT_EQ(worker.runAndWait([](bool) {}), vp::kErrInvalidated);
}

// Collects what a session hands to its callback.
struct Collected {
  std::mutex mutex;
  std::vector<uintptr_t> refs;
  std::vector<vp::Status> statuses;
  std::vector<bool> keys;
  std::vector<std::vector<int>> nalTypes;
  std::vector<std::string> parameterSets;
  std::thread::id thread;
  int lengthSize = 0;
};

void collect(void* sessionRef, void* frameRef, vp::Status status, uint32_t,
             const vp::SampleBuffer* sample) {
  Collected& c = *static_cast<Collected*>(sessionRef);
  std::lock_guard<std::mutex> lock(c.mutex);
  c.thread = std::this_thread::get_id();
  c.refs.push_back(reinterpret_cast<uintptr_t>(frameRef));
  c.statuses.push_back(status);
  if (!sample) return;
  const auto* attachments = sample->sampleAttachmentsArray();
  bool key = true;
  if (attachments && !attachments->empty()) {
    auto it = attachments->front().find(vp::kSampleAttachmentKeyNotSync);
    if (it != attachments->front().end()) key = !std::get<bool>(it->second);
  }
  c.keys.push_back(key);
  // Walk the length-prefixed units.
  size_t total = 0;
  const uint8_t* data = nullptr;
  std::vector<int> types;
  if (sample->dataBuffer() &&
      sample->dataBuffer()->getDataPointer(0, nullptr, &total, &data) == vp::kStatusOk) {
    size_t off = 0;
    while (off + 4 <= total) {
      const size_t len = (size_t{data[off]} << 24) | (size_t{data[off + 1]} << 16) |
                         (size_t{data[off + 2]} << 8) | data[off + 3];
      if (len == 0 || off + 4 + len > total) {
        types.push_back(-1);  // malformed
        break;
      }
      types.push_back(data[off + 4] & 0x1f);
      off += 4 + len;
    }
    if (off != total) types.push_back(-1);
  }
  c.nalTypes.push_back(types);
  if (c.parameterSets.empty() && sample->formatDescription()) {
    size_t count = 0;
    sample->formatDescription()->getH264ParameterSetAtIndex(0, nullptr, nullptr, &count,
                                                            &c.lengthSize);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* p = nullptr;
      size_t size = 0;
      if (sample->formatDescription()->getH264ParameterSetAtIndex(i, &p, &size, nullptr, nullptr) ==
          vp::kStatusOk)
        c.parameterSets.emplace_back(reinterpret_cast<const char*>(p), size);
    }
  }
}

// Each backend's session: x264, and the default (OpenH264 at these sizes).
class EncoderSession : public ::testing::TestWithParam<vp::OpenVideoEncoder> {
 protected:
  std::shared_ptr<vp::CompressionSession> make(int32_t w, int32_t h, int64_t fps) {
    std::shared_ptr<vp::CompressionSession> session;
    vp::PixelBufferAttributes enc;
    enc.pixelFormatType = vp::kPixelFormatBGRA;
    EXPECT_EQ(
        services_.createCompressionSession(w, h, vp::kCodecTypeH264, enc, collect, &c_, &session),
        vp::kStatusOk);
    if (!session) return nullptr;
    using K = vp::PropertyKey;
    session->setProperty(K::RealTime, true);
    session->setProperty(K::ProfileLevel, vp::kProfileLevelH264BaselineAutoLevel);
    session->setProperty(K::AllowFrameReordering, false);
    session->setProperty(K::AverageBitRate, int64_t{500000});
    session->setProperty(K::ExpectedFrameRate, fps);
    session->setProperty(K::MaxKeyFrameInterval, fps * 4);
    session->setProperty(K::MaxKeyFrameIntervalDuration, int64_t{4});
    EXPECT_EQ(session->prepareToEncodeFrames(), vp::kStatusOk);
    vp::PixelBufferAttributes attrs = enc;
    attrs.width = w;
    attrs.height = h;
    EXPECT_EQ(vp::AlignedPixelBufferPool::create(attrs, &pool_), vp::kStatusOk);
    return session;
  }
  // Submits frames 1..count with a test picture; frame k carries reference value k.
  void submit(vp::CompressionSession& session, int w, int h, int64_t fps, int count,
              bool forceFirst = true) {
    for (int k = 1; k <= count; ++k) {
      vp::PixelBufferRef buffer;
      ASSERT_EQ(pool_->createPixelBuffer(&buffer), vp::kStatusOk);
      buffer->lockBaseAddress(0);
      const std::string f = vidlet_test::testFrame(w, h, k);
      for (int y = 0; y < h; ++y)
        std::memcpy(buffer->baseAddress() + y * buffer->bytesPerRow(), f.data() + y * w * 4,
                    static_cast<size_t>(w) * 4);
      buffer->unlockBaseAddress(0);
      seen_.insert(buffer.get());
      const vp::FrameOptions force{.forceKeyFrame = true};
      ASSERT_EQ(session.encodeFrame(std::move(buffer), {k, static_cast<int32_t>(fps)},
                                    k == 1 && forceFirst ? &force : nullptr,
                                    reinterpret_cast<void*>(static_cast<uintptr_t>(k)), nullptr),
                vp::kStatusOk);
    }
  }

  vp::BackendVideoServices services_{GetParam()};
  std::set<vp::PixelBuffer*> seen_;  // every buffer a frame went out in
  std::shared_ptr<vp::PixelBufferPool> pool_;
  Collected c_;
};

TEST_P(EncoderSession, EveryFrameComesBackInOrderOnTheSessionThreadBeforeCompleteReturns) {
  auto session = make(64, 48, 30);
  ASSERT_TRUE(session);
  submit(*session, 64, 48, 30, 40);
  EXPECT_EQ(session->completeFrames(vp::kInvalidTime), vp::kStatusOk);
  std::lock_guard<std::mutex> lock(c_.mutex);
  ASSERT_EQ(c_.refs.size(), 40u);
  for (size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(c_.refs[i], i + 1);
    EXPECT_EQ(c_.statuses[i], vp::kStatusOk);
    for (int t : c_.nalTypes[i]) EXPECT_TRUE(t == 1 || t == 5 || t == 6) << "frame " << i;
  }
  EXPECT_NE(c_.thread, std::this_thread::get_id());
  EXPECT_TRUE(c_.keys[0]);
  EXPECT_NE(std::find(c_.nalTypes[0].begin(), c_.nalTypes[0].end(), 5), c_.nalTypes[0].end());
  // The parameter sets: a sequence and a picture parameter set, no SEI; 4-byte lengths.
  ASSERT_EQ(c_.parameterSets.size(), 2u);
  EXPECT_EQ(c_.parameterSets[0][0] & 0x1f, 7);
  EXPECT_EQ(c_.parameterSets[1][0] & 0x1f, 8);
  EXPECT_EQ(static_cast<uint8_t>(c_.parameterSets[0][1]), 66);  // profile_idc: Baseline
  EXPECT_EQ(c_.lengthSize, 4);
  session->invalidate();
}

TEST_P(EncoderSession, RefusedPropertiesChangeNothingAndTheEncoderStillRuns) {
  std::shared_ptr<vp::CompressionSession> session;
  for (auto [w, h] : {std::pair{0, 16}, {16385, 16}, {16, 16385}})
    EXPECT_NE(
        services_.createCompressionSession(w, h, vp::kCodecTypeH264, {}, collect, &c_, &session),
        vp::kStatusOk);
  ASSERT_EQ(
      services_.createCompressionSession(16, 16, vp::kCodecTypeH264, {}, collect, &c_, &session),
      vp::kStatusOk);
  using K = vp::PropertyKey;
  EXPECT_NE(session->setProperty(K::AverageBitRate, int64_t{0}), vp::kStatusOk);
  EXPECT_NE(session->setProperty(K::AverageBitRate, int64_t{-5}), vp::kStatusOk);
  EXPECT_NE(session->setProperty(K::ExpectedFrameRate, true), vp::kStatusOk);
  // With the bit rate refused the encoder keeps its own rate control.
  EXPECT_EQ(session->prepareToEncodeFrames(), vp::kStatusOk);
  vp::PixelBufferAttributes attrs;
  attrs.pixelFormatType = vp::kPixelFormatBGRA;
  attrs.width = attrs.height = 16;
  ASSERT_EQ(vp::AlignedPixelBufferPool::create(attrs, &pool_), vp::kStatusOk);
  submit(*session, 16, 16, 25, 3);
  session->completeFrames(vp::kInvalidTime);
  std::lock_guard<std::mutex> lock(c_.mutex);
  EXPECT_EQ(c_.statuses, std::vector<vp::Status>(3, vp::kStatusOk));
}

TEST_P(EncoderSession, BuffersGoBackToThePoolOnceConverted) {
  auto session = make(16, 16, 30);
  ASSERT_TRUE(session);
  submit(*session, 16, 16, 30, 50);
  session->completeFrames(vp::kInvalidTime);
  // Fifty frames went through a queue of two in a handful of buffers: each went back to the
  // pool once converted, not at the end, and all of them are back now.
  EXPECT_LE(seen_.size(), vp::kFrameQueueDepth + 2);
  vp::PixelBufferRef again;
  ASSERT_EQ(pool_->createPixelBuffer(&again), vp::kStatusOk);
  EXPECT_TRUE(seen_.count(again.get()));
}

TEST_P(EncoderSession, InvalidateEndsTheSessionAndLaterFramesAreRefused) {
  auto session = make(16, 16, 30);
  ASSERT_TRUE(session);
  submit(*session, 16, 16, 30, 5);
  session->invalidate();
  {
    std::lock_guard<std::mutex> lock(c_.mutex);
    EXPECT_EQ(c_.refs.size(), 5u);  // each one finished or reported dropped
  }
  vp::PixelBufferRef b;
  ASSERT_EQ(pool_->createPixelBuffer(&b), vp::kStatusOk);
  EXPECT_NE(session->encodeFrame(b, {6, 30}, nullptr, nullptr, nullptr), vp::kStatusOk);
  EXPECT_NE(session->completeFrames(vp::kInvalidTime), vp::kStatusOk);
  session->invalidate();  // twice is harmless
}

INSTANTIATE_TEST_SUITE_P(Backends, EncoderSession,
                         ::testing::Values(vp::openX264Encoder, vp::openDefaultEncoder),
                         [](const auto& info) {
                           return info.param == vp::openX264Encoder ? "X264" : "Default";
                         });

}  // namespace
