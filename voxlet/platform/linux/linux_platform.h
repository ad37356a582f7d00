// The platform services of voxlet on a Linux desktop: the locale from the environment, a
// pocketsphinx recogniser per installed model, and capture through the sound server.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "locale_model.h"
#include "platform/platform.h"

namespace voxlet::linux_backend {

class LinuxPlatform : public platform::Platform {
 public:
  // modelRoot holds one pocketsphinx model folder per "language-region"; dictionaryFolder the
  // dictionaries derived from them (derived_dictionary.h).
  explicit LinuxPlatform(std::string modelRoot = defaultModelRoot(),
                         std::string dictionaryFolder = defaultDictionaryFolder());
  ~LinuxPlatform() override;

  // The installed models' folder, fixed at build time.
  static std::string defaultModelRoot();
  // The derived dictionaries where the build puts them beside the program, in the build tree as
  // when installed.
  static std::string defaultDictionaryFolder();

  std::string currentLocaleIdentifier() override;

  platform::SpeechAuthorization speechAuthorizationStatus() override;
  void requestSpeechAuthorization(
      std::function<void(platform::SpeechAuthorization)> handler) override;
  std::shared_ptr<platform::SpeechRecognizer> recognizerForLocale(
      const std::string& localeId) override;
  std::shared_ptr<platform::SpeechRecognizer> defaultRecognizer() override;
  std::shared_ptr<platform::RecognitionRequest> makeRecognitionRequest() override;
  bool supportsPunctuation() override;

  platform::MicrophoneAuthorization microphoneAuthorizationStatus() override;
  void requestMicrophoneAccess(std::function<void(bool)> handler) override;
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override;

  double now() override;

 private:
  struct Shared;
  std::shared_ptr<platform::SpeechRecognizer> recognizerFor(std::optional<SpeechModel> model);

  const std::string modelRoot_;
  const std::string dictionaryFolder_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace voxlet::linux_backend
