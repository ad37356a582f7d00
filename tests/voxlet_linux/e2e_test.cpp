// The installed voxlet end to end: a private sound server whose virtual microphone plays speech
// synthesised by flite, and the program's own pipes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "pulse_daemon.h"
#include "subprocess.h"

namespace voxlet_test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing_support::Subprocess;

constexpr const char* kFirst = "please call me back when you get home";
constexpr const char* kSecond = "we will meet at the station tomorrow morning";

// One run of voxlet against a daemon (or none), with its events as parsed JSON.
class Voxlet {
 public:
  Voxlet(const std::vector<std::string>& args, std::map<std::string, std::string> env) {
    std::vector<std::string> argv{VOXLET_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!env.count("LANG")) env["LANG"] = "en_US.UTF-8";
    std::vector<std::string> unset = PulseDaemon::hostVariables();
    unset.insert(unset.end(), {"LC_ALL", "LC_MESSAGES", "LANGUAGE"});
    for (const auto& [k, v] : env) std::erase(unset, k);
    process_ = std::make_unique<Subprocess>(argv, env, unset);
  }

  // The next event, or nothing at the end of output or after the time-out. Lines that are not
  // JSON objects fail the test.
  std::optional<json> next(std::chrono::milliseconds timeout = 20s) {
    auto line = process_->readLine(timeout);
    if (!line) return std::nullopt;
    lines_.push_back(*line);
    auto j = json::parse(*line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << *line;
    if (!j.is_object()) return json::object();
    events_.push_back(j);
    return j;
  }

  // Reads events until one of kind t arrives; false if the output ends first.
  bool waitFor(const std::string& t, std::chrono::milliseconds timeout = 20s) {
    return waitUntil([&t](const json& e) { return e["t"] == t; }, timeout);
  }

  // Reads events until one for which pred is true arrives; false if the output ends first.
  bool waitUntil(const std::function<bool(const json&)>& pred,
                 std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      auto e = next(left);
      if (!e) return false;
      if (pred(*e)) return true;
    }
  }

  // Reads every remaining event until the output closes.
  void drain(std::chrono::milliseconds timeout = 20s) {
    while (next(timeout)) {
    }
  }

  void send(const std::string& text) { process_->write(text); }
  void closeInput() { process_->closeStdin(); }
  void kill(int sig) { process_->kill(sig); }
  testing_support::ExitResult wait() { return process_->wait(30s); }
  std::string stderrText() { return process_->readStderr(5s); }

  std::vector<json> of(const std::string& t) const {
    std::vector<json> out;
    for (const auto& e : events_) {
      if (e.value("t", "") == t) out.push_back(e);
    }
    return out;
  }
  const std::vector<json>& events() const { return events_; }
  std::string transcript() const {
    std::string all;
    for (const auto& l : lines_) {
      if (l.find("\"level\"") == std::string::npos) all += l + "\n";
    }
    return all;
  }

 private:
  std::unique_ptr<Subprocess> process_;
  std::vector<std::string> lines_;
  std::vector<json> events_;
};

// SIGTERM ends a run at once: status 0, nothing on standard error, and no "end".
void expectSigtermEndsQuietly(Voxlet& v) {
  v.kill(SIGTERM);
  v.drain();
  const auto exit = v.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(v.stderrText(), "");
  EXPECT_TRUE(v.of("end").empty());
}

// Sound files shared by the tests: made once with flite and sox.
class Dictation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    files_ = new TempDir();
    const std::string d = files_->path();
    const std::vector<std::string> f32{"-r", "48000", "-e", "floating-point", "-b", "32"};
    auto to48 = [&](const std::string& in, const std::string& out,
                    std::vector<std::string> effects) {
      std::vector<std::string> args{in};
      args.insert(args.end(), f32.begin(), f32.end());
      args.push_back(out);
      args.insert(args.end(), effects.begin(), effects.end());
      return sox(args);
    };
    ok_ = synthesize(kFirst, d + "/first16.wav") && synthesize(kSecond, d + "/second16.wav") &&
          to48(d + "/first16.wav", d + "/first.wav", {"pad", "0.3", "1.2"}) &&
          to48(d + "/first16.wav", d + "/first-a.wav", {"pad", "0.3", "1.5"}) &&
          to48(d + "/second16.wav", d + "/second-b.wav", {"pad", "0", "1.2"}) &&
          to48(d + "/second16.wav", d + "/second.wav", {"pad", "0.8", "0.8"}) &&
          sox({d + "/first-a.wav", d + "/second-b.wav", d + "/both.wav"}) &&
          // 750 Hz puts a whole number of periods in each 2048-frame buffer at 48 kHz;
          // amplitude 0.1 * sqrt(2) is an RMS of 0.1, -20 dBFS.
          sox({"-n", "-r", "48000", "-c", "1", "-e", "floating-point", "-b", "32", d + "/tone.wav",
               "synth", "2.0", "sine", "750", "vol", "0.14142136"});
  }
  static void TearDownTestSuite() { delete files_; }

  void SetUp() override {
    ASSERT_TRUE(ok_) << "flite or sox failed";
    daemon_ = std::make_unique<PulseDaemon>();
    ASSERT_TRUE(daemon_->ready()) << daemon_->problem();
  }

  std::string file(const std::string& name) const { return files_->path() + "/" + name; }
  std::map<std::string, std::string> env() const { return daemon_->clientEnv(); }

  // Runs a dictation of one sound file and stops it once the file has played.
  void dictate(Voxlet& v, const std::string& sound) {
    ASSERT_TRUE(v.waitFor("ready")) << v.transcript();
    ASSERT_TRUE(daemon_->play(file(sound)));
    v.send("stop\n");
    v.drain();
  }

  // The final text, checking that "end" follows it and closes the output.
  static std::string finalText(const Voxlet& v) {
    const auto& ev = v.events();
    EXPECT_GE(ev.size(), 2u);
    if (ev.size() < 2) return "";
    EXPECT_EQ(ev.back(), json({{"t", "end"}}));
    const json& last = ev[ev.size() - 2];
    EXPECT_EQ(last.value("t", ""), "text");
    EXPECT_EQ(last.value("final", false), true);
    return last.value("text", "");
  }

  static inline TempDir* files_ = nullptr;
  static inline bool ok_ = false;
  std::unique_ptr<PulseDaemon> daemon_;
};

TEST_F(Dictation, SpokenSentenceIsRecognisedWithPartialsThenFinalTextAndEnd) {
  Voxlet v({"--locale", "en-US"}, env());
  dictate(v, "first.wav");
  const auto exit = v.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(v.stderrText(), "");

  const std::string text = finalText(v);
  EXPECT_LE(wordErrorRate(kFirst, text), 0.15) << text;
  // Partial lines while the speech went on: several different growing texts before the end.
  std::vector<std::string> partials;
  for (const auto& e : v.of("text")) {
    if (!e.value("final", true)) partials.push_back(e.value("text", ""));
  }
  ASSERT_GE(partials.size(), 3u) << v.transcript();
  EXPECT_NE(partials.front(), partials.back());
  EXPECT_EQ(v.of("ready").size(), 1u);
  EXPECT_EQ(v.events().front(), json({{"t", "ready"}})) << "nothing before ready but levels";
}

TEST_F(Dictation, TwoUtterancesWithAPauseKeepBoth) {
  Voxlet v({"--locale", "en-US"}, env());
  dictate(v, "both.wav");
  const auto exit = v.wait();
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(v.stderrText(), "");
  const std::string text = finalText(v);
  EXPECT_LE(wordErrorRate(std::string(kFirst) + " " + kSecond, text), 0.15) << text;
  // The pause closed the first segment: later lines begin with its committed text.
  bool secondBuiltOnFirst = false;
  for (const auto& e : v.of("text")) {
    std::string t = e.value("text", "");
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
    if (t.size() > 20 && wordErrorRate(kFirst, t.substr(0, t.find(" we "))) <= 0.15 &&
        t.find(" we ") != std::string::npos) {
      secondBuiltOnFirst = true;
    }
  }
  EXPECT_TRUE(secondBuiltOnFirst) << v.transcript();
}

TEST_F(Dictation, ToneLevelMatchesItsDecibelsAndSilenceIsZero) {
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_TRUE(v.waitFor("ready"));
  // Silence first: the virtual microphone hears nothing.
  int silent = 0;
  while (silent < 3) {
    auto e = v.next();
    ASSERT_TRUE(e);
    if ((*e)["t"] == "level") {
      EXPECT_EQ((*e)["v"].get<double>(), 0.0);
      ++silent;
    }
  }
  ASSERT_TRUE(daemon_->play(file("tone.wav")));
  v.send("stop\n");
  v.drain();
  EXPECT_EQ(v.wait().status, 0);
  EXPECT_EQ(v.stderrText(), "");
  // -20 dBFS maps to (−20 + 50) / 40 = 0.75; buffers wholly inside the tone give exactly that,
  // buffers at its edges less.
  int atTone = 0;
  for (const auto& e : v.of("level")) {
    const double level = e["v"].get<double>();
    EXPECT_LE(level, 0.75) << v.transcript();
    EXPECT_GE(level, 0.0);
    if (level == 0.75) ++atTone;
  }
  EXPECT_GE(atTone, 15) << "about 12 metered buffers a second over 2 s";
}

TEST_F(Dictation, EndOfInputActsAsStop) {
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_TRUE(v.waitFor("ready"));
  ASSERT_TRUE(daemon_->play(file("first.wav")));
  v.closeInput();
  v.drain();
  const auto exit = v.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(v.stderrText(), "");
  EXPECT_LE(wordErrorRate(kFirst, finalText(v)), 0.15);
}

// Whatever the environment tells the sound server's client library, nothing reaches standard
// error: a runtime folder owned by another user (as under sudo), and the library's own debug log.
TEST_F(Dictation, StandardErrorStaysEmptyWhateverTheClientLibraryIsTold) {
  TempDir foreign;
  if (::geteuid() != 0 || ::chown(foreign.path().c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "needs root to give a folder to another user";
  }
  {
    // The server is looked for in that folder, which the library complains about.
    auto sudoLike = env();
    sudoLike["XDG_RUNTIME_DIR"] = foreign.path();
    sudoLike.erase("PULSE_RUNTIME_PATH");
    sudoLike.erase("PULSE_SERVER");
    Voxlet probe({"--probe", "--locale", "en-US"}, sudoLike);
    ASSERT_TRUE(probe.waitFor("probe"));
    EXPECT_EQ(probe.wait().status, 0);
    EXPECT_EQ(probe.stderrText(), "");
  }
  auto verbose = env();
  verbose["PULSE_LOG"] = "4";
  Voxlet v({"--locale", "en-US"}, verbose);
  ASSERT_TRUE(v.waitFor("ready")) << v.transcript();
  ASSERT_TRUE(v.waitFor("level"));
  v.send("stop\n");
  v.drain();
  EXPECT_EQ(v.wait().status, 0);
  EXPECT_EQ(v.stderrText(), "");
  EXPECT_EQ(v.events().back(), json({{"t", "end"}}));
}

TEST_F(Dictation, SigtermEndsAtOnceWithoutALine) {
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_TRUE(v.waitFor("ready"));
  auto player = daemon_->startPlaying(file("first.wav"));
  ASSERT_TRUE(v.waitFor("text", 10s)) << "speech was heard";
  expectSigtermEndsQuietly(v);
  for (const auto& e : v.of("text")) EXPECT_FALSE(e.value("final", true));
  player->wait(10s);
}

TEST_F(Dictation, UnsupportedLocaleFallsBackToTheDefaultLanguage) {
  auto e = env();
  e["LANG"] = "en_GB.UTF-8";
  Voxlet v({"--locale", "ko-KR"}, e);
  dictate(v, "first.wav");
  EXPECT_EQ(v.wait().status, 0);
  EXPECT_EQ(v.stderrText(), "");
  EXPECT_LE(wordErrorRate(kFirst, finalText(v)), 0.15);
}

TEST_F(Dictation, NoDefaultSourceIsNoAudioInput) {
  ASSERT_TRUE(daemon_->pactl({"unload-module", "module-null-sink"}));
  Voxlet v({"--locale", "en-US"}, env());
  v.drain();
  const auto exit = v.wait();
  EXPECT_EQ(exit.status, 1);
  EXPECT_EQ(v.stderrText(), "");
  ASSERT_EQ(v.events().size(), 1u) << v.transcript();
  EXPECT_EQ(v.events()[0],
            json({{"t", "error"}, {"code", "unavailable"}, {"msg", "no audio input"}}));
}

// The microphone going away and coming back.

bool isLevel(const json& e) {
  return e.value("t", "") == "level";
}
class Interrupted : public Dictation {
 protected:
  // Dictates the first sentence and waits until voxlet has metered it and most of the silence after
  // it, so that the whole sentence reached the recogniser and every later level above 0 comes from
  // sound played afterwards, and until its last word has been recognised.
  void firstSentence(Voxlet& v) {
    ASSERT_TRUE(v.waitFor("ready")) << v.transcript();
    ASSERT_TRUE(daemon_->play(file("first.wav")));
    ASSERT_TRUE(v.waitUntil([](const json& e) { return isLevel(e) && e["v"] > 0.3; }, 10s));
    // About 0.8 s of the silence after it: enough for the recogniser to hear the pause.
    int silent = 0;
    ASSERT_TRUE(v.waitUntil(
        [&](const json& e) {
          if (isLevel(e)) silent = e["v"] == 0.0 ? silent + 1 : 0;
          return silent == 10;
        },
        10s));
    // And the recogniser has caught up with it (a slow one would still be given the whole
    // sentence; waiting keeps the final text from depending on its speed).
    if (v.of("text").empty() ||
        v.of("text").back().value("text", "").find("home") == std::string::npos) {
      ASSERT_TRUE(v.waitUntil(
          [](const json& e) {
            return e.value("t", "") == "text" &&
                   e.value("text", "").find("home") != std::string::npos;
          },
          10s))
          << v.transcript();
    }
  }
  // Plays the second sentence into sink, checks that it was metered, and stops.
  void secondSentenceThenStop(Voxlet& v, const std::string& sink) {
    ASSERT_TRUE(daemon_->play(file("second.wav"), sink));
    EXPECT_TRUE(v.waitUntil([](const json& e) { return isLevel(e) && e["v"] > 0.3; }, 5s))
        << "levels come back with the sound";
    v.send("stop\n");
    v.drain();
  }
  void expectBothSentencesInOrder(Voxlet& v) {
    const auto exit = v.wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(v.stderrText(), "");
    const std::string text = finalText(v);
    EXPECT_LE(wordErrorRate(std::string(kFirst) + " " + kSecond, text), 0.15) << v.transcript();
  }
};

TEST_F(Interrupted, ServerKilledAndStartedAgainKeepsTheTextFromBothSides) {
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_NO_FATAL_FAILURE(firstSentence(v));
  ASSERT_TRUE(daemon_->kill());
  ASSERT_TRUE(daemon_->restart()) << daemon_->problem();
  ASSERT_TRUE(daemon_->waitForRecording("vmic.monitor", 10s)) << "voxlet records again";
  ASSERT_NO_FATAL_FAILURE(secondSentenceThenStop(v, "vmic"));
  expectBothSentencesInOrder(v);
  EXPECT_EQ(v.of("ready").size(), 1u);
  EXPECT_TRUE(v.of("error").empty());
}

TEST_F(Interrupted, SourceUnloadedAndAnotherLoadedResumesCapture) {
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_NO_FATAL_FAILURE(firstSentence(v));
  ASSERT_TRUE(daemon_->pactl({"unload-module", "module-null-sink"}));
  // Another rate and channel count than the tap's.
  ASSERT_TRUE(daemon_->pactl({"load-module", "module-null-sink", "sink_name=vmic2", "format=s16le",
                              "rate=44100", "channels=2"}));
  ASSERT_TRUE(daemon_->waitForRecording("vmic2.monitor", 10s)) << "voxlet records again";
  ASSERT_NO_FATAL_FAILURE(secondSentenceThenStop(v, "vmic2"));
  expectBothSentencesInOrder(v);
}

TEST_F(Interrupted, StopWhileTheServerIsGoneEndsWithTheFinalText) {
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_NO_FATAL_FAILURE(firstSentence(v));
  ASSERT_TRUE(daemon_->kill());
  v.send("stop\n");
  v.drain();
  const auto exit = v.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(v.stderrText(), "");
  EXPECT_LE(wordErrorRate(kFirst, finalText(v)), 0.15) << v.transcript();
}

TEST_F(Interrupted, EndOfInputAndSigtermWhileTheServerIsGone) {
  {
    Voxlet v({"--locale", "en-US"}, env());
    ASSERT_NO_FATAL_FAILURE(firstSentence(v));
    ASSERT_TRUE(daemon_->kill());
    v.closeInput();
    v.drain();
    EXPECT_EQ(v.wait().status, 0);
    EXPECT_LE(wordErrorRate(kFirst, finalText(v)), 0.15) << v.transcript();
  }
  ASSERT_TRUE(daemon_->restart()) << daemon_->problem();
  {
    Voxlet v({"--locale", "en-US"}, env());
    ASSERT_TRUE(v.waitFor("ready")) << v.transcript();
    ASSERT_TRUE(daemon_->kill());
    expectSigtermEndsQuietly(v);
  }
}

TEST_F(Dictation, HungSoundServerIsOneErrorLineWithinThreeSeconds) {
  ASSERT_TRUE(daemon_->hang());
  const auto began = std::chrono::steady_clock::now();
  Voxlet v({"--locale", "en-US"}, env());
  ASSERT_TRUE(v.next(10s)) << "no line at all";
  EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
  v.drain();
  EXPECT_EQ(v.wait().status, 1);
  EXPECT_EQ(v.stderrText(), "");
  ASSERT_EQ(v.events().size(), 1u) << v.transcript();
  EXPECT_EQ(v.events()[0], json({{"t", "error"}, {"code", "unavailable"}, {"msg", "Timeout"}}));
  EXPECT_TRUE(daemon_->resume());
}

// Without a daemon.

std::map<std::string, std::string> noServerEnv(const TempDir& dir) {
  return {{"PULSE_SERVER", "unix:" + dir.path() + "/no-such-socket"},
          {"PULSE_RUNTIME_PATH", dir.path()},
          {"XDG_RUNTIME_DIR", dir.path()},
          {"HOME", dir.path()}};
}

TEST(DictationWithoutServer, NoSoundServerIsOneErrorLine) {
  TempDir dir;
  Voxlet v({"--locale", "en-US"}, noServerEnv(dir));
  v.drain();
  const auto exit = v.wait();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 1);
  EXPECT_EQ(v.stderrText(), "");
  ASSERT_EQ(v.events().size(), 1u) << v.transcript();
  const json& e = v.events()[0];
  EXPECT_EQ(e.value("t", ""), "error");
  EXPECT_EQ(e.value("code", ""), "unavailable");
  EXPECT_EQ(e.value("msg", ""), "Connection refused");
}

TEST(DictationWithoutServer, NoRecogniserForLocaleOrDefaultLanguage) {
  TempDir dir;
  auto env = noServerEnv(dir);
  env["LANG"] = "ko_KR.UTF-8";
  Voxlet v({"--locale", "ko-KR"}, env);
  v.drain();
  EXPECT_EQ(v.wait().status, 1);
  EXPECT_EQ(v.stderrText(), "");
  ASSERT_EQ(v.events().size(), 1u);
  EXPECT_EQ(v.events()[0],
            json({{"t", "error"}, {"code", "unavailable"}, {"msg", "no recognizer for ko-KR"}}));
}

TEST_F(Dictation, ProbeReportsEveryEnglishLocaleSupported) {
  // Given or taken from the environment, as dictation would take it.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--probe", "--locale", "en-US"}, "ko_KR.UTF-8"},
      {{"--probe", "--locale", "en-AU"}, "ko_KR.UTF-8"},
      {{"--probe"}, "en_GB.UTF-8"},
      {{"--probe"}, "en_IN"}};
  for (const auto& [args, lang] : cases) {
    SCOPED_TRACE(lang);
    auto e = env();
    e["LANG"] = lang;
    Voxlet v(args, e);
    v.drain();
    EXPECT_EQ(v.wait().status, 0);
    EXPECT_EQ(v.stderrText(), "");
    ASSERT_EQ(v.events().size(), 1u);
    EXPECT_EQ(v.events()[0],
              json({{"t", "probe"}, {"speech", 3}, {"mic", 3}, {"recognizer", true}}));
  }
}

TEST_F(Dictation, ProbeReportsAnUnsupportedLocale) {
  Voxlet v({"--locale", "ko-KR", "--probe"}, env());
  v.drain();
  EXPECT_EQ(v.wait().status, 0);
  EXPECT_EQ(v.stderrText(), "");
  ASSERT_EQ(v.events().size(), 1u);
  EXPECT_EQ(v.events()[0],
            json({{"t", "probe"}, {"speech", 3}, {"mic", 3}, {"recognizer", false}}));
}

TEST(ProbeWithoutServer, MicrophoneIsStillAuthorized) {
  TempDir dir;
  Voxlet v({"--probe", "--locale", "en_US"}, noServerEnv(dir));
  v.drain();
  EXPECT_EQ(v.wait().status, 0);
  EXPECT_EQ(v.stderrText(), "");
  ASSERT_EQ(v.events().size(), 1u);
  EXPECT_EQ(v.events()[0], json({{"t", "probe"}, {"speech", 3}, {"mic", 3}, {"recognizer", true}}));
}

}  // namespace
}  // namespace voxlet_test
