// The recogniser's pipeline on its own thread's side, with a decoder that only counts what it is
// given: every captured sample reaches the decoder in order, in fixed batches, across requests.
#include "transcriber.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace voxlet_test {
namespace {

using voxlet::linux_backend::DecoderSettings;
using voxlet::linux_backend::RequestPtr;
using voxlet::linux_backend::RequestState;
using voxlet::linux_backend::Transcriber;
using voxlet::linux_backend::UtteranceDecoder;
using voxlet::platform::AudioBuffer;
using voxlet::platform::RecognitionError;
using voxlet::platform::RecognitionResult;

constexpr double kRate = 16000;
constexpr int16_t kLoud = 8000;

// What the decoder was given, for the test to look at after the pipeline is gone.
struct Heard {
  std::vector<int16_t> samples;
  std::vector<size_t> batches;
  int utterances = 0;
  std::function<void()> whileEnding;  // runs once, while an utterance ends
};

// Hears speech while samples are loud and for a quarter second after; each utterance with speech
// is the one word "u<number of its first loud sample>".
class CountingDecoder : public UtteranceDecoder {
 public:
  explicit CountingDecoder(Heard& heard) : heard_(heard) {}
  bool process(std::span<const int16_t> samples, std::string*) override {
    heard_.batches.push_back(samples.size());
    for (int16_t s : samples) {
      if (std::abs(s) > kLoud / 2) {
        if (firstLoud_ < 0) firstLoud_ = static_cast<long>(heard_.samples.size());
        quietFor_ = 0;
      } else {
        ++quietFor_;
      }
      heard_.samples.push_back(s);
    }
    return true;
  }
  bool inSpeech() const override { return firstLoud_ >= 0 && quietFor_ < 4000; }
  std::vector<std::string> hypothesis() override { return words(); }
  std::vector<std::string> endUtterance() override {
    if (heard_.whileEnding) std::exchange(heard_.whileEnding, nullptr)();
    auto w = words();
    dropUtterance();
    return w;
  }
  void dropUtterance() override {
    ++heard_.utterances;
    firstLoud_ = -1;
    quietFor_ = 1 << 30;
  }

 private:
  std::vector<std::string> words() const {
    if (firstLoud_ < 0) return {};
    return {"u" + std::to_string(firstLoud_)};
  }
  Heard& heard_;
  long firstLoud_ = -1;
  long quietFor_ = 1 << 30;
};

struct Results {
  std::vector<RecognitionResult> results;
  std::vector<RecognitionError> errors;
  bool closed() const { return !errors.empty() || (!results.empty() && results.back().isFinal); }
};

RequestPtr request(Results& into) {
  auto r = std::make_shared<RequestState>([] { return kRate; });
  r->setHandler([&into](std::optional<RecognitionResult> res, std::optional<RecognitionError> e) {
    if (res) into.results.push_back(*res);
    if (e) into.errors.push_back(*e);
  });
  return r;
}

// Stretches of loud and quiet audio, as float samples.
std::vector<float> speechAndPauses(std::initializer_list<std::pair<bool, double>> parts) {
  std::vector<float> out;
  for (auto [loud, seconds] : parts) {
    const size_t n = static_cast<size_t>(seconds * kRate);
    for (size_t i = 0; i < n; ++i) {
      // Loud stretches alternate in sign so that they stay loud after resampling.
      out.push_back(loud ? (i % 2 ? 1.0f : -1.0f) * kLoud / 32768.0f : 0.001f * (i % 7));
    }
  }
  return out;
}

class Pipeline : public ::testing::Test {
 protected:
  explicit Pipeline(bool suppressNoise = false)
      : transcriber_(settings(suppressNoise), voxlet::linux_backend::formatterForLanguage("en"),
                     std::make_unique<CountingDecoder>(heard_),
                     [](auto, std::function<void()> work) { work(); }) {}
  // Without the noise suppressor the samples reach the decoder as they came, for the tests to
  // follow them.
  static DecoderSettings settings(bool suppressNoise) {
    DecoderSettings s;
    s.maxSeconds = 30;
    s.suppressNoise = suppressNoise;
    return s;
  }
  // Appends samples [from, to) of `audio` in buffers whose sizes cycle through `sizes`.
  void append(const RequestPtr& r, const std::vector<float>& audio, size_t from, size_t to,
              const std::vector<size_t>& sizes) {
    for (size_t i = from, k = 0; i < to; ++k) {
      const size_t n = std::min(sizes[k % sizes.size()], to - i);
      AudioBuffer buffer({std::vector<float>(audio.begin() + i, audio.begin() + i + n)},
                         static_cast<uint32_t>(n));
      transcriber_.audio(r, buffer);
      i += n;
    }
  }

  Heard heard_;
  Transcriber transcriber_;
};

// The decoder closes the first request at the pause, after the caller has appended the second
// sentence to it: that audio, and what the caller appends before the next request opens, reach
// the next request, after everything before them.
TEST_F(Pipeline, EverySampleReachesTheDecoderInOrderAcrossAHandOverInFixedBatches) {
  const auto audio = speechAndPauses({{true, 0.5}, {false, 0.6}, {true, 0.5}, {false, 0.2}});
  Results first, second;
  auto a = request(first);
  a->partials = true;
  append(a, audio, 0, 20000, {2048, 333, 4096});  // through the pause and into the next words
  ASSERT_TRUE(first.closed());
  EXPECT_EQ(first.results.back().formattedString, "U0");
  append(a, audio, 20000, 24000, {1000});  // before the caller learns of the close
  auto b = request(second);
  append(b, audio, 24000, audio.size(), {2048});
  b->audioEnded = true;
  transcriber_.end(b);
  ASSERT_TRUE(second.closed());
  EXPECT_TRUE(first.errors.empty() && second.errors.empty());
  // At 16 kHz the resampler passes the samples through, with a delay it flushes at the end.
  ASSERT_EQ(heard_.samples.size(), audio.size());
  size_t mismatched = 0;
  for (size_t i = 0; i < audio.size(); ++i) {
    mismatched += std::abs(heard_.samples[i] - std::lround(audio[i] * 32768.0f)) > 1;
  }
  EXPECT_EQ(mismatched, 0u);
  for (size_t i = 0; i + 1 < heard_.batches.size(); ++i) EXPECT_EQ(heard_.batches[i], 1600u);
  // The second sentence starts 1.1 s into the audio.
  EXPECT_EQ(second.results.back().formattedString, "U17600");
}

class SuppressedPipeline : public Pipeline {
 protected:
  SuppressedPipeline() : Pipeline(true) {}
};

// The suppressor works in frames of its own: across a hand-over and at the end of the audio it
// still passes every sample on once, in the decoder's fixed batches.
TEST_F(SuppressedPipeline, EverySampleStillReachesTheDecoderOnce) {
  const auto audio = speechAndPauses({{true, 0.5}, {false, 0.6}, {true, 0.5}, {false, 0.2}});
  Results first, second;
  auto a = request(first);
  append(a, audio, 0, 20000, {2048, 333, 4097});
  ASSERT_TRUE(first.closed());
  auto b = request(second);
  append(b, audio, 20000, audio.size() - 77, {999});
  b->audioEnded = true;
  transcriber_.end(b);
  ASSERT_TRUE(second.closed());
  EXPECT_EQ(heard_.samples.size(), audio.size() - 77);
  for (size_t i = 0; i + 1 < heard_.batches.size(); ++i) EXPECT_EQ(heard_.batches[i], 1600u);
}

// The decoder cuts the request at the pause, and the caller ends its audio while the decoder
// finishes that utterance: no request follows to take the rest, so this one goes on with it.
TEST_F(Pipeline, AudioEndedWhileTheUtteranceAtAPauseEndsStaysWithTheRequest) {
  const auto audio = speechAndPauses({{true, 0.5}, {false, 0.6}, {true, 0.5}, {false, 0.2}});
  Results only;
  auto a = request(only);
  heard_.whileEnding = [a] { a->audioEnded = true; };
  append(a, audio, 0, audio.size(), {2048});
  transcriber_.end(a);
  ASSERT_TRUE(only.closed());
  EXPECT_EQ(only.results.back().formattedString, "U0 u17600");
  EXPECT_EQ(heard_.samples.size(), audio.size());
}

}  // namespace
}  // namespace voxlet_test
