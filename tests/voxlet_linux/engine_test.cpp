// The capture engine and the microphone answers against a private sound server, in this process.
#include <gtest/gtest.h>
#include <pulse/error.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "linux_platform.h"
#include "pulse_daemon.h"
#include "pulse_engine.h"

namespace voxlet_test {
namespace {

using namespace std::chrono_literals;
using voxlet::linux_backend::LinuxPlatform;
using voxlet::platform::AudioBufferPtr;
using voxlet::platform::AudioFormat;

// Buffers a tap receives.
struct Tap {
  std::mutex m;
  std::condition_variable cv;
  std::vector<AudioBufferPtr> buffers;
  std::atomic<int> calls{0};
  std::thread::id thread;

  voxlet::platform::TapBlock block() {
    return [this](AudioBufferPtr b) {
      std::lock_guard lock(m);
      buffers.push_back(std::move(b));
      thread = std::this_thread::get_id();
      ++calls;
      cv.notify_all();
    };
  }
  bool waitCount(size_t n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, timeout, [&] { return buffers.size() >= n; });
  }
};

float rms(const float* x, uint32_t n) {
  double s = 0;
  for (uint32_t i = 0; i < n; ++i) s += static_cast<double>(x[i]) * x[i];
  return static_cast<float>(std::sqrt(s / n));
}

class Engine : public ::testing::Test {
 protected:
  void start(SinkOptions sink = {}) {
    daemon_ = std::make_unique<PulseDaemon>(sink);
    ASSERT_TRUE(daemon_->ready()) << daemon_->problem();
    daemon_->exportToThisProcess();
  }
  std::unique_ptr<PulseDaemon> daemon_;
};

TEST_F(Engine, FormatIsTheDefaultSourcesAndBuffersAreDeinterleavedFloat) {
  ASSERT_NO_FATAL_FAILURE(start({44100, 2}));
  TempDir files;
  const std::string tone = files.path() + "/left.wav";
  // Left: -20 dBFS tone; right: silence.
  ASSERT_TRUE(sox({"-n", "-r", "44100", "-c", "2", "-e", "floating-point", "-b", "32", tone,
                   "synth", "1.5", "sine", "700", "remix", "1", "0", "vol", "0.14142136"}));
  LinuxPlatform platform;
  EXPECT_EQ(platform.microphoneAuthorizationStatus(), 3);
  auto engine = platform.makeAudioEngine();
  auto& node = engine->inputNode();
  const AudioFormat format = node.outputFormatForBus(0);
  EXPECT_EQ(format.sampleRate, 44100.0);
  EXPECT_EQ(format.channelCount, 2u);
  Tap tap;
  node.installTapOnBus(0, 2048, format, tap.block());
  engine->prepare();
  std::string error;
  ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
  ASSERT_TRUE(daemon_->play(tone));
  ASSERT_TRUE(tap.waitCount(20));
  node.removeTapOnBus(0);
  engine->stop();
  std::lock_guard lock(tap.m);
  EXPECT_NE(tap.thread, std::this_thread::get_id());
  int loud = 0;
  for (const auto& b : tap.buffers) {
    ASSERT_EQ(b->frameLength(), 2048u);
    ASSERT_EQ(b->channelCount(), 2u);
    ASSERT_NE(b->floatChannelData(), nullptr);
    const float left = rms(b->floatChannelData()[0], 2048);
    const float right = rms(b->floatChannelData()[1], 2048);
    EXPECT_EQ(right, 0.0f);
    if (std::fabs(left - 0.1f) < 0.002f) ++loud;
  }
  EXPECT_GE(loud, 20) << "1.5 s of tone is about 32 buffers of 2048 frames";
}

TEST_F(Engine, NoTapCallbackStartsAfterRemoval) {
  ASSERT_NO_FATAL_FAILURE(start());
  LinuxPlatform platform;
  auto engine = platform.makeAudioEngine();
  auto& node = engine->inputNode();
  const AudioFormat format = node.outputFormatForBus(0);
  EXPECT_EQ(format.sampleRate, 48000.0);
  EXPECT_EQ(format.channelCount, 1u);
  Tap tap;
  node.installTapOnBus(0, 2048, format, tap.block());
  std::string error;
  ASSERT_TRUE(engine->startAndReturnError(&error)) << error;
  ASSERT_TRUE(tap.waitCount(3));
  node.removeTapOnBus(0);
  const int after = tap.calls;
  std::this_thread::sleep_for(300ms);  // the stream still runs: about 7 buffers' worth
  EXPECT_EQ(tap.calls, after);
  engine->stop();
  engine.reset();
}

TEST_F(Engine, NoDefaultSourceGivesAnEmptyFormat) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(daemon_->pactl({"unload-module", "module-null-sink"}));
  LinuxPlatform platform;
  auto engine = platform.makeAudioEngine();
  const AudioFormat format = engine->inputNode().outputFormatForBus(0);
  EXPECT_EQ(format.sampleRate, 0.0);
  EXPECT_EQ(format.channelCount, 0u);
}

TEST_F(Engine, MicrophoneAccessIsAnsweredOnAnotherThread) {
  ASSERT_NO_FATAL_FAILURE(start());
  LinuxPlatform platform;
  std::promise<std::pair<bool, std::thread::id>> answer;
  platform.requestMicrophoneAccess([&](bool granted) {
    answer.set_value({granted, std::this_thread::get_id()});
  });
  auto f = answer.get_future();
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  auto [granted, thread] = f.get();
  EXPECT_TRUE(granted);
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(EngineWithoutServer, StartReportsTheServersError) {
  TempDir dir;
  ::setenv("PULSE_SERVER", ("unix:" + dir.path() + "/none").c_str(), 1);
  ::setenv("PULSE_RUNTIME_PATH", dir.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  ::setenv("HOME", dir.path().c_str(), 1);
  LinuxPlatform platform;
  EXPECT_EQ(platform.microphoneAuthorizationStatus(), 3);
  auto engine = platform.makeAudioEngine();
  const AudioFormat format = engine->inputNode().outputFormatForBus(0);
  EXPECT_GT(format.sampleRate, 0.0) << "the stream, not the format, reports a missing server";
  EXPECT_GT(format.channelCount, 0u);
  engine->inputNode().installTapOnBus(0, 2048, format, [](AudioBufferPtr) {});
  engine->prepare();
  std::string error;
  EXPECT_FALSE(engine->startAndReturnError(&error));
  EXPECT_EQ(error, "Connection refused");
  engine->inputNode().removeTapOnBus(0);
  engine->stop();
}

TEST(MicrophoneStatus, RefusalForLackOfPermissionIsDenied) {
  EXPECT_EQ(voxlet::linux_backend::microphoneStatusFor(PA_ERR_ACCESS), 2);
  EXPECT_EQ(voxlet::linux_backend::microphoneStatusFor(PA_ERR_CONNECTIONREFUSED), 3);
  EXPECT_EQ(voxlet::linux_backend::microphoneStatusFor(0), 3);
}

}  // namespace
}  // namespace voxlet_test
