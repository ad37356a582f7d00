#include "transcriber.h"

#include <algorithm>

#include "transcript_format.h"

namespace voxlet::linux_backend {

namespace {

constexpr const char* kNotLoaded = "the speech model could not be loaded";

// Backlog (seconds of audio) over which the decoder hurries and work that only improves words
// already decoded gives way, and under which the decoder stops hurrying.
constexpr double kHurryOver = 1.0;
constexpr double kCaughtUpUnder = 0.3;

std::vector<std::string> joinedWords(std::vector<std::string> a,
                                     const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

Transcriber::Transcriber(const DecoderSettings& settings, const TranscriptFormatter& formatter,
                         std::unique_ptr<UtteranceDecoder> decoder, Later later, Backlog backlog)
    : settings_(settings),
      formatter_(formatter),
      decoder_(std::move(decoder)),
      later_(std::move(later)),
      backlog_(std::move(backlog)),
      segmenter_(static_cast<size_t>(std::max(settings.batchSamples, 160)),
                 static_cast<size_t>(settings.maxSeconds * Resampler::kOutputRate)),
      stabiliser_(settings.partialHoldSeconds) {
  if (settings.suppressNoise) suppressor_ = std::make_unique<NoiseSuppressor>();
}

void Transcriber::prepare() {
  if (decoder_) decoder_->prepare();
}

void Transcriber::audio(const RequestPtr& request, const platform::AudioBuffer& buffer) {
  const float* const* data = buffer.floatChannelData();
  const uint32_t n = buffer.frameLength();
  if (!data || n == 0 || buffer.channelCount() == 0 || isFailing(request)) return;
  switch (segmenter_.route(request.get())) {
    case Segmenter::Route::Decode:
    case Segmenter::Route::Carry:
      break;
    case Segmenter::Route::New:
      if (!take(request)) return;
      break;
  }
  if (!resample(request, data[0], n)) return;
  decodeWaiting(false);
}

void Transcriber::end(const RequestPtr& request) {
  if (isFailing(request)) return;
  switch (segmenter_.route(request.get())) {
    case Segmenter::Route::Carry:
      return;  // closed at a pause already
    case Segmenter::Route::Decode:
      break;
    case Segmenter::Route::New:
      if (!take(request)) return;
      break;
  }
  if (!flushResampler(request)) return;
  decodeWaiting(true);
  if (current_ == request) finishRequest(false);
}

void Transcriber::cancel(const RequestPtr& request) {
  if (!segmenter_.drop(request.get())) return;
  if (current_ == request) decoder_->dropUtterance();
  current_.reset();
  carriedFrom_.reset();
  closeStream();
}

bool Transcriber::take(const RequestPtr& request) {
  if (request->isClosed()) return false;
  if (!decoder_) {
    fail(request, kNotLoaded);
    return false;
  }
  if (current_) decoder_->dropUtterance();
  segmenter_.begin(request.get());
  current_ = request;
  carriedFrom_.reset();
  said_.clear();
  lastShown_.clear();
  stabiliser_.reset();
  return true;
}

// One resampler serves the whole stream, so the audio carried from one request to the next goes
// through unbroken; it starts again only when the capture rate changes.
bool Transcriber::resample(const RequestPtr& request, const float* samples, size_t n) {
  const double rate = request->sampleRate();
  std::string error;
  resampled_.clear();
  bool ok = true;
  if (!resampler_.isOpen() || resampler_.inputRate() != rate) {
    ok = resampler_.flush(resampled_, &error) && resampler_.open(rate, &error);
  }
  ok = ok && resampler_.process(samples, n, resampled_, &error);
  passOn(false);
  if (!ok) fail(request, error);
  return ok;
}

bool Transcriber::flushResampler(const RequestPtr& request) {
  std::string error;
  resampled_.clear();
  const bool ok = resampler_.flush(resampled_, &error);
  passOn(true);
  if (!ok) fail(request, error);
  return ok;
}

void Transcriber::decodeWaiting(bool rest) {
  while (current_) {
    const std::span<const int16_t> batch = segmenter_.next(rest);
    if (batch.empty()) return;
    if (segmenter_.utteranceSamples() == 0) {
      // A new utterance: the width of its search follows the backlog.
      const double behind = secondsBehind();
      if (!hurried_ && behind > kHurryOver) hurried_ = true;
      if (hurried_ && behind < kCaughtUpUnder) hurried_ = false;
      decoder_->setHurried(hurried_);
    }
    std::string error;
    if (!decoder_->process(batch, &error)) return fail(current_, error);
    const RequestPtr request = current_;
    const Segmenter::Cut cut =
        segmenter_.decoded(batch.size(), decoder_->inSpeech(), request->audioEnded);
    if (cut == Segmenter::Cut::None) {
      reportPartial();
      continue;
    }
    // Finishing the utterance may take a while (a short first one is decoded again): the
    // request's audio may end meanwhile, and then it goes on with the audio that follows the pause.
    said_ = joinedWords(std::move(said_), decoder_->endUtterance());
    stabiliser_.reset();
    if (cut == Segmenter::Cut::Request) {
      if (!request->audioEnded) return finishRequest(true);
      segmenter_.reopen();
    }
  }
}

void Transcriber::passOn(bool last) {
  if (!suppressor_) return segmenter_.append(resampled_);
  cleaned_.clear();
  suppressor_->process(resampled_.data(), resampled_.size(), cleaned_);
  if (last) suppressor_->flush(cleaned_);
  segmenter_.append(cleaned_);
}

// The stream breaks off: what waits in the resampler and the suppressor belongs to no request.
// The suppressor keeps its noise estimate, since the next request hears the same room.
void Transcriber::closeStream() {
  resampler_.close();
  if (suppressor_) suppressor_->dropWaiting();
}

double Transcriber::secondsBehind() const {
  return (backlog_ ? backlog_() : 0.0) +
         static_cast<double>(segmenter_.waiting()) / Resampler::kOutputRate;
}

// Reports the steadied words when they change.
void Transcriber::reportPartial() {
  if (!current_->partials || !segmenter_.heardSpeech()) return;
  const double audioTime =
      static_cast<double>(segmenter_.utteranceSamples()) / Resampler::kOutputRate;
  std::vector<std::string> shown =
      joinedWords(said_, stabiliser_.update(decoder_->hypothesis(), audioTime));
  if (shown == lastShown_) return;
  lastShown_ = std::move(shown);
  pacer_.resultDelivered();
  current_->deliver(
      platform::RecognitionResult{
          formatter_.formatSegment(lastShown_, false, current_->punctuation), false},
      std::nullopt, false);
}

void Transcriber::finishRequest(bool handOver) {
  const RequestPtr request = std::move(current_);
  current_.reset();
  if (!handOver) said_ = joinedWords(std::move(said_), decoder_->endUtterance());
  const std::vector<std::string> words = std::move(said_);
  said_.clear();
  if (handOver) {
    carriedFrom_ = request;
  } else {
    segmenter_.ended();
    closeStream();
  }
  pacer_.resultDelivered();
  request->deliver(
      platform::RecognitionResult{formatter_.formatSegment(words, true, request->punctuation),
                                  true},
      std::nullopt, true);
}

// Closes the request with an error, spaced from the errors before it by the pacer.
void Transcriber::fail(const RequestPtr& request, const std::string& message) {
  if (current_ == request) dropCurrent();
  std::erase_if(failing_, [](const std::weak_ptr<RequestState>& w) {
    const RequestPtr r = w.lock();
    return !r || r->isClosed();
  });
  failing_.push_back(request);
  const Clock::time_point now = Clock::now();
  const Clock::time_point due = pacer_.errorDue(now);
  auto deliver = [request, message] {
    request->deliver(std::nullopt, platform::RecognitionError{message}, true);
  };
  if (due <= now) {
    deliver();
  } else {
    later_(due, std::move(deliver));
  }
}

bool Transcriber::isFailing(const RequestPtr& request) {
  return std::any_of(failing_.begin(), failing_.end(),
                     [&](const std::weak_ptr<RequestState>& w) { return w.lock() == request; });
}

void Transcriber::dropCurrent() {
  if (decoder_) decoder_->dropUtterance();
  segmenter_.drop(current_.get());
  current_.reset();
  closeStream();
}

}  // namespace voxlet::linux_backend
