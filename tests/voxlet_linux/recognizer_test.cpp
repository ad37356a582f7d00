// The Linux backend without a sound server: locale, model lookup, authorization answers and the
// pocketsphinx recogniser fed from sound files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "linux_platform.h"
#include "locale_model.h"
#include "pulse_daemon.h"
#include "sphinx_recognizer.h"
#include "wav.h"

namespace voxlet_test {
namespace {

using namespace std::chrono_literals;
using voxlet::linux_backend::DecoderSettings;
using voxlet::linux_backend::findModel;
using voxlet::linux_backend::LinuxPlatform;
using voxlet::linux_backend::localeFromEnvironment;
using voxlet::linux_backend::parseLocale;
using voxlet::linux_backend::SphinxRecognizer;
using voxlet::linux_backend::SphinxRequest;
using voxlet::platform::AudioBuffer;
using voxlet::platform::RecognitionError;
using voxlet::platform::RecognitionResult;
using voxlet::platform::SpeechAuthorization;

const std::string kModels = LinuxPlatform::defaultModelRoot();

// --- Locale -----------------------------------------------------------------------------------

std::string localeWith(std::map<std::string, std::string> env) {
  return localeFromEnvironment([&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  });
}

TEST(Locale, TakesTheFirstSetVariableWithoutCodesetAndModifier) {
  EXPECT_EQ(localeWith({{"LANG", "ko_KR.UTF-8"}}), "ko_KR");
  EXPECT_EQ(localeWith({{"LC_MESSAGES", "de_DE@euro"}, {"LANG", "ko_KR.UTF-8"}}), "de_DE");
  EXPECT_EQ(localeWith({{"LC_ALL", "fr_CA.UTF-8@x"}, {"LC_MESSAGES", "de_DE"}}), "fr_CA");
  EXPECT_EQ(localeWith({{"LC_ALL", ""}, {"LC_MESSAGES", ""}, {"LANG", "en_GB.utf8"}}), "en_GB");
}

TEST(Locale, PosixOrNothingIsEnglishPosix) {
  EXPECT_EQ(localeWith({}), "en_US_POSIX");
  EXPECT_EQ(localeWith({{"LANG", "C"}}), "en_US_POSIX");
  EXPECT_EQ(localeWith({{"LANG", "C.UTF-8"}}), "en_US_POSIX");
  EXPECT_EQ(localeWith({{"LC_ALL", "POSIX"}, {"LANG", "ko_KR.UTF-8"}}), "en_US_POSIX");
}

TEST(Locale, ParsesLanguageAndRegion) {
  auto p = parseLocale("zh-Hans-CN");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->language, "zh");
  EXPECT_EQ(p->region, "CN");
  p = parseLocale("en_us_POSIX");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->language, "en");
  EXPECT_EQ(p->region, "US");
  p = parseLocale("es-419");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->region, "419");
  EXPECT_FALSE(parseLocale(""));
  EXPECT_FALSE(parseLocale("--probe"));
}

// --- Model lookup -----------------------------------------------------------------------------

TEST(Models, EveryEnglishLocaleFindsTheInstalledModel) {
  for (const char* id : {"en-US", "en_US", "en-us", "en_US_POSIX", "en", "en_US.UTF-8", "en-GB",
                         "en_AU.UTF-8", "en-IN", "en-Latn-CA", "EN_nz"}) {
    auto m = findModel(kModels, id);
    ASSERT_TRUE(m) << id;
    EXPECT_EQ(m->name, "en-us") << id;
    EXPECT_TRUE(m->readable()) << id;
  }
}

TEST(Models, OtherLanguagesFindNone) {
  for (const char* id : {"ko-KR", "ko", "", "x", "fr_FR", "eng-US", "e-US"}) {
    EXPECT_FALSE(findModel(kModels, id)) << id;
  }
}

// A model folder with empty files, enough for the lookup.
void fakeModel(const std::string& root, const std::string& name) {
  namespace fs = std::filesystem;
  fs::create_directories(root + "/" + name + "/" + name);
  for (const char* f : {"mdef", "means", "variances", "transition_matrices"}) {
    std::ofstream(root + "/" + name + "/" + name + "/" + f) << "x";
  }
  std::ofstream(root + "/" + name + "/" + name + ".lm.bin") << "x";
  std::ofstream(root + "/" + name + "/" + name + "-phone.lm.bin") << "x";
  std::ofstream(root + "/" + name + "/dict-" + name + ".dict") << "x";
}

TEST(Models, LookupFollowsLanguageThenRegion) {
  TempDir root;
  fakeModel(root.path(), "ko-kr");
  fakeModel(root.path(), "pt-br");
  fakeModel(root.path(), "pt-pt");
  auto m = findModel(root.path(), "ko_KR.UTF-8");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->languageModel, root.path() + "/ko-kr/ko-kr.lm.bin");
  EXPECT_EQ(m->acoustic, root.path() + "/ko-kr/ko-kr");
  EXPECT_EQ(m->dictionary, root.path() + "/ko-kr/dict-ko-kr.dict");
  EXPECT_EQ(findModel(root.path(), "pt-PT")->name, "pt-pt");
  EXPECT_EQ(findModel(root.path(), "pt")->name, "pt-br");
  EXPECT_EQ(findModel(root.path(), "pt-AO")->name, "pt-br");  // no model of its own
  EXPECT_FALSE(findModel(root.path(), "en-US"));
}

// The installed English model under root/en-us, its files linked, except `broken`, which is
// copied and cut to half its size.
void linkedEnglishModel(const std::string& root, const std::string& broken = "") {
  namespace fs = std::filesystem;
  const fs::path from = fs::path(kModels) / "en-us";
  const fs::path to = fs::path(root) / "en-us";
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = to / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      fs::create_directories(target);
    } else if (entry.path().filename() == broken) {
      fs::copy_file(entry.path(), target);
      fs::resize_file(target, fs::file_size(target) / 2);
    } else {
      fs::create_symlink(entry.path(), target);
    }
  }
}

TEST(Models, RecogniserIsAvailableWhileItsModelLoadsAndItsFilesStay) {
  TempDir root;
  linkedEnglishModel(root.path());
  LinuxPlatform platform(root.path());
  auto r = platform.recognizerForLocale("en-US");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->isAvailable());
  std::filesystem::remove(root.path() + "/en-us/en-us/means");
  EXPECT_FALSE(r->isAvailable());
}

TEST(Models, ReadableModelThatFailsToLoadIsUnavailable) {
  TempDir root;
  linkedEnglishModel(root.path(), "means");
  LinuxPlatform platform(root.path());
  auto preloaded = platform.recognizerForLocale("en-US");
  ASSERT_TRUE(preloaded);
  preloaded->preload();
  EXPECT_FALSE(preloaded->isAvailable());
  EXPECT_FALSE(preloaded->isAvailable()) << "asked again";
  // Asked without a preload, the question itself starts the load and waits for it.
  auto asked = platform.recognizerForLocale("en-US");
  EXPECT_FALSE(asked->isAvailable());
}

// --- Platform answers -------------------------------------------------------------------------

using Vars = std::map<std::string, std::string>;

class ScopedEnv {
 public:
  explicit ScopedEnv(const Vars& set) {
    for (const char* k : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* v = std::getenv(k);
      saved_[k] = v ? std::optional<std::string>(v) : std::nullopt;
      ::unsetenv(k);
    }
    for (const auto& [k, v] : set) ::setenv(k.c_str(), v.c_str(), 1);
  }
  ~ScopedEnv() {
    for (const auto& [k, v] : saved_) {
      if (v) {
        ::setenv(k.c_str(), v->c_str(), 1);
      } else {
        ::unsetenv(k.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(Platform, SpeechIsAuthorizedAndAnsweredOnAnotherThread) {
  LinuxPlatform platform;
  EXPECT_EQ(platform.speechAuthorizationStatus(), SpeechAuthorization::Authorized);
  std::promise<std::pair<SpeechAuthorization, std::thread::id>> answer;
  platform.requestSpeechAuthorization([&](SpeechAuthorization status) {
    answer.set_value({status, std::this_thread::get_id()});
  });
  auto f = answer.get_future();
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  auto [status, thread] = f.get();
  EXPECT_EQ(status, SpeechAuthorization::Authorized);
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST(Platform, DefaultRecogniserFollowsTheCurrentLanguage) {
  LinuxPlatform platform;
  {
    ScopedEnv env(Vars{{"LANG", "en_GB.UTF-8"}});
    EXPECT_EQ(platform.currentLocaleIdentifier(), "en_GB");
    EXPECT_TRUE(platform.recognizerForLocale("en_GB"));
    EXPECT_TRUE(platform.defaultRecognizer());
  }
  {
    ScopedEnv env(Vars{});
    EXPECT_EQ(platform.currentLocaleIdentifier(), "en_US_POSIX");
    EXPECT_TRUE(platform.defaultRecognizer());
  }
  {
    ScopedEnv env(Vars{{"LC_ALL", "ko_KR.UTF-8"}});
    EXPECT_FALSE(platform.defaultRecognizer());
  }
}

// Requests can add punctuation when the rules of the recogniser in use have it: that of the
// locale, or of the default language when the locale has no model.
TEST(Platform, PunctuationFollowsTheLanguageOfTheRecogniserInUse) {
  TempDir root;
  fakeModel(root.path(), "en-us");
  fakeModel(root.path(), "ko-kr");
  LinuxPlatform platform(root.path());
  ASSERT_TRUE(platform.recognizerForLocale("ko-KR"));
  EXPECT_FALSE(platform.supportsPunctuation());
  ASSERT_TRUE(platform.recognizerForLocale("en-US"));
  EXPECT_TRUE(platform.supportsPunctuation());
  ScopedEnv env(Vars{{"LANG", "ko_KR.UTF-8"}});
  EXPECT_FALSE(platform.recognizerForLocale("ja-JP"));
  ASSERT_TRUE(platform.defaultRecognizer());
  EXPECT_FALSE(platform.supportsPunctuation());
}

TEST(Platform, CreatingARecogniserIsCheap) {
  LinuxPlatform platform;
  const auto start = std::chrono::steady_clock::now();
  auto r = platform.recognizerForLocale("en-US");
  r.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 20ms);
}

TEST(Platform, NowIsWallClock) {
  LinuxPlatform platform;
  const double t = static_cast<double>(std::time(nullptr));
  EXPECT_NEAR(platform.now(), t, 2.0);
}

// --- Recognition ------------------------------------------------------------------------------

// Sound files made once for all recognition tests.
class Speech : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string base = dir_->path();
    ok_ = synthesize(kSentence, base + "/s16.wav") &&
          sox({base + "/s16.wav", "-r", "48000", "-e", "floating-point", "-b", "32",
               base + "/s48.wav"}) &&
          sox({base + "/s48.wav", base + "/s48pause.wav", "pad", "0.3", "2.0"}) &&
          sox({base + "/s16.wav", "-r", "8000", base + "/narrow.wav", "sinc", "300-3400"}) &&
          sox({base + "/narrow.wav", "-r", "48000", "-e", "floating-point", "-b", "32",
               base + "/phone48pause.wav", "pad", "0.3", "0.8"});
    if (ok_) {
      s16_ = new Sound(*readWav(base + "/s16.wav"));
      s48_ = new Sound(*readWav(base + "/s48.wav"));
      s48pause_ = new Sound(*readWav(base + "/s48pause.wav"));
      phone48pause_ = new Sound(*readWav(base + "/phone48pause.wav"));
    }
  }
  static void TearDownTestSuite() {
    delete s16_;
    delete s48_;
    delete s48pause_;
    delete phone48pause_;
    delete dir_;
  }
  void SetUp() override { ASSERT_TRUE(ok_) << "flite or sox failed"; }

  static constexpr const char* kSentence = "please call me back when you get home";
  static inline TempDir* dir_ = nullptr;
  static inline bool ok_ = false;
  static inline Sound* s16_ = nullptr;
  static inline Sound* s48_ = nullptr;
  static inline Sound* s48pause_ = nullptr;
  static inline Sound* phone48pause_ = nullptr;  // telephone band, 300-3400 Hz
};

// Results of one task, in order.
struct Collector {
  std::mutex m;
  std::condition_variable cv;
  std::vector<RecognitionResult> results;
  std::vector<RecognitionError> errors;
  std::vector<std::thread::id> threads;

  voxlet::platform::ResultHandler handler() {
    return [this](std::optional<RecognitionResult> r, std::optional<RecognitionError> e) {
      std::lock_guard lock(m);
      if (r) results.push_back(*r);
      if (e) errors.push_back(*e);
      threads.push_back(std::this_thread::get_id());
      cv.notify_all();
    };
  }
  bool waitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, timeout, [&] {
      return !errors.empty() || (!results.empty() && results.back().isFinal);
    });
  }
};

void append(SphinxRequest& request, const Sound& sound, size_t from = 0, size_t to = SIZE_MAX) {
  to = std::min(to, sound.samples.size());
  for (size_t i = from; i < to; i += 2048) {
    const size_t n = std::min<size_t>(2048, to - i);
    std::vector<std::vector<float>> ch{
        std::vector<float>(sound.samples.begin() + i, sound.samples.begin() + i + n)};
    request.appendAudioPCMBuffer(
        std::make_shared<const AudioBuffer>(std::move(ch), static_cast<uint32_t>(n)));
  }
}

std::shared_ptr<SphinxRequest> requestAt(double rate) {
  auto r = std::make_shared<SphinxRequest>([rate] { return rate; });
  r->setShouldReportPartialResults(true);
  return r;
}

// Every result of one 16 kHz request that hears the whole sound and then ends; none when it
// failed or did not close.
std::vector<RecognitionResult> resultsOfOneRequest(voxlet::platform::SpeechRecognizer& recognizer,
                                                   const Sound& sound, bool punctuate) {
  auto request = requestAt(16000);
  request->setAddsPunctuation(punctuate);
  Collector c;
  auto task = recognizer.recognitionTask(request, c.handler());
  append(*request, sound);
  request->endAudio();
  EXPECT_TRUE(c.waitClosed(30s));
  std::lock_guard lock(c.m);
  EXPECT_TRUE(c.errors.empty());
  if (!c.errors.empty() || c.results.empty() || !c.results.back().isFinal) return {};
  return c.results;
}

std::shared_ptr<SphinxRecognizer> english(DecoderSettings settings = {}) {
  auto model = findModel(kModels, "en-US");
  return model ? std::make_shared<SphinxRecognizer>(*model, settings) : nullptr;
}

TEST_F(Speech, PauseAfterSpeechClosesTheRequestWithTheSentence) {
  auto recognizer = english();
  ASSERT_TRUE(recognizer);
  recognizer->preload();
  auto request = requestAt(48000);
  Collector c;
  auto task = recognizer->recognitionTask(request, c.handler());
  append(*request, *s48pause_);
  ASSERT_TRUE(c.waitClosed(30s));
  std::lock_guard lock(c.m);
  ASSERT_TRUE(c.errors.empty()) << c.errors[0].localizedDescription;
  ASSERT_GE(c.results.size(), 3u) << "partial results while speech goes on";
  EXPECT_TRUE(c.results.back().isFinal);
  for (size_t i = 0; i + 1 < c.results.size(); ++i) {
    EXPECT_FALSE(c.results[i].isFinal);
    if (i > 0) {
      EXPECT_NE(c.results[i].formattedString, c.results[i - 1].formattedString);
    }
  }
  EXPECT_LE(wordErrorRate(kSentence, c.results.back().formattedString), 0.2)
      << c.results.back().formattedString;
  EXPECT_NE(c.threads.front(), std::this_thread::get_id());
}

// The words of a result in lower case, without punctuation.
std::set<std::string> wordSet(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) {
    std::erase_if(w, [](char ch) { return ch == '.' || ch == ',' || ch == '?'; });
    std::transform(w.begin(), w.end(), w.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    out.insert(w);
  }
  return out;
}

// A microphone far from what the model expects: with the cepstral mean the model starts from, the
// first sentence comes out as "when you get home". Decoded again from its start once a second of
// it has given its own mean, it is right, however far behind the decoder runs (audio appended all
// at once looks like a decoder running behind), and so is the next one. No word heard with the
// model's mean shows in a partial result only to vanish from the final one.
TEST_F(Speech, FirstSentencesThroughATelephoneBandMicrophoneAreRecognisedWhole) {
  auto recognizer = english();
  ASSERT_TRUE(recognizer);
  for (int sentence = 0; sentence < 2; ++sentence) {
    auto request = requestAt(48000);
    Collector c;
    auto task = recognizer->recognitionTask(request, c.handler());
    append(*request, *phone48pause_);
    ASSERT_TRUE(c.waitClosed(30s)) << "sentence " << sentence;
    std::lock_guard lock(c.m);
    ASSERT_TRUE(c.errors.empty()) << c.errors[0].localizedDescription;
    const std::string& final = c.results.back().formattedString;
    EXPECT_LE(wordErrorRate(kSentence, final), 0.2) << "sentence " << sentence << ": " << final;
    const std::set<std::string> kept = wordSet(final);
    for (const RecognitionResult& partial : c.results) {
      for (const std::string& w : wordSet(partial.formattedString)) {
        EXPECT_TRUE(kept.count(w)) << "sentence " << sentence << ": \"" << w << "\" of \""
                                   << partial.formattedString << "\" is not in \"" << final << "\"";
      }
    }
  }
}

// The end of audio closes a request with a final result. Results carry typed text: capitalised
// always, with the full stop only on the closing result of a request that asked for punctuation.
TEST_F(Speech, EndAudioClosesWithAFinalTypedResultPunctuatedWhenAsked) {
  auto recognizer = english();
  ASSERT_TRUE(recognizer);
  for (bool punctuate : {true, false}) {
    SCOPED_TRACE(punctuate ? "punctuation asked for" : "no punctuation");
    const std::vector<RecognitionResult> results =
        resultsOfOneRequest(*recognizer, *s16_, punctuate);
    ASSERT_GE(results.size(), 2u);
    for (const RecognitionResult& r : results) {
      ASSERT_FALSE(r.formattedString.empty());
      EXPECT_TRUE(std::isupper(static_cast<unsigned char>(r.formattedString[0])))
          << r.formattedString;
      const bool stop = r.formattedString.back() == '.';
      EXPECT_EQ(stop, punctuate && r.isFinal) << r.formattedString;
    }
    EXPECT_LE(wordErrorRate(kSentence, results.back().formattedString), 0.2)
        << results.back().formattedString;
  }
}

// A model of a language without formatting rules gives the decoder's words as they are: no
// capital, no full stop, even when punctuation is asked for.
TEST_F(Speech, ALanguageWithoutRulesGivesTheDecodersWords) {
  auto model = findModel(kModels, "en-US");
  ASSERT_TRUE(model);
  model->name = "xx-yy";  // the English files under the name of a language without rules
  auto recognizer = std::make_shared<SphinxRecognizer>(*model);
  const std::vector<RecognitionResult> results = resultsOfOneRequest(*recognizer, *s16_, true);
  ASSERT_FALSE(results.empty());
  const std::string& text = results.back().formattedString;
  EXPECT_LE(wordErrorRate(kSentence, text), 0.2) << text;
  EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char ch) {
    return std::isupper(static_cast<unsigned char>(ch)) ||
           std::ispunct(static_cast<unsigned char>(ch));
  })) << text;
}

TEST_F(Speech, AudioBeforeTheTaskIsKept) {
  auto recognizer = english();
  auto request = requestAt(48000);
  append(*request, *s48_);
  request->endAudio();
  Collector c;
  auto task = recognizer->recognitionTask(request, c.handler());
  ASSERT_TRUE(c.waitClosed(30s));
  std::lock_guard lock(c.m);
  EXPECT_LE(wordErrorRate(kSentence, c.results.back().formattedString), 0.2);
}

TEST_F(Speech, EndAudioWithoutAudioGivesAnEmptyFinalResult) {
  auto recognizer = english();
  auto request = requestAt(48000);
  Collector c;
  auto task = recognizer->recognitionTask(request, c.handler());
  request->endAudio();
  ASSERT_TRUE(c.waitClosed(30s));
  std::lock_guard lock(c.m);
  ASSERT_EQ(c.results.size(), 1u);
  EXPECT_TRUE(c.results[0].isFinal);
  EXPECT_EQ(c.results[0].formattedString, "");
}

TEST_F(Speech, TimeLimitClosesTheRequest) {
  DecoderSettings settings;
  settings.maxSeconds = 1.5;
  auto recognizer = english(settings);
  auto request = requestAt(48000);
  Collector c;
  auto task = recognizer->recognitionTask(request, c.handler());
  append(*request, *s48_);  // speech without a pause, longer than the limit
  ASSERT_TRUE(c.waitClosed(30s));
  std::lock_guard lock(c.m);
  EXPECT_TRUE(c.results.back().isFinal);
  EXPECT_FALSE(c.results.back().formattedString.empty());
  EXPECT_LT(wordErrorRate(kSentence, c.results.back().formattedString), 1.0);
}

TEST_F(Speech, CancelStopsAllResults) {
  auto recognizer = english();
  auto request = requestAt(48000);
  Collector c;
  auto task = recognizer->recognitionTask(request, c.handler());
  append(*request, *s48_, 0, s48_->samples.size() / 2);
  task->cancel();
  size_t seen;
  {
    std::lock_guard lock(c.m);
    seen = c.results.size() + c.errors.size();
  }
  append(*request, *s48_, s48_->samples.size() / 2);
  request->endAudio();
  // A later request on the same recogniser still works, so the worker has passed the cancelled
  // one's audio.
  auto next = requestAt(48000);
  Collector c2;
  auto task2 = recognizer->recognitionTask(next, c2.handler());
  next->endAudio();
  ASSERT_TRUE(c2.waitClosed(30s));
  std::lock_guard lock(c.m);
  EXPECT_EQ(c.results.size() + c.errors.size(), seen);
}

TEST_F(Speech, RequestsFollowOneAnother) {
  auto recognizer = english();
  for (int i = 0; i < 2; ++i) {
    auto request = requestAt(48000);
    Collector c;
    auto task = recognizer->recognitionTask(request, c.handler());
    append(*request, *s48pause_);
    ASSERT_TRUE(c.waitClosed(30s)) << i;
    std::lock_guard lock(c.m);
    EXPECT_LE(wordErrorRate(kSentence, c.results.back().formattedString), 0.2) << i;
  }
}

// The caller learns that the decoder closed a request at a pause only after the fact, and goes
// on appending audio to it meanwhile: that audio reaches the next request, not the bin. When the
// caller has already ended the audio before the decoder reached the pause (a decoder running
// behind), no request follows, and both sentences reach the one result.
TEST_F(Speech, AudioAppendedAfterThePauseReachesTheNextRequestOrThisOneWhenItsAudioEnded) {
  for (const bool endedEarly : {false, true}) {
    auto recognizer = english();
    auto first = requestAt(48000);
    Collector c1;
    auto task1 = recognizer->recognitionTask(first, c1.handler());
    append(*first, *s48pause_);
    append(*first, *s48_);  // said right after the pause, before the next request opens
    if (endedEarly) first->endAudio();
    ASSERT_TRUE(c1.waitClosed(30s)) << endedEarly;
    std::string firstText, secondText;
    {
      std::lock_guard lock(c1.m);
      ASSERT_TRUE(c1.errors.empty()) << c1.errors[0].localizedDescription;
      firstText = c1.results.back().formattedString;
    }
    if (endedEarly) {
      EXPECT_LE(wordErrorRate(std::string(kSentence) + " " + kSentence, firstText), 0.2)
          << firstText;
      continue;
    }
    auto second = requestAt(48000);
    Collector c2;
    auto task2 = recognizer->recognitionTask(second, c2.handler());
    second->endAudio();
    ASSERT_TRUE(c2.waitClosed(30s));
    {
      std::lock_guard lock(c2.m);
      ASSERT_TRUE(c2.errors.empty()) << c2.errors[0].localizedDescription;
      secondText = c2.results.back().formattedString;
    }
    EXPECT_LE(wordErrorRate(kSentence, firstText), 0.2) << firstText;
    EXPECT_LE(wordErrorRate(kSentence, secondText), 0.2) << secondText;
  }
}

// On a clearly spoken sentence, the words of a partial result other than its newest one (which
// may still change) begin the final text. Partial words wait until they stand, but the sentence's
// last word does not wait for the final text: it shows in the pause after it.
TEST_F(Speech, PartialsGrowTowardsTheFinalTextAndReachItsLastWordBeforeIt) {
  auto recognizer = english();
  auto request = requestAt(48000);
  Collector c;
  auto task = recognizer->recognitionTask(request, c.handler());
  append(*request, *s48pause_);
  ASSERT_TRUE(c.waitClosed(30s));
  std::lock_guard lock(c.m);
  ASSERT_TRUE(c.errors.empty());
  ASSERT_GE(c.results.size(), 2u);
  const std::string final = c.results.back().formattedString + " ";
  for (size_t i = 0; i + 1 < c.results.size(); ++i) {
    const std::string& partial = c.results[i].formattedString;
    const std::string settled = partial.substr(0, partial.rfind(' ') + 1);
    EXPECT_EQ(final.compare(0, settled.size(), settled), 0) << partial << " / " << final;
  }
  auto words = [](const std::string& text) {
    std::istringstream in(text);
    size_t n = 0;
    for (std::string w; in >> w;) ++n;
    return n;
  };
  const RecognitionResult& lastPartial = c.results[c.results.size() - 2];
  EXPECT_EQ(words(lastPartial.formattedString), words(c.results.back().formattedString))
      << lastPartial.formattedString << " / " << c.results.back().formattedString;
}

TEST_F(Speech, DestroyingARecogniserReleasesItsHandlers) {
  auto recognizer = english();
  auto request = requestAt(48000);
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  // The handler holds the request, as the dictation logic's does.
  auto task = recognizer->recognitionTask(
      request,
      [alive, request](std::optional<RecognitionResult>, std::optional<RecognitionError>) {});
  alive.reset();
  append(*request, *s48_, 0, 4096);
  recognizer.reset();
  EXPECT_TRUE(watch.expired());
}

// The sphinx libraries log a great deal while loading; none of it may reach standard error.
TEST_F(Speech, LoadingAndDecodingWriteNothingToStandardError) {
  TempDir dir;
  const std::string path = dir.path() + "/stderr";
  std::fflush(stderr);
  const int saved = ::dup(2);
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(file);
  ::dup2(::fileno(file), 2);
  {
    auto recognizer = english();
    recognizer->preload();
    auto request = requestAt(48000);
    Collector c;
    auto task = recognizer->recognitionTask(request, c.handler());
    append(*request, *s48_);
    request->endAudio();
    c.waitClosed(30s);
  }
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::fclose(file);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

// A recogniser whose model cannot load fails every request; a caller that opens a new request
// for each failed one (as the dictation logic does) is slowed down rather than left spinning.
TEST_F(Speech, RequestsThatKeepFailingAreAnsweredEverMoreSlowly) {
  TempDir root;
  linkedEnglishModel(root.path(), "means");
  auto model = findModel(root.path(), "en-US");
  ASSERT_TRUE(model);
  auto recognizer = std::make_shared<SphinxRecognizer>(*model);
  std::vector<std::chrono::steady_clock::time_point> failedAt;
  for (int i = 0; i < 6; ++i) {
    auto request = requestAt(48000);
    Collector c;
    auto task = recognizer->recognitionTask(request, c.handler());
    append(*request, *s48_);  // every buffer after the first finds the request closed
    ASSERT_TRUE(c.waitClosed(30s)) << i;
    failedAt.push_back(std::chrono::steady_clock::now());
    std::lock_guard lock(c.m);
    EXPECT_TRUE(c.results.empty());
    ASSERT_EQ(c.errors.size(), 1u) << i;
    EXPECT_EQ(c.errors[0].localizedDescription, "the speech model could not be loaded");
  }
  // Pauses of 50, 100, 200, 400 and 800 ms between the six errors; half of that is the least
  // any scheduling delay can leave.
  EXPECT_GE(failedAt.back() - failedAt.front(), 775ms);
  EXPECT_GE(failedAt[5] - failedAt[4], failedAt[2] - failedAt[1]) << "the pause grows";
}

}  // namespace
}  // namespace voxlet_test
