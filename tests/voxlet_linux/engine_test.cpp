// The capture engine and the microphone answers against a private sound server, in this process.
#include <gtest/gtest.h>
#include <pulse/error.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
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
using voxlet::platform::MicrophoneAuthorization;

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
  // Waits for a buffer, after the first `from`, for which pred is true; returns it or null.
  AudioBufferPtr waitFor(size_t from, const std::function<bool(const AudioBufferPtr&)>& pred,
                         std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(m);
    AudioBufferPtr found;
    cv.wait_for(lock, timeout, [&] {
      for (size_t i = from; i < buffers.size() && !found; ++i) {
        if (pred(buffers[i])) found = buffers[i];
      }
      return found != nullptr;
    });
    return found;
  }
  size_t count() {
    std::lock_guard lock(m);
    return buffers.size();
  }
};

float rms(const float* x, uint32_t n) {
  double s = 0;
  for (uint32_t i = 0; i < n; ++i) s += static_cast<double>(x[i]) * x[i];
  return static_cast<float>(std::sqrt(s / n));
}

// Sign changes in a channel: a 750 Hz tone read at 48 kHz has 64 in 2048 frames; the same tone
// read at another rate than it was recorded at has a different count.
int signChanges(const float* x, uint32_t n) {
  int changes = 0;
  for (uint32_t i = 1; i < n; ++i) changes += (x[i - 1] < 0) != (x[i] < 0);
  return changes;
}

// A buffer wholly inside the -20 dBFS 750 Hz tone, as the tap delivers it at 48 kHz mono.
bool isToneAt48k(const AudioBufferPtr& b) {
  if (b->channelCount() != 1 || b->frameLength() != 2048 || !b->floatChannelData()) return false;
  const float* x = b->floatChannelData()[0];
  return std::fabs(rms(x, 2048) - 0.1f) < 0.005f && std::abs(signChanges(x, 2048) - 64) <= 2;
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
  EXPECT_EQ(platform.microphoneAuthorizationStatus(), MicrophoneAuthorization::Authorized);
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

// Capture that must outlive changes on the server: a tap at 48 kHz mono on the virtual
// microphone, and a 750 Hz tone to play into whichever sink feeds the default source.
class Following : public Engine {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(sox({"-n", "-r", "48000", "-c", "1", "-e", "floating-point", "-b", "32", tone(),
                     "synth", "0.6", "sine", "750", "vol", "0.14142136"}));
    engine_ = platform_.makeAudioEngine();
    auto& node = engine_->inputNode();
    const AudioFormat format = node.outputFormatForBus(0);
    ASSERT_EQ(format.sampleRate, 48000.0);
    ASSERT_EQ(format.channelCount, 1u);
    node.installTapOnBus(0, 2048, format, tap_.block());
    std::string error;
    ASSERT_TRUE(engine_->startAndReturnError(&error)) << error;
    ASSERT_TRUE(tap_.waitCount(2));
  }
  void TearDown() override {
    if (!engine_) return;
    engine_->inputNode().removeTapOnBus(0);
    engine_->stop();
  }
  std::string tone() const { return files_.path() + "/tone.wav"; }

  // Plays the tone into sink until a tap buffer after the first `from` holds it at the tap's
  // format.
  bool toneHeard(size_t from, const std::string& sink) {
    if (!daemon_->play(tone(), sink)) return false;
    return tap_.waitFor(from, isToneAt48k, 5s) != nullptr;
  }

  TempDir files_;
  Tap tap_;  // outlives the engine
  LinuxPlatform platform_;
  std::unique_ptr<voxlet::platform::AudioEngine> engine_;
};

TEST_F(Following, ServerKilledAndStartedAgainResumesCapture) {
  ASSERT_TRUE(daemon_->kill());
  ASSERT_TRUE(daemon_->restart()) << daemon_->problem();
  ASSERT_TRUE(daemon_->waitForRecording("vmic.monitor", 10s));
  EXPECT_TRUE(toneHeard(tap_.count(), "vmic"));
}

// Two outages in a row: in each the engine tries again after 100 ms, then waits twice as long
// after each failed try (200, 400, 800 ms between tries), and capture resumes when the server is
// back. Timers never fire early, so the lower bounds hold on a loaded machine (less 50 to 100 ms
// for this thread's own wake-ups; waits growing by 100 ms a try would give 200, 300, 400 ms). The
// second outage's first wait shows that the first one's failures were forgotten.
TEST_F(Following, EachOfTwoOutagesBacksOffFromTheStart) {
  using std::chrono::steady_clock;
  for (int outage = 0; outage < 2; ++outage) {
    SCOPED_TRACE(outage);
    std::vector<steady_clock::time_point> tries;
    {
      ASSERT_TRUE(daemon_->kill());
      RefusingServer gone(daemon_->socketPath());
      ASSERT_TRUE(gone.listening());
      tries = gone.waitForTries(4, 10s);
    }
    ASSERT_EQ(tries.size(), 4u);
    const auto ms = [&](size_t i) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(tries[i + 1] - tries[i]);
    };
    EXPECT_GE(ms(0), 150ms);
    EXPECT_LT(ms(0), 1000ms) << "the wait of a back-off that went on from the last outage";
    EXPECT_GE(ms(1), 300ms);
    EXPECT_GE(ms(2), 700ms);
    ASSERT_TRUE(daemon_->restart()) << daemon_->problem();
    ASSERT_TRUE(daemon_->waitForRecording("vmic.monitor", 10s));
    EXPECT_TRUE(toneHeard(tap_.count(), "vmic"));
  }
}

TEST_F(Following, NewDefaultSourceInAnotherFormatReachesTheTapInItsFormat) {
  ASSERT_TRUE(daemon_->pactl({"load-module", "module-null-sink", "sink_name=other", "format=s16le",
                              "rate=44100", "channels=2"}));
  ASSERT_TRUE(daemon_->pactl({"set-default-source", "other.monitor"}));
  ASSERT_TRUE(daemon_->waitForRecording("other.monitor", 10s));
  EXPECT_TRUE(toneHeard(tap_.count(), "other"));
}

// The server moves streams off the old default source when the default changes; a stream that
// records from another source is left where it is, and the engine moves it itself.
TEST_F(Following, TheEngineReroutesAStreamTheServerLeavesOnAnotherSource) {
  for (const char* sink : {"sink_name=other", "sink_name=third"}) {
    ASSERT_TRUE(daemon_->pactl(
        {"load-module", "module-null-sink", sink, "format=float32le", "rate=48000", "channels=1"}));
  }
  // As a user would in the desktop's sound settings: the stream goes to "other", the default
  // stays "vmic".
  const auto outputs = daemon_->pactl({"list", "short", "source-outputs"});
  ASSERT_TRUE(outputs);
  const std::string index = outputs->substr(0, outputs->find('\t'));
  ASSERT_EQ(outputs->find('\n'), outputs->size() - 1) << "one stream records: " << *outputs;
  ASSERT_TRUE(daemon_->pactl({"move-source-output", index, "other.monitor"}));
  ASSERT_TRUE(daemon_->waitForRecording("other.monitor", 10s));
  EXPECT_TRUE(toneHeard(tap_.count(), "other"));

  ASSERT_TRUE(daemon_->pactl({"set-default-source", "third.monitor"}));
  ASSERT_TRUE(daemon_->waitForRecording("third.monitor", 10s));
  EXPECT_TRUE(toneHeard(tap_.count(), "third"));
}

TEST_F(Following, SourceUnloadedThenAnotherLoadedResumesCapture) {
  ASSERT_TRUE(daemon_->pactl({"unload-module", "module-null-sink"}));
  ASSERT_TRUE(daemon_->pactl({"load-module", "module-null-sink", "sink_name=vmic2",
                              "format=float32le", "rate=32000", "channels=2"}));
  ASSERT_TRUE(daemon_->waitForRecording("vmic2.monitor", 10s));
  EXPECT_TRUE(toneHeard(tap_.count(), "vmic2"));
}

TEST_F(Following, StopAndReleaseReturnWhileTheServerIsGone) {
  ASSERT_TRUE(daemon_->kill());
  engine_->inputNode().removeTapOnBus(0);
  engine_->stop();
  engine_.reset();
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
  EXPECT_EQ(platform.microphoneAuthorizationStatus(), MicrophoneAuthorization::Authorized);
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

// A server that accepts connections but never answers (stopped): every step that needs it fails
// with the time-out, and all of them together within 3 s.
TEST_F(Engine, HungServerIsGivenUpOnWithinThreeSeconds) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(daemon_->hang());
  const auto began = std::chrono::steady_clock::now();
  LinuxPlatform platform;
  EXPECT_EQ(platform.microphoneAuthorizationStatus(), MicrophoneAuthorization::Authorized);
  auto engine = platform.makeAudioEngine();
  const AudioFormat format = engine->inputNode().outputFormatForBus(0);
  engine->inputNode().installTapOnBus(0, 2048, format, [](AudioBufferPtr) {});
  engine->prepare();
  std::string error;
  EXPECT_FALSE(engine->startAndReturnError(&error));
  EXPECT_EQ(error, "Timeout");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
  engine->inputNode().removeTapOnBus(0);
  engine->stop();
  EXPECT_TRUE(daemon_->resume());
}

TEST(MicrophoneStatus, RefusalForLackOfPermissionIsDenied) {
  EXPECT_EQ(voxlet::linux_backend::microphoneStatusFor(PA_ERR_ACCESS),
            MicrophoneAuthorization::Denied);
  EXPECT_EQ(voxlet::linux_backend::microphoneStatusFor(PA_ERR_CONNECTIONREFUSED),
            MicrophoneAuthorization::Authorized);
  EXPECT_EQ(voxlet::linux_backend::microphoneStatusFor(0), MicrophoneAuthorization::Authorized);
}

}  // namespace
}  // namespace voxlet_test
