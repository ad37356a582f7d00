// On-device speech recognition with pocketsphinx: one decoder per recogniser, loaded and run on
// the recogniser's own serial worker (the decoder is not thread-safe).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "decoder_settings.h"
#include "locale_model.h"
#include "platform/platform.h"
#include "transcript_format.h"

namespace voxlet::linux_backend {

class DecoderWorker;
class RequestState;

// A buffer request. Its audio is channel 0 of the appended buffers, at the sample rate that
// sampleRate() gives when the first buffer reaches the decoder.
class SphinxRequest : public platform::RecognitionRequest {
 public:
  explicit SphinxRequest(std::function<double()> sampleRate);
  ~SphinxRequest() override;
  void setShouldReportPartialResults(bool on) override;
  void setAddsPunctuation(bool on) override;
  void appendAudioPCMBuffer(platform::AudioBufferPtr buffer) override;
  void endAudio() override;

  // Hands the request to a worker, with the audio appended so far; once only.
  void attach(const std::shared_ptr<DecoderWorker>& worker);
  const std::shared_ptr<RequestState>& state() const { return state_; }

 private:
  const std::shared_ptr<RequestState> state_;
  std::mutex mutex_;
  std::weak_ptr<DecoderWorker> worker_;  // set once a task serves the request
  bool attached_ = false;
  std::vector<platform::AudioBufferPtr> early_;  // audio appended before the task started
  bool ended_ = false;
};

class SphinxRecognizer : public platform::SpeechRecognizer {
 public:
  explicit SphinxRecognizer(SpeechModel model, DecoderSettings settings = {});
  ~SphinxRecognizer() override;
  SphinxRecognizer(const SphinxRecognizer&) = delete;
  SphinxRecognizer& operator=(const SphinxRecognizer&) = delete;

  // True when the model's files are readable and the decoder has loaded (waits for the load).
  bool isAvailable() override;
  std::shared_ptr<platform::RecognitionTask> recognitionTask(
      std::shared_ptr<platform::RecognitionRequest> request,
      platform::ResultHandler handler) override;
  // Starts the worker, which loads the decoder at once.
  void preload() override;

  const SpeechModel& model() const { return model_; }
  // How its results are typed: by the rules of the model's language.
  const TranscriptFormatter& formatter() const { return formatter_; }

 private:
  std::shared_ptr<DecoderWorker> startedWorker();

  const SpeechModel model_;
  const DecoderSettings settings_;
  const TranscriptFormatter& formatter_;
  std::mutex mutex_;
  std::shared_ptr<DecoderWorker> worker_;
};

}  // namespace voxlet::linux_backend
