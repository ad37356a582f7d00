// The authorization chain: every transition and message, and stops and SIGTERM while it waits.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace voxtest {
namespace {

void expectOnlyError(const Outcome& o, const json& error) {
  EXPECT_EQ(o.events, std::vector<json>{error});
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 1);
  EXPECT_EQ(o.err, "");
}

void expectSilentExit(const Outcome& o) {
  EXPECT_EQ(o.events, std::vector<json>{});
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
}

TEST(Authorization, SpeechRefusedIsReportedBeforeAnythingElse) {
  for (int status : {0, 1, 2, 7}) {
    SCOPED_TRACE(status);
    // The recogniser is unavailable too, but availability is tested last.
    Voxlet v(json{{"speechAnswer", status}, {"available", false}});
    Outcome o = v.finish();
    expectOnlyError(o, errorEvent("speech_denied", "speech recognition not authorized (" +
                                                       std::to_string(status) + ")"));
    EXPECT_FALSE(v.trace().has("mic.status"));
    EXPECT_FALSE(v.trace().has("mic.request"));
    EXPECT_FALSE(v.trace().has("available"));
  }
}

TEST(Authorization, MicrophoneRestrictedOrDeniedIsNotAsked) {
  for (int status : {1, 2}) {
    SCOPED_TRACE(status);
    Voxlet v(json{{"micStatus", status}});
    Outcome o = v.finish();
    expectOnlyError(o, errorEvent("mic_denied", "microphone access denied"));
    EXPECT_TRUE(v.trace().has("mic.status"));
    EXPECT_FALSE(v.trace().has("mic.request"));
    EXPECT_FALSE(v.trace().has("engine.make"));
  }
}

TEST(Authorization, MicrophoneRequestDeclined) {
  Voxlet v(json{{"micStatus", 0}, {"micAnswer", false}, {"micAnswerDelayMs", 20}});
  Outcome o = v.finish();
  expectOnlyError(o, errorEvent("mic_denied", "microphone access denied"));
  EXPECT_TRUE(v.trace().has("mic.request"));
}

TEST(Authorization, AnswersAfterPromptsLeadToReady) {
  // Both prompts answered late, on threads of the platform.
  Voxlet v(json{{"speechAnswerDelayMs", 50}, {"micStatus", 0}, {"micAnswerDelayMs", 50}});
  v.waitFor("ready");
  v.kill(SIGTERM);
  Outcome o = v.finish();
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(v.trace().has("mic.request"));
}

TEST(Authorization, GrantedBeforehandNeedsNoPrompt) {
  Voxlet v(json::object());
  v.waitFor("ready");
  v.kill(SIGTERM);
  v.finish();
  EXPECT_FALSE(v.trace().has("mic.request"));
  EXPECT_LT(v.trace().position("speech.request"), v.trace().position("mic.status"));
  EXPECT_LT(v.trace().position("mic.status"), v.trace().position("available"));
  EXPECT_LT(v.trace().position("available"), v.trace().position("engine.make"));
}

TEST(Authorization, RecognizerNotAvailable) {
  Voxlet v(json{{"available", false}});
  Outcome o = v.finish();
  expectOnlyError(o, errorEvent("unavailable", "recognizer not available"));
  EXPECT_FALSE(v.trace().has("engine.make"));
}

TEST(Authorization, StopOrEndOfInputWhileSpeechPromptIsOpen) {
  for (const char* input : {"stop\n", ""}) {
    Voxlet v(json{{"speechAnswer", nullptr}});
    ASSERT_TRUE(v.trace().waitFor("speech.request"));
    v.send(input);
    v.closeInput();
    expectSilentExit(v.finish());
  }
}

TEST(Authorization, StopWhileMicrophonePromptIsOpen) {
  Voxlet v(json{{"micStatus", 0}, {"micAnswer", nullptr}});
  ASSERT_TRUE(v.trace().waitFor("mic.request"));
  v.send("stop\nignored\n");
  expectSilentExit(v.finish());
  EXPECT_FALSE(v.trace().has("engine.make"));
}

TEST(Authorization, SigtermWhilePromptIsOpen) {
  // The microphone is asked on the main queue, so the handler is installed by then.
  Voxlet v(json{{"micStatus", 0}, {"micAnswer", nullptr}});
  ASSERT_TRUE(v.trace().waitFor("mic.request"));
  v.kill(SIGTERM);
  expectSilentExit(v.finish());
}

TEST(AudioInput, UnusableFormatIsNoAudioInput) {
  for (const json& format :
       {json{{"sampleRate", 48000}, {"channels", 0}}, json{{"sampleRate", 0}, {"channels", 1}},
        json{{"sampleRate", -8000}, {"channels", 2}},
        json{{"sampleRate", "nan"}, {"channels", 1}}}) {
    SCOPED_TRACE(format.dump());
    Voxlet v(json{{"format", format}});
    expectOnlyError(v.finish(), errorEvent("unavailable", "no audio input"));
    EXPECT_FALSE(v.trace().has("tap.install"));
  }
}

TEST(AudioInput, EngineStartFailureCarriesItsDescription) {
  Voxlet v(json{{"startError", "The input device is busy (\"hw:0\")"},
                {"format", {{"sampleRate", 16000}, {"channels", 2}}}});
  expectOnlyError(v.finish(), errorEvent("unavailable", "The input device is busy (\"hw:0\")"));
  EXPECT_TRUE(v.trace().has("tap.install bus=0 frames=2048 rate=16000 channels=2"));
  EXPECT_TRUE(v.trace().has("prepare"));
  EXPECT_FALSE(v.trace().has("request.make"));
}

}  // namespace
}  // namespace voxtest
