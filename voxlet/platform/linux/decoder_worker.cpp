#include "decoder_worker.h"

#include "transcriber.h"
#include "utterance_decoder.h"

namespace voxlet::linux_backend {

namespace {

int64_t micros(const platform::AudioBuffer& buffer, double rate) {
  return rate > 0 ? static_cast<int64_t>(buffer.frameLength() * 1e6 / rate) : 0;
}

}  // namespace

DecoderWorker::DecoderWorker(SpeechModel model, DecoderSettings settings,
                             const TranscriptFormatter& formatter)
    : model_(std::move(model)), settings_(std::move(settings)), formatter_(formatter) {}

DecoderWorker::~DecoderWorker() = default;

bool DecoderWorker::start() {
  if (!queue_.serving()) {
    stop();  // takes no jobs and reports itself unavailable
    return false;
  }
  std::shared_ptr<DecoderWorker> self = shared_from_this();
  queue_.async([self] { self->load(); });
  return true;
}

void DecoderWorker::load() {
  std::unique_ptr<UtteranceDecoder> decoder = settings_.makeDecoder
                                                  ? settings_.makeDecoder(model_, settings_)
                                                  : loadSphinxDecoder(model_, settings_);
  const bool loaded = decoder != nullptr;
  // Errors held back by the pacer go out later on this queue; the queue outlives the pipeline.
  transcriber_ = std::make_unique<Transcriber>(
      settings_, formatter_, std::move(decoder),
      [this](Transcriber::Clock::time_point due, std::function<void()> work) {
        queue_.asyncAfter(due, std::move(work));
      },
      [this] { return static_cast<double>(queuedMicros_.load()) / 1e6; });
  {
    std::lock_guard lock(mutex_);
    load_ = loaded ? Load::Loaded : Load::Failed;
  }
  loaded_.notify_all();
  // Most of the load (the search over the language model) comes after it is reported: the
  // request starts, and its audio queues behind this job.
  transcriber_->prepare();
}

bool DecoderWorker::waitUntilLoaded(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  loaded_.wait_for(lock, timeout, [this] { return load_ != Load::Pending || stopping_; });
  return load_ == Load::Loaded || (load_ == Load::Pending && !stopping_);
}

void DecoderWorker::serve(const std::shared_ptr<RequestState>& request) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  std::erase_if(served_, [](const std::weak_ptr<RequestState>& w) { return w.expired(); });
  served_.push_back(request);
}

void DecoderWorker::audio(const std::shared_ptr<RequestState>& request,
                          platform::AudioBufferPtr buffer) {
  const int64_t duration = micros(*buffer, request->sampleRate());
  queuedMicros_ += duration;
  post([this, request, buffer = std::move(buffer), duration](Transcriber& t) {
    queuedMicros_ -= duration;
    t.audio(request, *buffer);
  });
}

void DecoderWorker::end(const std::shared_ptr<RequestState>& request) {
  post([request](Transcriber& t) { t.end(request); });
}

void DecoderWorker::cancel(const std::shared_ptr<RequestState>& request) {
  post([request](Transcriber& t) { t.cancel(request); });
}

void DecoderWorker::post(std::function<void(Transcriber&)> job) {
  std::shared_ptr<DecoderWorker> self = shared_from_this();
  queue_.async([self, job = std::move(job)] { job(*self->transcriber_); });
}

void DecoderWorker::stop() {
  std::vector<std::weak_ptr<RequestState>> served;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    served.swap(served_);
  }
  loaded_.notify_all();
  for (auto& weak : served) {
    if (auto request = weak.lock()) request->close();
  }
  queue_.shutDown();
}

}  // namespace voxlet::linux_backend
