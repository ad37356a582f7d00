#include "linux_platform.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "derived_dictionary.h"
#include "locale_model.h"
#include "pulse_engine.h"
#include "sphinx_recognizer.h"
#include "threads.h"

namespace voxlet::linux_backend {

namespace {

// Runs an answer on a thread of its own, or here when no thread can be started.
void answerElsewhere(std::function<void()> answer) {
  try {
    std::thread([answer] {
      blockTerminationSignals();
      answer();
    }).detach();
  } catch (const std::system_error&) {
    answer();
  }
}

}  // namespace

// State that outlives calls answered on other threads: the server connection (opened once and
// shared by the microphone check and the engine), the sample rate of the tapped audio, and
// whether results are punctuated.
struct LinuxPlatform::Shared {
  SharedConnection connection;
  std::atomic<double> captureRate{0.0};
  // Whether the formatter of the recogniser last handed out punctuates. Dictation uses that one:
  // a process makes the default language's recogniser only when its locale has none.
  std::atomic<bool> punctuates{false};

  std::shared_ptr<platform::SpeechRecognizer> recognizer(SpeechModel model) {
    auto made = std::make_shared<SphinxRecognizer>(std::move(model));
    punctuates = made->formatter().punctuates;
    return made;
  }

  std::shared_ptr<PulseConnection> connect(int* code, std::string* error) {
    return connection.get(code, error);
  }

  platform::MicrophoneAuthorization microphoneStatus() {
    int code = 0;
    connect(&code, nullptr);
    return microphoneStatusFor(code);
  }
};

LinuxPlatform::LinuxPlatform(std::string modelRoot, std::string dictionaryFolder)
    : modelRoot_(std::move(modelRoot)),
      dictionaryFolder_(std::move(dictionaryFolder)),
      shared_(std::make_shared<Shared>()) {}

LinuxPlatform::~LinuxPlatform() = default;

std::string LinuxPlatform::defaultModelRoot() {
  return VOXLET_MODEL_DIR;
}

std::string LinuxPlatform::defaultDictionaryFolder() {
  return folderBesideExecutable(VOXLET_DICTIONARY_FOLDER);
}

std::string LinuxPlatform::currentLocaleIdentifier() {
  return localeFromEnvironment();
}

// Recognition runs on the device, and Linux asks no permission of native programs for it.
platform::SpeechAuthorization LinuxPlatform::speechAuthorizationStatus() {
  return platform::SpeechAuthorization::Authorized;
}

void LinuxPlatform::requestSpeechAuthorization(
    std::function<void(platform::SpeechAuthorization)> handler) {
  answerElsewhere([h = std::move(handler)] { h(platform::SpeechAuthorization::Authorized); });
}

std::shared_ptr<platform::SpeechRecognizer> LinuxPlatform::recognizerFor(
    std::optional<SpeechModel> model) {
  if (!model) return nullptr;
  return shared_->recognizer(withDerivedDictionary(std::move(*model), dictionaryFolder_));
}

std::shared_ptr<platform::SpeechRecognizer> LinuxPlatform::recognizerForLocale(
    const std::string& localeId) {
  return recognizerFor(findModel(modelRoot_, localeId));
}

std::shared_ptr<platform::SpeechRecognizer> LinuxPlatform::defaultRecognizer() {
  const auto parts = parseLocale(currentLocaleIdentifier());
  if (!parts) return nullptr;
  return recognizerFor(findModelForLanguage(modelRoot_, parts->language));
}

std::shared_ptr<platform::RecognitionRequest> LinuxPlatform::makeRecognitionRequest() {
  return std::make_shared<SphinxRequest>([shared = shared_] { return shared->captureRate.load(); });
}

// A request asked for punctuation ends each closing result with "." or "?", when the rules of
// the recogniser's language have them (transcript_format).
bool LinuxPlatform::supportsPunctuation() {
  return shared_->punctuates;
}

platform::MicrophoneAuthorization LinuxPlatform::microphoneAuthorizationStatus() {
  return shared_->microphoneStatus();
}

void LinuxPlatform::requestMicrophoneAccess(std::function<void(bool)> handler) {
  answerElsewhere([shared = shared_, h = std::move(handler)] {
    h(shared->microphoneStatus() == platform::MicrophoneAuthorization::Authorized);
  });
}

std::unique_ptr<platform::AudioEngine> LinuxPlatform::makeAudioEngine() {
  auto shared = shared_;
  return std::make_unique<PulseAudioEngine>(
      [shared](std::string* error) { return shared->connect(nullptr, error); },
      [shared](platform::AudioFormat format) { shared->captureRate = format.sampleRate; });
}

double LinuxPlatform::now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace voxlet::linux_backend
