// The Session: segments and joined(), results of closed requests, the stop step with a final
// result or the 2.0-second deadline.
#include <gtest/gtest.h>

#include "harness.h"

namespace voxtest {
namespace {

json wait(const std::string& name, int n = 1) {
  return json{{"wait", name}, {"n", n}};
}
json deliver(const json& spec) {
  return json{{"deliver", spec}};
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

}  // namespace
}  // namespace voxtest
