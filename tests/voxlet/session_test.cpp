// The Session: segments and joined(), results of closed requests, the stop step with a final
// result or the 2.0-second deadline.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace voxtest {
namespace {

json wait(const std::string& name, int n = 1) {
  return json{{"wait", name}, {"n", n}};
}
json deliver(const json& call) {
  return json{{"deliver", call}};
}
json buffer(double fill) {
  return json{{"buffer", fillBuffer(fill)}};
}

void expectCleanExit(const Outcome& o) {
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
}

// The final "text" and "end" are the last two lines, each once.
void expectEndsWith(const Outcome& o, const std::string& finalText) {
  ASSERT_GE(o.events.size(), 2u);
  EXPECT_EQ(o.events[o.events.size() - 2], textEvent(finalText, true));
  EXPECT_EQ(o.events.back(), (json{{"t", "end"}}));
  int finals = 0;
  for (const json& e : o.events) finals += e["t"] == "end" || e.value("final", false);
  EXPECT_EQ(finals, 2);
}

TEST(Segments, TranscriptJoinsClosedSegmentsAndStopTakesTheLastResult) {
  json scenario = {
      {"steps",
       {wait("task", 1), buffer(0.1), wait("append"), deliver({{"text", "A"}, {"final", true}}),
        wait("task", 2), buffer(0.1), wait("append", 2), deliver({{"text", "B"}}), wait("endAudio"),
        deliver({{"text", "C"}, {"final", true}})}}};
  Voxlet v(scenario);
  v.waitForText("A B");
  v.send("stop\n");
  Outcome o = v.finish();
  expectCleanExit(o);
  EXPECT_EQ(
      withoutLevels(o.events, true),
      (std::vector<json>{textEvent("A", false), textEvent("A B", false), textEvent("A C", false),
                         textEvent("A C", true), json{{"t", "end"}}}));
  expectEndsWith(o, "A C");
  // Every request reports partial results and adds punctuation; audio went to the open one.
  Trace& t = v.trace();
  EXPECT_TRUE(t.has("request.partial 1 true"));
  EXPECT_TRUE(t.has("request.punctuation 2 true"));
  EXPECT_TRUE(t.has("append 1 frames=2048"));
  EXPECT_TRUE(t.has("append 2 frames=2048"));
  EXPECT_TRUE(t.has("tap.install bus=0 frames=2048 rate=48000 channels=1"));
  EXPECT_TRUE(t.has("tap.remove bus=0"));
  EXPECT_TRUE(t.has("endAudio 2"));
  EXPECT_FALSE(t.has("cancel"));  // closed by the recogniser, not by the deadline
}

TEST(Segments, EmptyFinalResultAddsNoSpace) {
  json scenario = {
      {"steps",
       {wait("task", 1), deliver({{"text", "A"}, {"final", true}}), wait("task", 2),
        deliver({{"text", ""}, {"final", true}}), wait("task", 3), deliver({{"text", "B"}}),
        wait("endAudio"), deliver({{"text", "B."}, {"final", true}})}}};
  Voxlet v(scenario);
  v.waitForText("A B");
  v.send("stop\n");
  Outcome o = v.finish();
  expectCleanExit(o);
  EXPECT_EQ(
      withoutLevels(o.events, true),
      (std::vector<json>{textEvent("A", false), textEvent("A", false), textEvent("A B", false),
                         textEvent("A B.", false), textEvent("A B.", true), json{{"t", "end"}}}));
}

TEST(Segments, ErrorCommitsThePartialTextSilentlyAndOpensANewRequest) {
  json scenario = {{"steps",
                    {wait("task", 1), deliver({{"text", "B"}}), deliver({{"error", "no speech"}}),
                     wait("task", 2), deliver({{"text", "C"}}), wait("endAudio"),
                     deliver({{"error", "ended"}})}}};
  Voxlet v(scenario);
  v.waitForText("B C");
  v.closeInput();
  Outcome o = v.finish();
  expectCleanExit(o);
  EXPECT_EQ(withoutLevels(o.events, true),
            (std::vector<json>{textEvent("B", false), textEvent("B C", false),
                               textEvent("B C", true), json{{"t", "end"}}}));
  EXPECT_FALSE(v.trace().has("cancel"));
}

TEST(Segments, LateAndEmptyCallsChangeNothing) {
  json scenario = {{"steps",
                    {wait("task", 1), deliver({{"text", "A"}, {"final", true}}), wait("task", 2),
                     // The closed request's handler is called again: ignored, nothing sent.
                     deliver({{"text", "stale"}, {"final", true}, {"request", 1}}),
                     deliver({{"error", "late"}, {"request", 1}}),
                     // Neither result nor error: nothing happens.
                     deliver(json::object()),
                     // A result with an error: sent, then the segment closes.
                     deliver({{"text", "B"}, {"error", "cut"}}), wait("task", 3),
                     deliver({{"text", "C"}}), wait("endAudio"), deliver({{"error", "ended"}})}}};
  Voxlet v(scenario);
  v.waitForText("A B C");
  v.send("stop\n");
  Outcome o = v.finish();
  expectCleanExit(o);
  EXPECT_EQ(
      withoutLevels(o.events, true),
      (std::vector<json>{textEvent("A", false), textEvent("A B", false), textEvent("A B C", false),
                         textEvent("A B C", true), json{{"t", "end"}}}));
  EXPECT_EQ(v.trace().count("request.make"), 3);
}

TEST(Segments, RecognizerFailingEveryRequestAtOnce) {
  json scenario = {{"steps",
                    {wait("task", 1), json{{"failRequests", 200}}, deliver({{"text", "X"}}),
                     wait("endAudio"), deliver({{"error", "ended"}})}}};
  Voxlet v(scenario);
  v.waitForText("X");
  v.send("stop\n");
  Outcome o = v.finish();
  expectCleanExit(o);
  EXPECT_EQ(withoutLevels(o.events, true),
            (std::vector<json>{textEvent("X", false), textEvent("X", true), json{{"t", "end"}}}));
  EXPECT_EQ(v.trace().count("request.make"), 201);
}

// The "at=" milliseconds of the first trace line matching the pattern; -1 if none.
long tracedAt(Trace& trace, const std::string& pattern) {
  for (const auto& line : trace.lines()) {
    if (line.rfind(pattern + " ", 0) != 0) continue;
    const size_t at = line.find(" at=");
    if (at != std::string::npos) return std::stol(line.substr(at + 4));
  }
  ADD_FAILURE() << "no trace line " << pattern;
  return -1;
}

TEST(Stop, FinalResultEndsTheRunBeforeTheDeadline) {
  json scenario = {{"steps",
                    {wait("task"), deliver({{"text", "almost"}}), wait("endAudio"),
                     deliver({{"text", "almost done"}, {"final", true}})}}};
  Voxlet v(scenario);
  v.waitForText("almost");
  const auto stopAt = std::chrono::steady_clock::now();
  v.send("stop\n");
  Outcome o = v.finish();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1500ms);
  expectCleanExit(o);
  expectEndsWith(o, "almost done");
  EXPECT_FALSE(v.trace().has("cancel"));
  // The tap is removed and the engine stopped before the end of audio is signalled.
  EXPECT_LT(v.trace().position("tap.remove"), v.trace().position("stop"));
  EXPECT_LT(v.trace().position("stop"), v.trace().position("endAudio 1"));
}

TEST(Stop, DeadlineCancelsTheTaskAndKeepsThePartialText) {
  // The recogniser never closes the request after the end of audio.
  json scenario = {{"steps",
                    {wait("task", 1), deliver({{"text", "A"}, {"final", true}}), wait("task", 2),
                     deliver({{"text", "partial"}})}}};
  Voxlet v(scenario);
  v.waitForText("A partial");
  v.send("stop\n");
  Outcome o = v.finish();
  expectCleanExit(o);
  expectEndsWith(o, "A partial");
  // Timed in the child from the end of audio: 2.0 s, and a later deadline fails however busy the
  // machine, since the timer would have to fire 0.9 s late to hide one.
  const long took = tracedAt(v.trace(), "cancel 2") - tracedAt(v.trace(), "endAudio 2");
  EXPECT_GE(took, 2000);
  EXPECT_LT(took, 2900);
}

TEST(Stop, AFloodOfBuffersDuringTheStopStillEndsTheRun) {
  // Buffers keep coming while the stop step runs; those queued behind it still reach the request
  // and the meter, and the run ends once the recogniser closes the request.
  json scenario = {{"steps",
                    {wait("task"), json{{"buffer", fillBuffer(0.1, 256)}, {"repeat", 2000}},
                     wait("endAudio"), deliver({{"text", "A"}, {"final", true}})}}};
  Voxlet v(scenario);
  v.waitFor("level");
  v.send("stop\n");
  Outcome o = v.finish();
  expectCleanExit(o);
  expectEndsWith(o, "A");
  EXPECT_TRUE(v.trace().has("endAudio"));
}

}  // namespace
}  // namespace voxtest
