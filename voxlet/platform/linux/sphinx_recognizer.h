// On-device speech recognition with pocketsphinx: one decoder per recogniser, loaded and run on
// the recogniser's own worker thread (the decoder is not thread-safe).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "locale_model.h"
#include "platform/platform.h"
#include "transcript_format.h"

namespace voxlet::linux_backend {

class DecoderWorker;
struct Stream;

// Tuning of the decoder and of when a request closes on its own.
struct DecoderSettings {
  int pauseFrames = 50;      // 10 ms frames of silence after speech that end an utterance
  double maxSeconds = 60.0;  // audio after which a request closes
  int chunkSamples = 1600;   // 16 kHz samples per decoder call (100 ms)
  // 16 kHz samples gathered before decoding: the decoder works best on its data in batches.
  int batchSamples = 1600;
  // Audio time for which a partial word must stand before it counts as sure, and for which the
  // decoder must disagree with a shown word before it is replaced.
  double partialHoldSeconds = 0.2;
  // Further decoder options, as option and value pairs.
  std::vector<std::string> decoderOptions{};
  // How long isAvailable() waits for the decoder to load before it answers from the files.
  std::chrono::milliseconds availabilityWait{15000};
};

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

  const std::shared_ptr<Stream>& stream() const { return stream_; }

 private:
  std::shared_ptr<Stream> stream_;
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
  // Starts the worker thread, which loads the decoder at once.
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
  std::thread thread_;
};

}  // namespace voxlet::linux_backend
