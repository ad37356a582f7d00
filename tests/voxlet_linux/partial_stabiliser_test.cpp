// The steadying of partial hypotheses, driven by scripted hypothesis sequences one decoder step
// (0.1 s of audio) apart, with the recogniser's own hold (0.2 s, as the README promises).
#include "partial_stabiliser.h"

#include "sphinx_recognizer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace voxlet_test {
namespace {

using voxlet::linux_backend::DecoderSettings;
using voxlet::linux_backend::PartialStabiliser;

// The hold the recogniser uses unless told otherwise.
const double kHold = DecoderSettings{}.partialHoldSeconds;

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

// Feeds one hypothesis per 0.1 s step and returns what was shown after each.
std::vector<std::string> shownAfterEach(const std::vector<std::string>& hypotheses) {
  PartialStabiliser stabiliser(kHold);
  std::vector<std::string> shown;
  double t = 0.0;
  for (const auto& h : hypotheses) {
    t += 0.1;
    shown.push_back(join(stabiliser.update(words(h), t)));
  }
  return shown;
}

TEST(PartialStabiliser, NewWordsShowOnceTwoHypothesesAgreeAndOnlyOneIsUnsure) {
  const std::vector<std::string> shown = shownAfterEach({
      "send",        // new
      "send",        // seen twice: shown, not yet sure
      "send it",     // "send" sure; "it" new
      "send it",     // "it" shown
      "send it to",  // "it" sure; "to" new
      "send it to bob",
      "send it to bob",  // "to" sure, "bob" seen twice
  });
  const std::vector<std::string> expected{
      "", "send", "send", "send it", "send it", "send it to", "send it to bob",
  };
  EXPECT_EQ(shown, expected);
}

TEST(PartialStabiliser, WordsThatLastOneHypothesisNeverShow) {
  const std::vector<std::string> shown = shownAfterEach({
      "please",
      "please",
      "please schindler",  // junk, gone in the next hypothesis
      "please send",
      "please she",  // junk again
      "please send the",
      "please send the",
      "please send the quarterly",
      "please send the quarterly",
  });
  for (const auto& s : shown) {
    EXPECT_EQ(s.find("schindler"), std::string::npos) << s;
    EXPECT_EQ(s.find("she"), std::string::npos) << s;
  }
  EXPECT_EQ(shown.back(), "please send the quarterly");
}

TEST(PartialStabiliser, AShownWordChangesOnlyAfterTheDecoderDisagreesForTheHold) {
  const std::string base = "send the quarterly ";
  const std::vector<std::string> shown = shownAfterEach({
      base + "report",
      base + "report",
      base + "report",
      base + "rape",  // a brief revision, taken back within the hold
      base + "report",
      base + "rape",  // a lasting one: 0.1 s, 0.2 s
      base + "rape",
      base + "rape",
  });
  EXPECT_EQ(shown[2], base + "report");
  EXPECT_EQ(shown[3], base + "report");
  EXPECT_EQ(shown[4], base + "report");
  EXPECT_EQ(shown[5], base + "report");
  EXPECT_EQ(shown[6], base + "report") << "disagreed for 0.1 s only";
  EXPECT_EQ(shown[7], base + "rape") << "disagreed for the hold";
}

TEST(PartialStabiliser, ARevisionThatKeepsChangingRemovesTheShownWordAfterTheHold) {
  // The decoder disagrees with "report" throughout, never twice the same way: after the hold the
  // word goes, and nothing that lasted one hypothesis takes its place.
  const std::vector<std::string> shown = shownAfterEach({
      "the report",
      "the report",
      "the report",
      "the rape",
      "the underreported",
      "the reporter",
  });
  EXPECT_EQ(shown[3], "the report");
  EXPECT_EQ(shown[4], "the report");
  EXPECT_EQ(shown[5], "the");
}

TEST(PartialStabiliser, WordsTheDecoderDropsGoAfterTheHold) {
  const std::vector<std::string> shown = shownAfterEach({
      "call me",
      "call me",
      "call me",
      "call",
      "call",
      "call",
  });
  EXPECT_EQ(shown[2], "call me");
  EXPECT_EQ(shown[3], "call me");
  EXPECT_EQ(shown[4], "call me");
  EXPECT_EQ(shown[5], "call");
}

TEST(PartialStabiliser, AnEarlierRevisionHoldsTheWordsAfterItBackUntilTheyStandAgain) {
  const std::vector<std::string> shown = shownAfterEach({
      "please she", "please she", "please she",
      "please send the",  // the shown "she" is contradicted
      "please send the",
      "please send the",  // after the hold: "send" stood 0.2 s and is sure; "the" may follow
  });
  EXPECT_EQ(shown[2], "please she");
  EXPECT_EQ(shown[4], "please she");
  EXPECT_EQ(shown[5], "please send the");
}

TEST(PartialStabiliser, ResetStartsAFreshUtterance) {
  PartialStabiliser stabiliser(kHold);
  stabiliser.update(words("hello there"), 0.1);
  stabiliser.update(words("hello there"), 0.2);
  stabiliser.update(words("hello there"), 0.3);
  ASSERT_EQ(join(stabiliser.shown()), "hello there");
  stabiliser.reset();
  EXPECT_TRUE(stabiliser.shown().empty());
  EXPECT_TRUE(stabiliser.update(words("goodbye"), 0.1).empty()) << "seen once";
  EXPECT_EQ(join(stabiliser.update(words("goodbye"), 0.2)), "goodbye");
}

}  // namespace
}  // namespace voxlet_test
