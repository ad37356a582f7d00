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
// shared by the microphone check and the engine) and the sample rate of the tapped audio.
struct LinuxPlatform::Shared {
  std::mutex mutex;
  std::shared_ptr<PulseConnection> connection;
  std::atomic<double> captureRate{0.0};

  std::shared_ptr<PulseConnection> connect(int* code, std::string* error) {
    std::lock_guard lock(mutex);
    if (connection) {
      if (code) *code = 0;
      return connection;
    }
    int c = 0;
    connection = PulseConnection::open(&c, error);
    if (code) *code = c;
    return connection;
  }

  int microphoneStatus() {
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
int LinuxPlatform::speechAuthorizationStatus() {
  return platform::kAuthorized;
}

void LinuxPlatform::requestSpeechAuthorization(std::function<void(int)> handler) {
  answerElsewhere([h = std::move(handler)] { h(platform::kAuthorized); });
}

std::shared_ptr<platform::SpeechRecognizer> LinuxPlatform::recognizerFor(
    std::optional<SpeechModel> model) {
  if (!model) return nullptr;
  return std::make_shared<SphinxRecognizer>(
      withDerivedDictionary(std::move(*model), dictionaryFolder_));
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

// A request asked for punctuation ends each closing result with "." or "?" (transcript_format).
bool LinuxPlatform::supportsPunctuation() {
  return true;
}

int LinuxPlatform::microphoneAuthorizationStatus() {
  return shared_->microphoneStatus();
}

void LinuxPlatform::requestMicrophoneAccess(std::function<void(bool)> handler) {
  answerElsewhere([shared = shared_, h = std::move(handler)] {
    h(shared->microphoneStatus() == platform::kAuthorized);
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
