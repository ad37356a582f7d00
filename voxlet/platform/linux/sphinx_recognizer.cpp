#include "sphinx_recognizer.h"

#include <optional>

#include "decoder_worker.h"
#include "request_state.h"

namespace voxlet::linux_backend {

namespace {

class SphinxTask : public platform::RecognitionTask {
 public:
  SphinxTask(std::shared_ptr<RequestState> request, std::weak_ptr<DecoderWorker> worker)
      : request_(std::move(request)), worker_(std::move(worker)) {}

  void cancel() override {
    request_->close();
    if (auto w = worker_.lock()) w->cancel(request_);
  }

 private:
  std::shared_ptr<RequestState> request_;
  std::weak_ptr<DecoderWorker> worker_;
};

// A task for a request this recogniser cannot serve: it does nothing.
class InertTask : public platform::RecognitionTask {
 public:
  void cancel() override {}
};

}  // namespace

SphinxRequest::SphinxRequest(std::function<double()> sampleRate)
    : state_(std::make_shared<RequestState>(std::move(sampleRate))) {}

SphinxRequest::~SphinxRequest() = default;

void SphinxRequest::setShouldReportPartialResults(bool on) {
  state_->partials = on;
}

void SphinxRequest::setAddsPunctuation(bool on) {
  state_->punctuation = on;
}

void SphinxRequest::appendAudioPCMBuffer(platform::AudioBufferPtr buffer) {
  if (!buffer) return;
  std::lock_guard lock(mutex_);
  if (ended_) return;
  if (!attached_) {
    early_.push_back(std::move(buffer));
    return;
  }
  if (auto w = worker_.lock()) w->audio(state_, std::move(buffer));
}

void SphinxRequest::endAudio() {
  std::lock_guard lock(mutex_);
  if (ended_) return;
  ended_ = true;
  state_->audioEnded = true;
  if (!attached_) return;
  if (auto w = worker_.lock()) w->end(state_);
}

void SphinxRequest::attach(const std::shared_ptr<DecoderWorker>& worker) {
  std::lock_guard lock(mutex_);
  if (attached_) return;
  attached_ = true;
  worker_ = worker;
  worker->serve(state_);
  for (auto& buffer : early_) worker->audio(state_, std::move(buffer));
  early_.clear();
  if (ended_) worker->end(state_);
}

namespace {

// The typed form of the model's language, from its folder name ("en-us").
const TranscriptFormatter& formatterFor(const SpeechModel& model) {
  const std::optional<LocaleParts> parts = parseLocale(model.name);
  return formatterForLanguage(parts ? parts->language : "");
}

}  // namespace

SphinxRecognizer::SphinxRecognizer(SpeechModel model, DecoderSettings settings)
    : model_(std::move(model)), settings_(std::move(settings)), formatter_(formatterFor(model_)) {}

// The worker's queue may still be finishing a job; it releases the decoder when done.
SphinxRecognizer::~SphinxRecognizer() {
  std::lock_guard lock(mutex_);
  if (worker_) worker_->stop();
}

// The model's files must be readable and, once loading has been tried, the decoder loaded.
// Loading starts here if preload() has not started it; it takes about a tenth of a second, and the
// search over the language model is built after it.
bool SphinxRecognizer::isAvailable() {
  if (!model_.readable()) return false;
  return startedWorker()->waitUntilLoaded(settings_.availabilityWait);
}

void SphinxRecognizer::preload() {
  startedWorker();
}

std::shared_ptr<DecoderWorker> SphinxRecognizer::startedWorker() {
  std::lock_guard lock(mutex_);
  if (!worker_) {
    worker_ = std::make_shared<DecoderWorker>(model_, settings_, formatter_);
    worker_->start();
  }
  return worker_;
}

std::shared_ptr<platform::RecognitionTask> SphinxRecognizer::recognitionTask(
    std::shared_ptr<platform::RecognitionRequest> request, platform::ResultHandler handler) {
  auto* sphinx = dynamic_cast<SphinxRequest*>(request.get());
  if (!sphinx) return std::make_shared<InertTask>();
  std::shared_ptr<DecoderWorker> worker = startedWorker();
  sphinx->state()->setHandler(std::move(handler));
  sphinx->attach(worker);
  return std::make_shared<SphinxTask>(sphinx->state(), worker);
}

}  // namespace voxlet::linux_backend
