// The argument scan, the probe report and the choice of recogniser.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace voxtest {
namespace {

json probeEvent(int speech, int mic, bool recognizer) {
  return json{{"t", "probe"}, {"speech", speech}, {"mic", mic}, {"recognizer", recognizer}};
}

TEST(Probe, ReportsRawStatusesAndRecognizerForTheLocaleItself) {
  // Each field uses its own enumeration: speech 1 is denied, microphone 2 is denied.
  json scenario = {{"speechStatus", 1}, {"micStatus", 2}, {"recognizers", {"de_DE"}}};
  Voxlet v(scenario, {"--probe", "--locale", "de_DE"});
  Outcome o = v.finish();
  EXPECT_EQ(o.events, std::vector<json>{probeEvent(1, 2, true)});
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(v.trace().has("recognizer.locale de_DE"));
}

TEST(Probe, UnsupportedLocaleIsFalseWithoutFallbackPreloadOrPrompt) {
  // Neither status determined yet: reported as 0 and 0, and nobody is asked.
  json scenario = {{"speechStatus", 0}, {"micStatus", 0}, {"defaultRecognizer", true}};
  Voxlet v(scenario, {"--locale", "xx_YY", "--probe"});
  Outcome o = v.finish();
  EXPECT_EQ(o.events, std::vector<json>{probeEvent(0, 0, false)});
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_FALSE(v.trace().has("recognizer.default"));
  EXPECT_FALSE(v.trace().has("preload"));
  EXPECT_FALSE(v.trace().has("speech.request"));
  EXPECT_FALSE(v.trace().has("mic.request"));
  EXPECT_FALSE(v.trace().has("engine.make"));
}

TEST(Probe, RepeatedAndAmongUnknownArguments) {
  Voxlet v({}, {"-x", "--probe", "stray", "--probe", "--locale=de_DE"});
  Outcome o = v.finish();
  EXPECT_EQ(o.events, std::vector<json>{probeEvent(3, 3, true)});
  EXPECT_EQ(o.exit.status, 0);
  // The joined form is not an option: the current locale is used.
  EXPECT_TRUE(v.trace().has("recognizer.locale en_US"));
}

// Dictation mode runs that end at once: the speech prompt stays open and input is closed, so the
// process exits 0 without a line. The trace shows which locale was asked for.
std::string localeAskedFor(const std::vector<std::string>& args) {
  json scenario = {{"speechAnswer", nullptr}, {"locale", "fr_FR"}, {"recognizers", {"fr_FR"}}};
  Voxlet v(scenario, args);
  v.closeInput();
  Outcome o = v.finish();
  EXPECT_EQ(o.events, std::vector<json>{});
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");
  std::string asked;
  for (const auto& line : v.trace().lines()) {
    if (line.rfind("recognizer.locale ", 0) == 0) asked = line.substr(18);
  }
  return asked;
}

TEST(ArgumentScan, LocaleOptionForms) {
  EXPECT_EQ(localeAskedFor({}), "fr_FR");            // the current locale
  EXPECT_EQ(localeAskedFor({"--locale"}), "fr_FR");  // no value: ignored
  EXPECT_EQ(localeAskedFor({"--locale", "de_DE", "--locale", "ja_JP"}), "ja_JP");  // last wins
  EXPECT_EQ(localeAskedFor({"--locale=de_DE"}), "fr_FR");                          // not an option
  // The value is taken verbatim, even "--probe", which then does not select probe mode.
  EXPECT_EQ(localeAskedFor({"--locale", "--probe"}), "--probe");
}

TEST(Recognizer, FallsBackSilentlyToTheDefaultLanguageAndPreloadsIt) {
  json scenario = {
      {"recognizers", json::array()},
      {"defaultRecognizer", true},
      {"steps", {{{"wait", "endAudio"}}, {{"deliver", {{"text", ""}, {"final", true}}}}}}};
  Voxlet v(scenario, {"--locale", "xx_YY"});
  v.waitFor("ready");
  v.closeInput();
  Outcome o = v.finish();
  EXPECT_EQ(kinds(withoutLevels(o.events)),
            (std::vector<std::string>{"ready", "text", "text", "end"}));
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_LT(v.trace().position("recognizer.default"), v.trace().position("preload default"));
  EXPECT_LT(v.trace().position("preload default"), v.trace().position("speech.request"));
}

TEST(Recognizer, NoneForLocaleNorDefaultIsUnavailable) {
  json scenario = {{"recognizers", json::array()}, {"defaultRecognizer", false}};
  Outcome o = runWithInput(scenario, {"--locale", "xx_YY"}, "");
  EXPECT_EQ(o.events, std::vector<json>{errorEvent("unavailable", "no recognizer for xx_YY")});
  EXPECT_TRUE(o.exit.exited);
  EXPECT_EQ(o.exit.status, 1);
  EXPECT_EQ(o.err, "");

  o = runWithInput(scenario, {"--locale", ""}, "");
  EXPECT_EQ(o.events, std::vector<json>{errorEvent("unavailable", "no recognizer for ")});
  EXPECT_EQ(o.exit.status, 1);
}

}  // namespace
}  // namespace voxtest
