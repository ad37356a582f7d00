// The event stream: compact lines, JSON escaping, strings that are not valid UTF-8, and whole
// lines from threads writing at once.
#include <gtest/gtest.h>

#include <algorithm>

#include <map>

#include "harness.h"

namespace voxtest {
namespace {

TEST(EventLines, EscapingRoundTrips) {
  const std::string text =
      "He said \"hi\" \\ back\\slash\nnew line\r\ttab \x01 \x1f "
      "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xC3\xBC \xF0\x9F\x98\x80 \xE2\x80\xA8";
  json scenario = {{"steps",
                    {{{"wait", "task"}},
                     {{"deliver", {{"text", text}}}},
                     {{"wait", "endAudio"}},
                     {{"deliver", {{"text", text}, {"final", true}}}}}}};
  Voxlet v(scenario);
  v.waitForText(text);
  v.send("stop\n");
  Outcome o = v.finish();
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(withoutLevels(o.events, true),
            (std::vector<json>{textEvent(text, false), textEvent(text, false),
                               textEvent(text, true), json{{"t", "end"}}}));
  // Compact: no space outside strings; the line feed inside the text is escaped.
  EXPECT_NE(std::find(o.lines.begin(), o.lines.end(), "{\"t\":\"ready\"}"), o.lines.end());
  for (const auto& line : o.lines) {
    if (line.find("\"text\"") == std::string::npos) continue;
    EXPECT_NE(line.find("\\\"hi\\\" \\\\ back\\\\slash\\nnew line\\r\\ttab"), std::string::npos)
        << line;
    EXPECT_EQ(line.find("\":\" "), std::string::npos);
  }
}

TEST(EventLines, InvalidUtf8IsReplacedSoNoEventIsLost) {
  json scenario = {{"steps",
                    {{{"wait", "task"}},
                     {{"deliver", {{"bytes", {0x61, 0xFF}}}}},
                     {{"deliver", {{"text", "ok"}}}},
                     {{"wait", "endAudio"}},
                     {{"deliver", {{"bytes", {0x62, 0xC3, 0x63}}, {"final", true}}}}}}};
  Voxlet v(scenario);
  v.waitForText("ok");
  v.send("stop\n");
  Outcome o = v.finish();
  // A partial with a stray byte and a final text with a cut sequence both reach the parent.
  EXPECT_EQ(withoutLevels(o.events, true),
            (std::vector<json>{textEvent("a\uFFFD", false), textEvent("ok", false),
                               textEvent("b\uFFFDc", false), textEvent("b\uFFFDc", true),
                               json{{"t", "end"}}}));
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
}

TEST(EventLines, ErrorWithAnInvalidLocaleIsStillWritten) {
  json scenario = {{"recognizers", json::array()}, {"defaultRecognizer", false}};
  Voxlet v(scenario, {"--locale",
                      "de\xFF"
                      "DE"});
  Outcome o = v.finish();
  EXPECT_EQ(o.events, std::vector<json>{errorEvent("unavailable", "no recognizer for de\uFFFDDE")});
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 1);
  EXPECT_EQ(o.err, "");
}

// Recognition never waits for the parent to read: while it reads nothing, audio still reaches the
// request, and once it reads again the final text holds everything. Partial texts and levels
// waiting meanwhile may be replaced by newer ones; the final text and "end" are never dropped.
TEST(EventLines, AParentThatStopsReadingHoldsNothingUp) {
  json steps = json::array({{{"wait", "task"}}});
  // Far more than a pipe holds, all told.
  steps.push_back({{"deliver", {{"text", std::string(4000, 'x')}}}, {"repeat", 1000}});
  steps.push_back({{"buffer", fillBuffer(0.5)}, {"repeat", 40}});
  steps.push_back({{"wait", "endAudio"}});
  steps.push_back({{"deliver", {{"text", "every word said"}, {"final", true}}}});
  Voxlet v(json{{"steps", steps}});
  // Nothing is read until the audio has reached the request.
  ASSERT_TRUE(v.trace().waitFor("append", 40, 20s)) << "the session waited for the parent";
  v.send("stop\n");
  Outcome o = v.finish();
  EXPECT_EQ(o.exit.status, 0);
  const std::vector<json> events = withoutLevels(o.events, true);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], textEvent("every word said", true));
  EXPECT_EQ(events.back(), (json{{"t", "end"}}));
}

TEST(EventLines, ThreadsEmittingAtOnceWriteWholeLines) {
  constexpr int kThreads = 4, kEach = 40;
  constexpr size_t kLength = 20000;  // several pipe writes per line
  testing_support::RunResult r =
      testing_support::run({VOXLET_EMIT_STRESS, std::to_string(kThreads), std::to_string(kEach),
                            std::to_string(kLength)},
                           "");
  EXPECT_TRUE(r.exit.exited);
  EXPECT_EQ(r.exit.status, 0);
  EXPECT_EQ(r.err, "");
  std::map<int, int> next;
  size_t start = 0, nl;
  int lines = 0;
  while ((nl = r.out.find('\n', start)) != std::string::npos) {
    json event = json::parse(r.out.substr(start, nl - start), nullptr, false);
    start = nl + 1;
    ASSERT_FALSE(event.is_discarded()) << "torn line " << lines;
    const int thread = event["thread"].get<int>();
    EXPECT_EQ(event["text"], std::string(kLength, static_cast<char>('a' + thread)));
    EXPECT_EQ(event["n"], next[thread]++);  // each thread's lines keep their order
    ++lines;
  }
  EXPECT_EQ(start, r.out.size());
  EXPECT_EQ(lines, kThreads * kEach);
}

}  // namespace
}  // namespace voxtest
