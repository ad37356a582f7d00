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
    : recognizer(std::move(recognizer)), engine(host().makeAudioEngine()) {}

void Session::start() {
  if (!engine) fail("unavailable", "no audio input");
  platform::InputNode& input = engine->inputNode();
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

  engine->prepare();
  std::string error;
  if (!engine->startAndReturnError(&error)) fail("unavailable", error);

  std::shared_ptr<Session> self = shared_from_this();
  q.async([self] { self->openRequest(); });
  emit(Event{{"t", "ready"}});
}

void Session::stop() {
  std::shared_ptr<Session> self = shared_from_this();
  q.async([self] { self->stopStep(); });
}

std::string Session::joined() const {
  if (committed.empty()) return current;
  if (current.empty()) return committed;
  return committed + " " + current;
}

void Session::openRequest() {
  std::shared_ptr<platform::RecognitionRequest> opened = host().makeRecognitionRequest();
  opened->setShouldReportPartialResults(true);
  if (host().supportsPunctuation()) opened->setAddsPunctuation(true);
  request = opened;
  current.clear();

  std::weak_ptr<Session> weak = weak_from_this();
  task = recognizer->recognitionTask(
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
  if (request && buffer) request->appendAudioPCMBuffer(buffer);
  level(buffer);
}

void Session::level(const platform::AudioBufferPtr& buffer) {
  const double now = host().now();
  if (now - lastLevelAt < kLevelInterval) return;
  lastLevelAt = now;
  if (!buffer) return;
  if (std::optional<float> v = levelOf(*buffer)) {
    emit(Event{{"t", "level"}, {"v", static_cast<double>(*v)}});
  }
}

void Session::deliver(const std::shared_ptr<platform::RecognitionRequest>& from,
                      const std::optional<platform::RecognitionResult>& result,
                      const std::optional<platform::RecognitionError>& error) {
  if (!request || request.get() != from.get()) return;  // a closed segment's late call
  if (result) {
    current = result->formattedString;
    emit(textEvent(joined(), false));
    if (!result->isFinal && !error) return;
  } else if (!error) {
    return;
  }

  // The recogniser has closed the request: keep its text and go on with a new one.
  committed = joined();
  current.clear();
  request.reset();
  task.reset();
  if (stopping) {
    finish();
  } else {
    openRequest();
  }
}

void Session::stopStep() {
  if (stopping) return;
  stopping = true;
  if (engine) {
    engine->inputNode().removeTapOnBus(kBus);
    engine->stop();
  }
  if (!request) {
    finish();
    return;
  }
  request->endAudio();
  std::shared_ptr<Session> self = shared_from_this();
  q.asyncAfter(Executor::Clock::now() + kStopDeadline, [self] { self->finish(); });
}

void Session::finish() {
  if (ended) return;
  ended = true;
  if (task) task->cancel();
  emitAndExit({textEvent(joined(), true), Event{{"t", "end"}}}, 0);
}

}  // namespace voxlet
