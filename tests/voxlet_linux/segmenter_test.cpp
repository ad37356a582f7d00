// The recogniser's pure policies: where the audio is cut and carried (the segmenter), and how
// errors in a row are spaced (the pacer).
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "error_pacer.h"
#include "segmenter.h"

namespace voxlet_test {
namespace {

using namespace std::chrono_literals;
using voxlet::linux_backend::ErrorPacer;
using voxlet::linux_backend::Segmenter;
using Cut = Segmenter::Cut;
using Route = Segmenter::Route;

constexpr size_t kBatch = 100;

// Two requests, told apart by address.
const int kFirst = 1, kSecond = 2, kThird = 3;

std::vector<int16_t> ramp(int16_t from, size_t n) {
  std::vector<int16_t> v(n);
  std::iota(v.begin(), v.end(), from);
  return v;
}

// Decodes every whole batch (or, with `rest`, everything) for the current request, collecting
// the samples in `decoded`; the decoder hears speech while `speech` says so for a sample.
template <typename Speech>
Cut decodeAll(Segmenter& s, std::vector<int16_t>& decoded, Speech speech, bool rest = false,
              bool ended = false) {
  for (;;) {
    auto batch = s.next(rest);
    if (batch.empty()) return Cut::None;
    decoded.insert(decoded.end(), batch.begin(), batch.end());
    const Cut cut = s.decoded(batch.size(), speech(batch.back()), ended);
    if (cut != Cut::None) return cut;
  }
}

TEST(Segmenter, EverySampleReachesTheDecoderOnceInOrderAcrossAHandOver) {
  Segmenter s(kBatch, 100000);
  std::vector<int16_t> captured, decoded;
  auto speech = [](int16_t v) { return v < 300; };  // speech, then a pause from sample 300 on
  ASSERT_EQ(s.route(&kFirst), Route::New);
  s.begin(&kFirst);
  // Buffers of odd sizes: the decoder still takes whole batches.
  int16_t next = 0;
  auto capture = [&](size_t n) {
    auto v = ramp(next, n);
    next = static_cast<int16_t>(next + n);
    captured.insert(captured.end(), v.begin(), v.end());
    s.append(v);
  };
  capture(130);
  EXPECT_EQ(decodeAll(s, decoded, speech), Cut::None);
  EXPECT_EQ(decoded.size(), 100u) << "whole batches only";
  capture(270);
  capture(170);  // appended before the decoder reached the pause
  EXPECT_EQ(decodeAll(s, decoded, speech), Cut::Request) << "closed at the pause";
  EXPECT_EQ(s.route(&kFirst), Route::Carry);
  EXPECT_TRUE(s.next(true).empty()) << "no request to decode for";
  capture(90);  // the caller still appends to the closed request
  ASSERT_EQ(s.route(&kSecond), Route::New);
  s.begin(&kSecond);
  capture(55);
  EXPECT_EQ(decodeAll(s, decoded, speech), Cut::None);
  EXPECT_EQ(decodeAll(s, decoded, speech, true, true), Cut::None);
  EXPECT_EQ(decoded, captured);
}

TEST(Segmenter, BatchesFallTheSameWhateverTheBuffers) {
  auto batchesFor = [](std::vector<size_t> buffers) {
    Segmenter s(kBatch, 100000);
    s.begin(&kFirst);
    std::vector<size_t> sizes;
    int16_t next = 0;
    for (size_t n : buffers) {
      s.append(ramp(next, n));
      next = static_cast<int16_t>(next + n);
      for (auto b = s.next(false); !b.empty(); b = s.next(false)) {
        sizes.push_back(b.front());
        s.decoded(b.size(), true, false);
      }
    }
    return sizes;
  };
  EXPECT_EQ(batchesFor({1000}), batchesFor({1, 99, 101, 333, 466}));
}

TEST(Segmenter, AnEndedRequestIsNotClosedAtAPauseButItsUtteranceIs) {
  Segmenter s(kBatch, 100000);
  s.begin(&kFirst);
  s.append(ramp(0, 600));
  std::vector<int16_t> decoded;
  auto speech = [](int16_t v) { return v < 300; };
  EXPECT_EQ(decodeAll(s, decoded, speech, true, true), Cut::Utterance);
  EXPECT_EQ(s.route(&kFirst), Route::Decode);
  EXPECT_EQ(decodeAll(s, decoded, speech, true, true), Cut::None);
  EXPECT_EQ(decoded.size(), 600u);
}

TEST(Segmenter, LengthLimitCutsAnUtteranceThatNeverPauses) {
  Segmenter s(kBatch, 350);  // the limit rounds up to whole batches
  s.begin(&kFirst);
  s.append(std::vector<int16_t>(1000, 1));
  std::vector<int16_t> decoded;
  auto always = [](int16_t) { return true; };
  EXPECT_EQ(decodeAll(s, decoded, always), Cut::Request);
  EXPECT_EQ(decoded.size(), 400u);
  // Without speech the limit only starts the utterance again: there is nothing to close.
  Segmenter quiet(kBatch, 350);
  quiet.begin(&kFirst);
  quiet.append(std::vector<int16_t>(1000, 0));
  decoded.clear();
  EXPECT_EQ(decodeAll(quiet, decoded, [](int16_t) { return false; }), Cut::Utterance);
  EXPECT_EQ(quiet.route(&kFirst), Route::Decode);
  // An ended request's utterances are cut at the limit too, and the request goes on.
  Segmenter ended(kBatch, 350);
  ended.begin(&kFirst);
  ended.append(std::vector<int16_t>(1000, 1));
  decoded.clear();
  EXPECT_EQ(decodeAll(ended, decoded, always, true, true), Cut::Utterance);
  EXPECT_EQ(ended.route(&kFirst), Route::Decode);
}

TEST(Segmenter, DroppingOrReplacingARequestDropsItsAudio) {
  Segmenter s(kBatch, 100000);
  s.begin(&kFirst);
  s.append(ramp(0, 250));
  EXPECT_FALSE(s.drop(&kThird)) << "not served: nothing changes";
  EXPECT_EQ(s.waiting(), 250u);
  // Another request begun while one is current takes none of its audio.
  s.begin(&kSecond);
  EXPECT_EQ(s.waiting(), 0u);
  s.append(ramp(0, 250));
  EXPECT_TRUE(s.drop(&kSecond));
  EXPECT_EQ(s.route(&kSecond), Route::New);
  EXPECT_EQ(s.waiting(), 0u);
  s.append(ramp(0, 10));
  EXPECT_EQ(s.waiting(), 0u) << "audio of no request is not kept";
}

TEST(ErrorPacer, ErrorsInARowWaitEverLongerUpToASecondUntilAResult) {
  ErrorPacer pacer;
  const auto t0 = ErrorPacer::Clock::time_point{} + 1h;
  EXPECT_EQ(pacer.errorDue(t0), t0) << "the first error goes out at once";
  EXPECT_EQ(pacer.errorDue(t0), t0 + 50ms);
  EXPECT_EQ(pacer.errorDue(t0), t0 + 150ms);
  EXPECT_EQ(pacer.errorDue(t0), t0 + 350ms);
  // Time has passed the pause: the next waits only for what is left of it.
  EXPECT_EQ(pacer.errorDue(t0 + 2s), t0 + 2s);
  auto last = t0 + 2s;
  for (int i = 0; i < 8; ++i) {
    const auto due = pacer.errorDue(t0 + 2s);
    EXPECT_LE(due - last, 1000ms) << i;
    last = due;
  }
  EXPECT_EQ(pacer.errorDue(last), last + 1000ms) << "the pause stops growing at a second";
  pacer.resultDelivered();
  last += 1000ms;
  EXPECT_EQ(pacer.errorDue(last), last) << "a result in between starts again";
  EXPECT_EQ(pacer.errorDue(last), last + 50ms);
}

}  // namespace
}  // namespace voxlet_test
