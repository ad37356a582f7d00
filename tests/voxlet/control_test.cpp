// Control input during dictation: the stop forms, ignored lines, end of input, a stop while
// start() runs, and SIGTERM.
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

// Sends the input and waits until the control thread reads on: none of its lines stopped the
// session, since after a stop the control thread ends and never reads again.
void sendAndWaitUntilTaken(Voxlet& v, const std::string& input) {
  v.send(input);
  ASSERT_TRUE(v.waitUntilInputTaken());
}

TEST(ControlInput, StopFormsStop) {
  for (const std::string form : {"stop\n", "   stop\n", "stop\t\n", "stop\r\n", " \t stop \t \r\n",
                                 "\xC2\xA0stop\xE3\x80\x80\n", "\xE2\x80\x83stop\xE2\x80\x8A\n"}) {
    SCOPED_TRACE(form);
    Voxlet v(closesOnEndAudio());
    v.waitFor("ready");
    v.send(form + "more\n");
    expectStoppedCleanly(v.finish());
    EXPECT_EQ(v.trace().count("stop"), 1);
  }
}

TEST(ControlInput, OtherLinesAreIgnored) {
  const std::string ignored =
      "STOP\nStop\nstop now\n\n   \nstopp\nsto p\nstop\r\r\n\vstop\n"
      "\xE2\x80\x8Bstop\n"  // zero-width space
      "stop\xE2\x80\xA8\n"  // line separator
      "\xFFstop\n"          // invalid UTF-8
      "\xA0stop\n";         // a lone continuation byte, not a no-break space
  Voxlet v(closesOnEndAudio());
  v.waitFor("ready");
  sendAndWaitUntilTaken(v, ignored);
  // A line longer than any command is skipped as it streams in, whatever it ends with.
  sendAndWaitUntilTaken(v, std::string(1 << 20, ' ') + "stop\n");
  v.send("stop\n");
  expectStoppedCleanly(v.finish());
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

TEST(Sigterm, FromTheStartOfMainEndsWithStatusZeroInDictationOnly) {
  // The signal comes while main() is still at work before voxlet runs.
  for (const bool probe : {false, true}) {
    SCOPED_TRACE(probe ? "probe" : "dictation");
    Voxlet v(json{{"pauseAtStart", true}},
             probe ? std::vector<std::string>{"--probe"} : std::vector<std::string>{});
    ASSERT_TRUE(v.trace().waitFor("main"));
    v.kill(SIGTERM);
    v.send("x");
    Outcome o = v.finish();
    EXPECT_EQ(withoutLevels(o.events, true), std::vector<json>{});  // "ready" may win the race
    EXPECT_EQ(o.err, "");
    if (probe) {  // no handler in probe mode: the default action
      EXPECT_FALSE(o.exit.exited);
      EXPECT_EQ(o.exit.signal, SIGTERM);
    } else {
      EXPECT_TRUE(o.exit.exited);
      EXPECT_EQ(o.exit.status, 0);
    }
  }
}

}  // namespace
}  // namespace voxtest
