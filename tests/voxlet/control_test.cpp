// Control input during dictation: the stop forms, ignored lines, end of input, a stop while
// start() runs, and SIGTERM. The scripted engine reports how much of standard input was still
// unread when capture stopped, which shows which line stopped the session.
#include <signal.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace voxtest {
namespace {

// Once stopped, the recogniser closes the request with an empty final result.
json closesOnEndAudio() {
  return json{{"steps", {{{"wait", "endAudio"}}, {{"deliver", {{"text", ""}, {"final", true}}}}}}};
}

void expectStoppedCleanly(const Outcome& o) {
  EXPECT_EQ(withoutLevels(o.events, true),
            (std::vector<json>{textEvent("", false), textEvent("", true), json{{"t", "end"}}}));
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
}

// Sends the input in one write once dictation is ready; returns the trace's unread count.
std::string unreadAfter(const std::string& input, Outcome* outcome) {
  Voxlet v(closesOnEndAudio());
  v.waitFor("ready");
  v.send(input);
  *outcome = v.finish();
  for (const auto& line : v.trace().lines()) {
    if (line.rfind("stop unread=", 0) == 0) return line.substr(12);
  }
  return "no stop";
}

TEST(ControlInput, StopFormsStopAndLaterLinesAreNeverRead) {
  for (const std::string form : {"stop\n", "   stop\n", "stop\t\n", "stop\r\n", " \t stop \t \r\n",
                                 "\xC2\xA0stop\xE3\x80\x80\n", "\xE2\x80\x83stop\xE2\x80\x8A\n"}) {
    SCOPED_TRACE(form);
    Outcome o;
    EXPECT_EQ(unreadAfter(form + "more\n", &o), "5");
    expectStoppedCleanly(o);
  }
}

TEST(ControlInput, OtherLinesAreIgnored) {
  // Had any of these stopped the session, more than the last line would be left unread.
  const std::string ignored =
      "STOP\nStop\nstop now\n\n   \nstopp\nsto p\nstop\r\r\n\vstop\n"
      "\xE2\x80\x8Bstop\n"  // zero-width space
      "stop\xE2\x80\xA8\n"  // line separator
      "\xFFstop\n"          // invalid UTF-8
      "\xA0stop\n";         // a lone continuation byte, not a no-break space
  Outcome o;
  EXPECT_EQ(unreadAfter(ignored + "stop\nmore\n", &o), "5");
  expectStoppedCleanly(o);
}

TEST(ControlInput, LastLineWithoutLineFeedStops) {
  Voxlet v(closesOnEndAudio());
  v.waitFor("ready");
  v.send("stop");
  v.closeInput();
  expectStoppedCleanly(v.finish());
}

TEST(ControlInput, EndOfInputStops) {
  Voxlet v(closesOnEndAudio());
  v.waitFor("ready");
  v.send("hello\n");
  v.closeInput();
  expectStoppedCleanly(v.finish());
  EXPECT_TRUE(v.trace().has("endAudio 1"));
}

TEST(ControlInput, StopWhileStartIsRunning) {
  // The engine's start never returns; the stored session is stopped with no request open.
  Voxlet v(json{{"startHangs", true}});
  ASSERT_TRUE(v.trace().waitFor("start"));
  v.send("stop\n");
  Outcome o = v.finish();
  EXPECT_EQ(o.events, (std::vector<json>{textEvent("", true), json{{"t", "end"}}}));
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(v.trace().has("tap.remove bus=0"));
  EXPECT_TRUE(v.trace().has("stop unread=0"));
  EXPECT_FALSE(v.trace().has("request.make"));
  EXPECT_FALSE(v.trace().has("endAudio"));
}

TEST(ControlInput, StopWhileStartCompletesLeavesEndAsTheLastLine) {
  // start() returns while the stop step finishes the session: "ready" from the main thread may
  // come before the final lines or not at all, never between or after them.
  for (int run = 0; run < 20; ++run) {
    Voxlet v(json{{"startWaitsForStop", true}});
    ASSERT_TRUE(v.trace().waitFor("start"));
    v.send("stop\n");
    Outcome o = v.finish();
    EXPECT_EQ(o.exit.status, 0);
    std::vector<json> finalLines = o.events;
    if (!finalLines.empty() && finalLines.front() == json{{"t", "ready"}}) {
      finalLines.erase(finalLines.begin());
    }
    EXPECT_EQ(finalLines, (std::vector<json>{textEvent("", true), json{{"t", "end"}}}));
  }
}

TEST(Sigterm, DuringDictationEndsWithoutFinalText) {
  json scenario = {{"steps", {{{"wait", "task"}}, {{"deliver", {{"text", "half"}}}}}}};
  Voxlet v(scenario);
  v.waitForText("half");
  v.kill(SIGTERM);
  Outcome o = v.finish();
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(withoutLevels(o.events, true), std::vector<json>{textEvent("half", false)});
  EXPECT_FALSE(v.trace().has("endAudio"));
}

}  // namespace
}  // namespace voxtest
