// One dictation run: captures audio, feeds it to the recogniser one request (segment) after
// another, and keeps the running transcript until it is stopped.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "dispatch.h"
#include "platform/platform.h"

namespace voxlet {

class Session : public std::enable_shared_from_this<Session> {
 public:
  // Builds the session; starts nothing. Create it with std::make_shared.
  explicit Session(std::shared_ptr<platform::SpeechRecognizer> recognizer);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Main thread, once: opens the microphone, queues the first request and sends "ready". Ends the
  // process through fail() when audio cannot start.
  void start();
  // Any thread: queues the stop step and returns.
  void stop();

 private:
  // Everything below runs on q.
  std::string joined() const;
  void openRequest();
  void finish();
  void level(const platform::AudioBufferPtr& buffer);
  void capture(const platform::AudioBufferPtr& buffer);
  void deliver(const std::shared_ptr<platform::RecognitionRequest>& from,
               const std::optional<platform::RecognitionResult>& result,
               const std::optional<platform::RecognitionError>& error);
  void stopStep();

  const std::shared_ptr<platform::SpeechRecognizer> recognizer_;
  const std::unique_ptr<platform::AudioEngine> engine_;
  std::shared_ptr<platform::RecognitionRequest> request_;
  std::shared_ptr<platform::RecognitionTask> task_;
  std::string committed_;  // transcript of all closed segments
  std::string current_;    // best transcription of the open segment
  bool stopping_ = false;
  bool ended_ = false;
  double lastLevelAt_ = 0.0;  // wall-clock seconds of the last metered buffer
  SerialQueue q{"voxlet"};
};

}  // namespace voxlet
