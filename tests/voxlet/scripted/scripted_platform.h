// A platform driven by a scenario (JSON), for process tests of voxlet. Every call that voxlet
// makes on it is counted and written as one line "name[ detail]" to a trace descriptor, and a
// script thread plays the scenario's steps, each waiting for a count of such calls before it
// acts (delivers a buffer, a recognition result, an error).
//
// Scenario keys (all optional):
//   locale              current locale identifier ("en_US")
//   recognizers         locales that have a recogniser (["en_US"])
//   defaultRecognizer   whether the default language has one (true)
//   available           recogniser availability (true)
//   speechStatus, micStatus       statuses read without prompting (3, 3)
//   speechAnswer        answer to the speech request, integer, or null for none (3)
//   micAnswer           answer to the microphone request, boolean, or null for none (true)
//   speechAnswerDelayMs, micAnswerDelayMs   delay before the answer (0)
//   punctuation         whether requests can add punctuation (true)
//   format              {"sampleRate": number or "nan", "channels": n} ({48000, 1})
//   startError          engine start fails with this description
//   startHangs          engine start never returns (false)
//   startWaitsForStop   engine start returns only once the engine has been stopped (false)
//   pauseAtStart        main() notes "main" and waits for one byte of standard input before it
//                       runs voxlet (false)
//   clock               wall-clock readings returned by successive now() calls, the last one
//                       repeated; real time when absent
//   steps               the script (see ScriptedPlatform::runStep)
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace scripted {

using nlohmann::json;
namespace vp = voxlet::platform;

class ScriptedEngine;
class ScriptedRecognizer;

class ScriptedPlatform : public vp::Platform {
 public:
  ScriptedPlatform(json scenario, int traceFd);

  // Starts the script thread (detached).
  void startScript();

  std::string currentLocaleIdentifier() override;
  vp::SpeechAuthorization speechAuthorizationStatus() override;
  void requestSpeechAuthorization(std::function<void(vp::SpeechAuthorization)> handler) override;
  std::shared_ptr<vp::SpeechRecognizer> recognizerForLocale(const std::string& localeId) override;
  std::shared_ptr<vp::SpeechRecognizer> defaultRecognizer() override;
  std::shared_ptr<vp::RecognitionRequest> makeRecognitionRequest() override;
  bool supportsPunctuation() override;
  vp::MicrophoneAuthorization microphoneAuthorizationStatus() override;
  void requestMicrophoneAccess(std::function<void(bool)> handler) override;
  std::unique_ptr<vp::AudioEngine> makeAudioEngine() override;
  double now() override;

  // Counts a call and writes its trace line.
  void note(const std::string& name, const std::string& detail = {});
  const json& scenario() const { return scenario_; }

  // Engine and recogniser state, guarded by the platform's mutex.
  void setTap(vp::TapBlock block);
  void setStarted();
  void registerTask(int requestIndex, vp::ResultHandler handler);
  // Blocks the calling thread for good (an engine start that never returns).
  [[noreturn]] void hang();
  // Blocks until the count-th call named name.
  void waitFor(const std::string& name, int count);

 private:
  void runScript();
  void runStep(const json& step);
  void deliverBuffer(const json& shape);
  void deliverResult(const json& call);
  std::shared_ptr<ScriptedRecognizer> makeRecognizer(const std::string& name);

  const json scenario_;
  const int traceFd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, int> counts_;
  std::mutex tapMutex_;  // held while a tap callback runs and while the tap changes
  vp::TapBlock tap_;
  bool started_ = false;
  std::function<void(vp::SpeechAuthorization)> pendingSpeech_;  // requests never answered
  std::function<void(bool)> pendingMic_;
  std::map<int, vp::ResultHandler> handlers_;  // by request index, kept for late deliveries
  int requests_ = 0;
  int latestTask_ = 0;
  size_t clockReads_ = 0;
};

}  // namespace scripted
