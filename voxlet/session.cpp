#include "session.h"

#include "events.h"
#include "level.h"
#include "state.h"

namespace voxlet {

namespace {

constexpr uint32_t kBus = 0;
constexpr uint32_t kTapFrames = 2048;
constexpr std::chrono::milliseconds kStopDeadline{2000};

Event textEvent(const std::string& text, bool final) {
  return Event{{"t", "text"}, {"text", text}, {"final", final}};
}

}  // namespace

Session::Session(std::shared_ptr<platform::SpeechRecognizer> recognizer)
    : recognizer_(std::move(recognizer)), engine_(host().makeAudioEngine()) {}

void Session::start() {
  if (!engine_) fail("unavailable", "no audio input");
  platform::InputNode& input = engine_->inputNode();
  const platform::AudioFormat format = input.outputFormatForBus(kBus);
  if (!(format.sampleRate > 0) || format.channelCount == 0) {
    fail("unavailable", "no audio input");
  }

  std::weak_ptr<Session> weak = weak_from_this();
  input.installTapOnBus(kBus, kTapFrames, format, [weak](platform::AudioBufferPtr buffer) {
    std::shared_ptr<Session> self = weak.lock();
    if (!self) return;
    self->q.async([self, buffer = std::move(buffer)] { self->capture(buffer); });
  });

  engine_->prepare();
  std::string error;
  if (!engine_->startAndReturnError(&error)) fail("unavailable", error);

  std::shared_ptr<Session> self = shared_from_this();
  q.async([self] { self->openRequest(); });
  emit(Event{{"t", "ready"}});
}

void Session::stop() {
  std::shared_ptr<Session> self = shared_from_this();
  q.async([self] { self->stopStep(); });
}

std::string Session::joined() const {
  if (committed_.empty()) return current_;
  if (current_.empty()) return committed_;
  return committed_ + " " + current_;
}

void Session::openRequest() {
  std::shared_ptr<platform::RecognitionRequest> opened = host().makeRecognitionRequest();
  opened->setShouldReportPartialResults(true);
  if (host().supportsPunctuation()) opened->setAddsPunctuation(true);
  request_ = opened;
  current_.clear();

  std::weak_ptr<Session> weak = weak_from_this();
  task_ = recognizer_->recognitionTask(
      opened, [weak, opened](std::optional<platform::RecognitionResult> result,
                             std::optional<platform::RecognitionError> error) {
        std::shared_ptr<Session> self = weak.lock();
        if (!self) return;
        self->q.async([self, opened, result = std::move(result), error = std::move(error)] {
          self->deliver(opened, result, error);
        });
      });
}

void Session::capture(const platform::AudioBufferPtr& buffer) {
  // Buffers the tap posted before the stop step removed it still go to the open request, which
  // ignores audio after its end.
  if (request_ && buffer) request_->appendAudioPCMBuffer(buffer);
  level(buffer);
}

void Session::level(const platform::AudioBufferPtr& buffer) {
  const double now = host().now();
  if (now - lastLevelAt_ < kLevelInterval) return;
  lastLevelAt_ = now;
  if (!buffer) return;
  if (std::optional<float> v = levelOf(*buffer)) {
    emit(Event{{"t", "level"}, {"v", static_cast<double>(*v)}});
  }
}

void Session::deliver(const std::shared_ptr<platform::RecognitionRequest>& from,
                      const std::optional<platform::RecognitionResult>& result,
                      const std::optional<platform::RecognitionError>& error) {
  if (!request_ || request_.get() != from.get()) return;  // a closed segment's late call
  if (result) {
    current_ = result->formattedString;
    emit(textEvent(joined(), false));
    if (!result->isFinal && !error) return;
  } else if (!error) {
    return;
  }

  // The recogniser has closed the request: keep its text and go on with a new one.
  committed_ = joined();
  current_.clear();
  request_.reset();
  task_.reset();
  if (stopping_) {
    finish();
  } else {
    openRequest();
  }
}

void Session::stopStep() {
  if (stopping_) return;
  stopping_ = true;
  if (engine_) {
    engine_->inputNode().removeTapOnBus(kBus);
    engine_->stop();
  }
  if (!request_) {
    finish();
    return;
  }
  request_->endAudio();
  std::shared_ptr<Session> self = shared_from_this();
  q.asyncAfter(Executor::Clock::now() + kStopDeadline, [self] { self->finish(); });
}

void Session::finish() {
  if (ended_) return;
  ended_ = true;
  if (task_) task_->cancel();
  emitAndExit({textEvent(joined(), true), Event{{"t", "end"}}}, 0);
}

}  // namespace voxlet
