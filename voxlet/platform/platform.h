// The platform services voxlet runs on: speech recognition with its authorization, audio capture
// with its authorization, the current locale and the wall clock. The dictation logic calls only
// these interfaces; a backend (the Linux services, or a scripted one in tests) implements them.
//
// Callbacks (authorization answers, tap blocks, result handlers) may be called on any thread the
// backend chooses; the logic only posts work from them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxlet::platform {

// Speech-recognition authorization, numbered as the platform numbers it.
enum class SpeechAuthorization : int {
  NotDetermined = 0,
  Denied = 1,
  Restricted = 2,
  Authorized = 3
};
// Microphone authorization, numbered as the platform numbers it: 1 and 2 mean the opposite of
// what they mean for speech.
enum class MicrophoneAuthorization : int {
  NotDetermined = 0,
  Restricted = 1,
  Denied = 2,
  Authorized = 3
};

// The platform's number for a status, as the probe report and the refusal message write it.
constexpr int rawValue(SpeechAuthorization status) {
  return static_cast<int>(status);
}
constexpr int rawValue(MicrophoneAuthorization status) {
  return static_cast<int>(status);
}

// One captured buffer: per-channel 32-bit float samples (or none), and its valid frame count.
class AudioBuffer {
 public:
  // A float buffer; every channel holds at least frameLength samples.
  AudioBuffer(std::vector<std::vector<float>> channels, uint32_t frameLength);
  AudioBuffer(const AudioBuffer&) = delete;  // the channel pointers point into this object
  AudioBuffer& operator=(const AudioBuffer&) = delete;
  // A buffer whose samples are not 32-bit float: floatChannelData() is null.
  static std::shared_ptr<const AudioBuffer> nonFloat(uint32_t channels, uint32_t frameLength);

  // One pointer per channel, or null when the samples are not 32-bit float.
  const float* const* floatChannelData() const { return isFloat_ ? pointers_.data() : nullptr; }
  uint32_t frameLength() const { return frameLength_; }
  uint32_t channelCount() const { return static_cast<uint32_t>(channels_.size()); }
  // The samples, moved out of a buffer that nobody reads any more, for a producer to fill again.
  std::vector<std::vector<float>> takeChannels() && {
    pointers_.clear();
    return std::move(channels_);
  }

 private:
  AudioBuffer() = default;
  std::vector<std::vector<float>> channels_;
  std::vector<const float*> pointers_;
  uint32_t frameLength_ = 0;
  bool isFloat_ = true;
};
using AudioBufferPtr = std::shared_ptr<const AudioBuffer>;

struct AudioFormat {
  double sampleRate = 0;  // Hz
  uint32_t channelCount = 0;
};

// Called once per captured buffer, on a thread of the engine.
using TapBlock = std::function<void(AudioBufferPtr)>;

// The engine's input node: the default audio input.
class InputNode {
 public:
  virtual ~InputNode() = default;
  virtual AudioFormat outputFormatForBus(uint32_t bus) = 0;
  virtual void installTapOnBus(uint32_t bus, uint32_t bufferSize, AudioFormat format,
                               TapBlock block) = 0;
  // After it returns no tap callback starts.
  virtual void removeTapOnBus(uint32_t bus) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  virtual InputNode& inputNode() = 0;
  virtual void prepare() = 0;
  // True on success; otherwise false with a human-readable description in *error.
  virtual bool startAndReturnError(std::string* error) = 0;
  virtual void stop() = 0;
};

struct RecognitionResult {
  std::string formattedString;  // best transcription of the whole request so far
  bool isFinal = false;         // the request's last result
};

struct RecognitionError {
  std::string localizedDescription;
};

// Called zero or more times, on a thread of the recogniser's choosing.
using ResultHandler =
    std::function<void(std::optional<RecognitionResult>, std::optional<RecognitionError>)>;

// A buffer recognition request: audio is appended to it until endAudio.
class RecognitionRequest {
 public:
  virtual ~RecognitionRequest() = default;
  virtual void setShouldReportPartialResults(bool on) = 0;
  virtual void setAddsPunctuation(bool on) = 0;
  virtual void appendAudioPCMBuffer(AudioBufferPtr buffer) = 0;
  // No more audio follows (audio appended later is ignored); the recogniser then closes the
  // request with a final result or an error.
  virtual void endAudio() = 0;
};

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  // The task stops; no further results matter.
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual bool isAvailable() = 0;
  // Starts serving the request; the handler holds whatever it captures until the task ends.
  virtual std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request, ResultHandler handler) = 0;
  // Dictation is about to use this recogniser: a backend may start loading its model now, off
  // the calling thread. Never called in probe mode.
  virtual void preload() {}
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Locale.
  virtual std::string currentLocaleIdentifier() = 0;

  // Speech recognition.
  virtual SpeechAuthorization speechAuthorizationStatus() = 0;  // never prompts
  virtual void requestSpeechAuthorization(std::function<void(SpeechAuthorization)> handler) = 0;
  virtual std::shared_ptr<SpeechRecognizer> recognizerForLocale(const std::string& localeId) = 0;
  virtual std::shared_ptr<SpeechRecognizer> defaultRecognizer() = 0;  // the default language's
  virtual std::shared_ptr<RecognitionRequest> makeRecognitionRequest() = 0;
  // Whether requests can add punctuation on this system.
  virtual bool supportsPunctuation() = 0;

  // Audio capture.
  virtual MicrophoneAuthorization microphoneAuthorizationStatus() = 0;  // never prompts
  virtual void requestMicrophoneAccess(std::function<void(bool)> handler) = 0;
  virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;

  // Wall-clock time in seconds since 1970-01-01 00:00 UTC.
  virtual double now() = 0;
};

}  // namespace voxlet::platform
