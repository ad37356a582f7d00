// The steadying of partial hypotheses, driven by scripted hypothesis sequences one decoder batch
// (0.1 s of audio) apart, with the recogniser's own hold.
#include "partial_stabiliser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "sphinx_recognizer.h"

namespace voxlet_test {
namespace {

using voxlet::linux_backend::DecoderSettings;
using voxlet::linux_backend::PartialStabiliser;

constexpr double kStep = 0.1;
// The hold the recogniser uses unless told otherwise, and the batches it spans.
const double kHold = DecoderSettings{}.partialHoldSeconds;
const int kHoldSteps = static_cast<int>(std::lround(kHold / kStep));

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string join(const std::vector<std::string>& ws) {
  std::string out;
  for (const auto& w : ws) out += (out.empty() ? "" : " ") + w;
  return out;
}

// The same hypothesis for `n` batches in a row.
std::vector<std::string> times(int n, const std::string& hypothesis) {
  return std::vector<std::string>(static_cast<size_t>(n), hypothesis);
}

std::vector<std::string> then(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Feeds one hypothesis per batch and returns what was shown after each.
std::vector<std::string> shownAfterEach(const std::vector<std::string>& hypotheses) {
  PartialStabiliser stabiliser(kHold);
  std::vector<std::string> shown;
  double t = 0.0;
  for (const auto& h : hypotheses) {
    t += kStep;
    shown.push_back(join(stabiliser.update(words(h), t)));
  }
  return shown;
}

TEST(PartialStabiliser, TheHoldIsAFewBatches) {
  // The rules below need a hold of two batches or more; far longer would leave the text behind
  // the speaker.
  EXPECT_GE(kHoldSteps, 2);
  EXPECT_LE(kHold, 0.5);
}

TEST(PartialStabiliser, AWordShowsOnceItHasStoodForTheHold) {
  const std::vector<std::string> shown =
      shownAfterEach(then(times(kHoldSteps + 1, "send"), times(kHoldSteps + 1, "send it")));
  for (int i = 0; i < kHoldSteps; ++i) EXPECT_EQ(shown[i], "") << "batch " << i;
  EXPECT_EQ(shown[kHoldSteps], "send");
  for (int i = kHoldSteps + 1; i < 2 * kHoldSteps + 1; ++i) EXPECT_EQ(shown[i], "send") << i;
  EXPECT_EQ(shown.back(), "send it");
}

TEST(PartialStabiliser, WordsThatLastLessThanTheHoldNeverShow) {
  // Guesses at a word still being spoken: each lasts one batch short of the hold.
  const int brief = kHoldSteps;
  std::vector<std::string> hypotheses = times(kHoldSteps + 1, "please");
  hypotheses = then(hypotheses, times(brief, "please schindler"));
  hypotheses = then(hypotheses, times(brief, "please she"));
  hypotheses = then(hypotheses, times(kHoldSteps + 1, "please send"));
  const std::vector<std::string> shown = shownAfterEach(hypotheses);
  for (const auto& s : shown) {
    EXPECT_EQ(s.find("schindler"), std::string::npos) << s;
    EXPECT_EQ(words(s).size() < 2 || words(s)[1] == "send", true) << s;
  }
  EXPECT_EQ(shown.back(), "please send");
}

TEST(PartialStabiliser, TheLastWordOfASentenceShowsDuringThePauseAfterIt) {
  // In the pause the hypothesis stops changing: its last word shows after the hold, well before
  // the decoder closes the utterance (0.5 s of silence).
  std::vector<std::string> hypotheses = times(kHoldSteps + 1, "call me");
  hypotheses = then(hypotheses, {"call me to", "call me tomorrow"});
  hypotheses = then(hypotheses, times(kHoldSteps, "call me tomorrow"));
  const std::vector<std::string> shown = shownAfterEach(hypotheses);
  EXPECT_EQ(shown[shown.size() - 2], "call me");
  EXPECT_EQ(shown.back(), "call me tomorrow");
}

TEST(PartialStabiliser, AShownWordChangesOnlyAfterTheDecoderDisagreesForTheHold) {
  const std::string base = "send the quarterly ";
  std::vector<std::string> hypotheses = times(kHoldSteps + 1, base + "report");
  hypotheses = then(hypotheses, {base + "rape", base + "report"});  // taken back at once
  const size_t lasting = hypotheses.size();
  hypotheses = then(hypotheses, times(kHoldSteps + 1, base + "rape"));
  const std::vector<std::string> shown = shownAfterEach(hypotheses);
  for (size_t i = kHoldSteps; i < lasting + kHoldSteps; ++i) {
    EXPECT_EQ(shown[i], base + "report") << "batch " << i;
  }
  EXPECT_EQ(shown[lasting + kHoldSteps], base + "rape") << "disagreed for the hold";
}

TEST(PartialStabiliser, ARevisionThatKeepsChangingRemovesTheShownWordAfterTheHold) {
  // The decoder disagrees with "report" throughout, never the same way twice: after the hold the
  // word goes, and nothing that lasted one batch takes its place.
  std::vector<std::string> hypotheses = times(kHoldSteps + 1, "the report");
  const std::vector<std::string> revisions{"the rape", "the underreported", "the reporter",
                                           "the repo", "the rapport"};
  hypotheses = then(hypotheses, revisions);
  const std::vector<std::string> shown = shownAfterEach(hypotheses);
  const size_t first = kHoldSteps + 1;
  for (size_t i = first; i < first + kHoldSteps; ++i) EXPECT_EQ(shown[i], "the report") << i;
  for (size_t i = first + kHoldSteps; i < shown.size(); ++i) EXPECT_EQ(shown[i], "the") << i;
}

TEST(PartialStabiliser, WordsTheDecoderDropsGoAfterTheHold) {
  const std::vector<std::string> shown =
      shownAfterEach(then(times(kHoldSteps + 1, "call me"), times(kHoldSteps + 1, "call")));
  EXPECT_EQ(shown[kHoldSteps], "call me");
  EXPECT_EQ(shown[2 * kHoldSteps], "call me");
  EXPECT_EQ(shown.back(), "call");
}

TEST(PartialStabiliser, AnEarlierRevisionHoldsTheWordsAfterItBackUntilTheyStandAgain) {
  const std::vector<std::string> shown = shownAfterEach(
      then(times(kHoldSteps + 1, "please she"), times(kHoldSteps + 1, "please send the")));
  EXPECT_EQ(shown[kHoldSteps], "please she");
  EXPECT_EQ(shown[2 * kHoldSteps], "please she");
  EXPECT_EQ(shown.back(), "please send the") << "stood for the hold since the revision";
}

TEST(PartialStabiliser, ResetStartsAFreshUtterance) {
  PartialStabiliser stabiliser(kHold);
  double t = 0;
  for (int i = 0; i <= kHoldSteps; ++i) stabiliser.update(words("hello there"), t += kStep);
  ASSERT_EQ(join(stabiliser.shown()), "hello there");
  stabiliser.reset();
  EXPECT_TRUE(stabiliser.shown().empty());
  t = 0;
  for (int i = 0; i < kHoldSteps; ++i) {
    EXPECT_TRUE(stabiliser.update(words("goodbye"), t += kStep).empty()) << "batch " << i;
  }
  EXPECT_EQ(join(stabiliser.update(words("goodbye"), t += kStep)), "goodbye");
}

}  // namespace
}  // namespace voxlet_test
