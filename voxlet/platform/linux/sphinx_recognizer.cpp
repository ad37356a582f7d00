#include "sphinx_recognizer.h"

#include <pocketsphinx.h>
#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "decoder_loader.h"
#include "partial_stabiliser.h"
#include "threads.h"
#include "transcript_format.h"

namespace voxlet::linux_backend {

namespace {

constexpr double kDecoderRate = 16000.0;

using Clock = std::chrono::steady_clock;

// Errors of requests that fail one after another, without any result between them, go out
// spaced by a growing pause: whoever opens a new request for each failed one then waits too.
constexpr auto kFirstRetryPause = std::chrono::milliseconds(50);
constexpr auto kLongestRetryPause = std::chrono::milliseconds(1000);

// The longest first utterance decoded again (16 kHz samples). Beyond it the running mean has
// adapted on its own, and decoding it again would only delay the result.
constexpr size_t kLongestDecodedAgain = 8 * 16000;

// Audio carried from a request the decoder closed to the next one, at most (16 kHz samples).
constexpr size_t kMostCarried = 30 * 16000;

struct SoxrDeleter {
  void operator()(soxr_t s) const { soxr_delete(s); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

// The words of the decoder's current hypothesis.
std::vector<std::string> hypothesis(ps_decoder_t* ps) {
  const char* hyp = ps_get_hyp(ps, nullptr);
  return hypothesisWords(hyp ? hyp : "");
}

// The typed form of the model's language, from its folder name ("en-us").
const TranscriptFormatter& formatterFor(const SpeechModel& model) {
  const std::optional<LocaleParts> parts = parseLocale(model.name);
  return formatterForLanguage(parts ? parts->language : "");
}

}  // namespace

// One request with its task: the audio handed over, the handler, and the decoding state that
// only the worker thread touches.
struct Stream : std::enable_shared_from_this<Stream> {
  explicit Stream(std::function<double()> rate) : sampleRate(std::move(rate)) {}

  const std::function<double()> sampleRate;
  std::atomic<bool> partials{false};
  std::atomic<bool> punctuation{false};  // closing results end with "." or "?"

  // Hand-over from the request to the worker.
  std::mutex mutex;
  std::weak_ptr<DecoderWorker> worker;  // set once a task serves the request
  bool attached = false;
  std::vector<platform::AudioBufferPtr> early;  // audio appended before the task started
  bool ended = false;                           // endAudio called

  // Delivery. Held while the handler runs so that after cancel() returns no result starts;
  // recursive because a handler may cancel its own task.
  std::recursive_mutex deliverMutex;
  platform::ResultHandler handler;
  bool closed = false;  // the last result went out, or the task was cancelled

  // Worker thread only.
  SoxrPtr resampler;
  bool resamplerFailed = false;
  std::vector<int16_t> pending;  // 16 kHz samples waiting for a whole batch
  size_t fed = 0;                // 16 kHz samples given to the decoder
  bool sawSpeech = false;
  bool failing = false;  // its error waits to go out; later audio is ignored
  // The decoder closed it at a pause: audio that still comes for it belongs to the next request.
  bool handedOver = false;
  std::vector<std::string> lastShown;  // the words of the last partial result

  bool isClosed() {
    std::lock_guard lock(deliverMutex);
    return closed;
  }

  bool endRequested() {
    std::lock_guard lock(mutex);
    return ended;
  }

  // Hands one result or error to the handler unless the stream is closed; `last` closes it and
  // releases the handler (and whatever it holds).
  void deliver(std::optional<platform::RecognitionResult> result,
               std::optional<platform::RecognitionError> error, bool last) {
    std::lock_guard lock(deliverMutex);
    if (closed) return;
    if (last) closed = true;
    platform::ResultHandler h = handler;
    if (last) handler = nullptr;
    if (h) h(std::move(result), std::move(error));
  }

  void close() {
    std::lock_guard lock(deliverMutex);
    closed = true;
    handler = nullptr;
  }
};

class DecoderWorker {
 public:
  enum class Kind { Begin, Audio, End, Cancel };
  struct Job {
    Kind kind;
    std::shared_ptr<Stream> stream;
    platform::AudioBufferPtr buffer;
  };

  DecoderWorker(SpeechModel model, DecoderSettings settings, const TranscriptFormatter& formatter)
      : model_(std::move(model)),
        settings_(settings),
        formatter_(formatter),
        stabiliser_(settings.partialHoldSeconds) {}

  void post(Job job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
  }

  void stop() {
    std::deque<Job> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      dropped.swap(jobs_);
    }
    cv_.notify_one();
    loaded_.notify_all();
    for (auto& job : dropped) job.stream->close();
  }

  // Waits up to `timeout` for the decoder to load. False when loading failed or the worker
  // stopped before it finished; true when it loaded or is still loading.
  bool waitUntilLoaded(Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    loaded_.wait_for(lock, timeout, [this] { return load_ != Load::Pending || stopping_; });
    return load_ == Load::Loaded || (load_ == Load::Pending && !stopping_);
  }

  // The thread body: load the decoder, then serve jobs until stopped.
  void run() {
    load();
    for (;;) {
      Job job;
      bool haveJob = false;
      {
        std::unique_lock lock(mutex_);
        auto ready = [this] { return stopping_ || !jobs_.empty(); };
        if (heldErrors_.empty()) {
          cv_.wait(lock, ready);
        } else {
          cv_.wait_until(lock, heldErrors_.front().due, ready);
        }
        if (stopping_) break;
        if (!jobs_.empty()) {
          job = std::move(jobs_.front());
          jobs_.pop_front();
          haveJob = true;
        }
      }
      releaseDueErrors();
      if (haveJob) handle(job);
    }
    for (auto& weak : live_) {
      if (auto s = weak.lock()) s->close();
    }
    live_.clear();
    heldErrors_.clear();
    handingOver_.reset();
    current_.reset();
    decoder_.reset();
  }

 private:
  void load() {
    std::vector<std::string> options{"-vad_postspeech", std::to_string(settings_.pauseFrames)};
    options.insert(options.end(), settings_.decoderOptions.begin(), settings_.decoderOptions.end());
    decoder_ = loadDecoder(model_, options);
    {
      std::lock_guard lock(mutex_);
      load_ = decoder_ ? Load::Loaded : Load::Failed;
    }
    loaded_.notify_all();
  }

  void handle(Job& job) {
    Stream& s = *job.stream;
    switch (job.kind) {
      case Kind::Begin:
        std::erase_if(live_, [](const std::weak_ptr<Stream>& w) { return w.expired(); });
        live_.push_back(job.stream);
        return;
      case Kind::Cancel:
        if (current_ == job.stream) dropUtterance();
        s.resampler.reset();
        handingOver_.reset();
        carry_.clear();
        std::erase_if(heldErrors_, [&](const HeldError& e) { return e.stream == job.stream; });
        return;
      case Kind::Audio:
        if (s.failing) return;
        if (s.handedOver) {
          if (handingOver_ == job.stream) feed(s, *job.buffer);
          return;
        }
        if (s.isClosed()) return;
        if (!decoder_) return fail(s, "the speech model could not be loaded");
        switchTo(job.stream);
        feed(s, *job.buffer);
        return;
      case Kind::End:
        if (s.failing || s.isClosed()) return;
        if (!decoder_) return fail(s, "the speech model could not be loaded");
        switchTo(job.stream);
        draining_ = true;  // no more audio: whatever is left is one utterance
        drainResampler(s);
        draining_ = false;
        if (!s.isClosed()) finishUtterance(s);
        return;
    }
  }

  // Makes `s` the stream whose utterance the decoder holds, abandoning another one's.
  // A stream that follows one the decoder closed starts with the audio carried over from it:
  // the caller learns of the close only later, and appends audio to the closed request meanwhile.
  void switchTo(const std::shared_ptr<Stream>& s) {
    if (current_ == s) return;
    dropUtterance();
    current_ = s;
    if (handingOver_) {
      carry(handingOver_->pending.data(), handingOver_->pending.size());
      handingOver_->pending.clear();
      handingOver_->resampler.reset();
      handingOver_.reset();
    }
    s->pending.insert(s->pending.begin(), carry_.begin(), carry_.end());
    carry_.clear();
  }

  void carry(const int16_t* pcm, size_t n) {
    carry_.insert(carry_.end(), pcm,
                  pcm + std::min(n, kMostCarried - std::min(kMostCarried, carry_.size())));
  }

  void dropUtterance() {
    if (uttOpen_) ps_end_utt(decoder_.get());
    uttOpen_ = false;
    current_.reset();
  }

  void feed(Stream& s, const platform::AudioBuffer& buffer) {
    const float* const* data = buffer.floatChannelData();
    const uint32_t n = buffer.frameLength();
    if (!data || n == 0 || buffer.channelCount() == 0) return;
    if (!s.resampler && !s.resamplerFailed) {
      const double rate = s.sampleRate ? s.sampleRate() : 0.0;
      if (!(rate > 0)) return fail(s, "unknown sample rate of the audio");
      soxr_error_t err = nullptr;
      soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
      io.flags |= SOXR_NO_DITHER;  // dither noise only gives the decoder more to search
      const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
      s.resampler.reset(soxr_create(rate, kDecoderRate, 1, &err, &io, &quality, nullptr));
      if (err || !s.resampler) {
        s.resamplerFailed = true;
        s.resampler.reset();
        return fail(s, std::string("resampler: ") + (err ? err : "failed"));
      }
      ratio_ = kDecoderRate / rate;
    }
    if (!s.resampler) return;
    resample(s, data[0], n);
  }

  // Resamples `n` samples (none: flushes the resampler's tail) and decodes the output.
  void resample(Stream& s, const float* in, size_t n) {
    const size_t room = static_cast<size_t>(static_cast<double>(n) * ratio_) + 256;
    if (pcm_.size() < room) pcm_.resize(room);
    size_t consumed = 0;
    for (;;) {
      size_t done = 0, produced = 0;
      soxr_error_t err =
          soxr_process(s.resampler.get(), in ? in + consumed : nullptr, in ? n - consumed : 0,
                       &done, pcm_.data(), pcm_.size(), &produced);
      if (err) return fail(s, std::string("resampler: ") + err);
      consumed += done;
      if (produced > 0) {
        s.pending.insert(s.pending.end(), pcm_.begin(), pcm_.begin() + produced);
        if (!in || s.pending.size() >= static_cast<size_t>(settings_.batchSamples)) {
          decodePending(s);
          // Once closed at a pause, the rest of this input goes on to the next request.
          if (s.isClosed() && !s.handedOver) return;
        }
      }
      if (in ? consumed >= n : produced == 0) return;
    }
  }

  void drainResampler(Stream& s) {
    if (s.resampler) resample(s, nullptr, 0);
    if (!s.isClosed()) decodePending(s);
  }

  void decodePending(Stream& s) {
    if (s.pending.empty()) return;
    if (s.handedOver) {
      carry(s.pending.data(), s.pending.size());
      s.pending.clear();
      return;
    }
    decode(s, s.pending.data(), s.pending.size());
    s.pending.clear();
  }

  // 16 kHz samples given to the decoder in one call.
  size_t chunkSamples() const { return static_cast<size_t>(std::max(settings_.chunkSamples, 160)); }

  // Decodes 16 kHz samples in chunks; after each chunk reports a changed hypothesis, and closes
  // the request when the voice-activity detector hears a pause after speech or the time limit
  // is reached. A request whose audio has already ended is not closed at a pause: no request
  // follows it to take the rest of its audio, which the decoder may not have reached yet.
  void decode(Stream& s, const int16_t* pcm, size_t n) {
    ps_decoder_t* ps = decoder_.get();
    const size_t limit = static_cast<size_t>(settings_.maxSeconds * kDecoderRate);
    const size_t chunk = chunkSamples();
    while (n > 0) {
      const size_t k = std::min({n, chunk, limit - std::min(limit, s.fed)});
      if (!uttOpen_) {
        if (ps_start_utt(ps) < 0) return fail(s, "the speech decoder could not start");
        uttOpen_ = true;
        s.sawSpeech = false;
        stabiliser_.reset();
        utterance_.clear();
        keeping_ = !meanSettled_;
      }
      if (k > 0 && ps_process_raw(ps, pcm, k, FALSE, FALSE) < 0) {
        return fail(s, "the speech decoder failed");
      }
      if (keeping_ && utterance_.size() + k > kLongestDecodedAgain) {
        keeping_ = false;
        utterance_ = {};
      }
      if (keeping_) utterance_.insert(utterance_.end(), pcm, pcm + k);
      pcm += k;
      n -= k;
      s.fed += k;
      const bool inSpeech = ps_get_in_speech(ps) != 0;
      if (inSpeech) s.sawSpeech = true;
      if ((s.sawSpeech && !inSpeech && !draining_ && !s.endRequested()) || s.fed >= limit) {
        finishUtterance(s, true);
        carry(pcm, n);
        return;
      }
      if (s.partials && s.sawSpeech) reportPartial(s);
    }
  }

  // Reports the steadied hypothesis when the words shown change.
  void reportPartial(Stream& s) {
    const auto& shown =
        stabiliser_.update(hypothesis(decoder_.get()), static_cast<double>(s.fed) / kDecoderRate);
    if (shown == s.lastShown) return;
    s.lastShown = shown;
    retryPause_ = Clock::duration::zero();
    s.deliver(
        platform::RecognitionResult{formatter_.formatSegment(shown, false, s.punctuation), false},
        std::nullopt, false);
  }

  // Ends the utterance (if any) and closes the request with its final transcription, as typed
  // text; a request closed by the decoder hands its later audio over to the next one.
  void finishUtterance(Stream& s, bool handOver = false) {
    std::vector<std::string> words;
    if (uttOpen_) {
      ps_end_utt(decoder_.get());
      uttOpen_ = false;
      words = hypothesis(decoder_.get());
      if (!meanSettled_ && s.sawSpeech) {
        meanSettled_ = true;
        if (keeping_) decodeAgain(s, words);
      }
      utterance_ = {};  // kept again only while the mean has not settled
    }
    current_.reset();
    if (handOver) {
      s.handedOver = true;
      handingOver_ = s.shared_from_this();
    } else {
      s.resampler.reset();
    }
    retryPause_ = Clock::duration::zero();
    s.deliver(
        platform::RecognitionResult{formatter_.formatSegment(words, true, s.punctuation), true},
        std::nullopt, true);
  }

  // Decodes the audio of the utterance just ended once more, now that the running cepstral mean
  // has been updated from that utterance's own frames: while it was decoded live the mean was
  // still the model's prior, far from many microphones. The words replace `words` unless the
  // decoder refuses or the request's audio has ended: then no more speech follows that would
  // gain from the second pass, and its closing result is not held back for it. An abandoned pass
  // is left open, and closed when the decoder is next needed: closing it runs the decoder's
  // end-of-utterance search, which would hold the result back as long again.
  void decodeAgain(Stream& s, std::vector<std::string>& words) {
    ps_decoder_t* ps = decoder_.get();
    if (utterance_.empty() || s.endRequested() || ps_start_utt(ps) < 0) return;
    const size_t chunk = chunkSamples();
    for (size_t done = 0; done < utterance_.size(); done += chunk) {
      const size_t k = std::min(chunk, utterance_.size() - done);
      if (ps_process_raw(ps, utterance_.data() + done, k, FALSE, FALSE) < 0) {
        ps_end_utt(ps);
        return;
      }
      if (s.endRequested()) {
        uttOpen_ = true;
        return;
      }
    }
    ps_end_utt(ps);
    words = hypothesis(ps);
  }

  // Closes the request with an error. The first error after a result goes out at once; each
  // further one in a row waits twice as long after the one before (up to a second).
  void fail(Stream& s, const std::string& message) {
    if (current_.get() == &s) dropUtterance();
    s.resampler.reset();
    s.failing = true;
    const Clock::time_point now = Clock::now();
    const Clock::time_point due = std::max(now, lastErrorAt_ + retryPause_);
    retryPause_ = retryPause_ == Clock::duration::zero()
                      ? Clock::duration(kFirstRetryPause)
                      : std::min<Clock::duration>(retryPause_ * 2, kLongestRetryPause);
    lastErrorAt_ = due;
    if (due <= now) {
      s.deliver(std::nullopt, platform::RecognitionError{message}, true);
      return;
    }
    heldErrors_.push_back({due, s.shared_from_this(), message});
  }

  // Hands out the held errors whose time has come (they are due in the order they were held).
  void releaseDueErrors() {
    const Clock::time_point now = Clock::now();
    while (!heldErrors_.empty() && heldErrors_.front().due <= now) {
      HeldError e = std::move(heldErrors_.front());
      heldErrors_.pop_front();
      e.stream->deliver(std::nullopt, platform::RecognitionError{e.message}, true);
    }
  }

  const SpeechModel model_;
  const DecoderSettings settings_;
  const TranscriptFormatter& formatter_;

  std::mutex mutex_;
  std::condition_variable cv_;      // jobs for the worker
  std::condition_variable loaded_;  // the load has been tried
  std::deque<Job> jobs_;
  bool stopping_ = false;
  enum class Load { Pending, Loaded, Failed };
  Load load_ = Load::Pending;

  // Worker thread only.
  DecoderPtr decoder_;
  std::shared_ptr<Stream> current_;
  bool uttOpen_ = false;
  std::vector<std::weak_ptr<Stream>> live_;
  std::vector<int16_t> pcm_;
  double ratio_ = 1.0;
  PartialStabiliser stabiliser_;  // of the open utterance
  // The running cepstral mean starts from the model's prior, far from many microphones, and has
  // adapted only once a whole utterance with speech has been heard. Until then the open
  // utterance's audio is kept, and unless it grew too long its closing result comes from
  // decoding it again.
  bool meanSettled_ = false;
  bool keeping_ = false;  // the open utterance's audio is being kept
  std::vector<int16_t> utterance_;
  bool draining_ = false;                // decoding the rest of a request whose audio has ended
  std::shared_ptr<Stream> handingOver_;  // the last stream the decoder closed at a pause
  std::vector<int16_t> carry_;           // its audio since then, for the next stream
  struct HeldError {
    Clock::time_point due;
    std::shared_ptr<Stream> stream;
    std::string message;
  };
  std::deque<HeldError> heldErrors_;  // in order of `due`
  Clock::time_point lastErrorAt_{};
  Clock::duration retryPause_{};  // zero until a request fails
};

namespace {

class SphinxTask : public platform::RecognitionTask {
 public:
  SphinxTask(std::shared_ptr<Stream> stream, std::weak_ptr<DecoderWorker> worker)
      : stream_(std::move(stream)), worker_(std::move(worker)) {}

  void cancel() override {
    stream_->close();
    if (auto w = worker_.lock()) w->post({DecoderWorker::Kind::Cancel, stream_, nullptr});
  }

 private:
  std::shared_ptr<Stream> stream_;
  std::weak_ptr<DecoderWorker> worker_;
};

// A task for a request this recogniser cannot serve: it does nothing.
class InertTask : public platform::RecognitionTask {
 public:
  void cancel() override {}
};

}  // namespace

SphinxRequest::SphinxRequest(std::function<double()> sampleRate)
    : stream_(std::make_shared<Stream>(std::move(sampleRate))) {}

SphinxRequest::~SphinxRequest() = default;

void SphinxRequest::setShouldReportPartialResults(bool on) {
  stream_->partials = on;
}

void SphinxRequest::setAddsPunctuation(bool on) {
  stream_->punctuation = on;
}

void SphinxRequest::appendAudioPCMBuffer(platform::AudioBufferPtr buffer) {
  if (!buffer) return;
  std::lock_guard lock(stream_->mutex);
  if (stream_->ended) return;
  if (!stream_->attached) {
    stream_->early.push_back(std::move(buffer));
    return;
  }
  if (auto w = stream_->worker.lock()) {
    w->post({DecoderWorker::Kind::Audio, stream_, std::move(buffer)});
  }
}

void SphinxRequest::endAudio() {
  std::lock_guard lock(stream_->mutex);
  if (stream_->ended) return;
  stream_->ended = true;
  if (!stream_->attached) return;
  if (auto w = stream_->worker.lock()) w->post({DecoderWorker::Kind::End, stream_, nullptr});
}

SphinxRecognizer::SphinxRecognizer(SpeechModel model, DecoderSettings settings)
    : model_(std::move(model)), settings_(settings), formatter_(formatterFor(model_)) {}

SphinxRecognizer::~SphinxRecognizer() {
  std::lock_guard lock(mutex_);
  if (!worker_) return;
  worker_->stop();
  if (!thread_.joinable()) return;
  // The thread owns the worker too, so it may outlive this object when released on it.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

// The model's files must be readable and, once loading has been tried, the decoder loaded.
// Loading starts here if preload() has not started it; it takes about half a second.
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
    try {
      thread_ = std::thread([w = worker_] {
        blockTerminationSignals();
        w->run();
      });
    } catch (const std::system_error&) {
      worker_->stop();  // takes no jobs and reports itself unavailable
    }
  }
  return worker_;
}

std::shared_ptr<platform::RecognitionTask> SphinxRecognizer::recognitionTask(
    std::shared_ptr<platform::RecognitionRequest> request, platform::ResultHandler handler) {
  auto* sphinx = dynamic_cast<SphinxRequest*>(request.get());
  if (!sphinx) return std::make_shared<InertTask>();
  const std::shared_ptr<Stream>& stream = sphinx->stream();
  auto worker = startedWorker();
  {
    std::lock_guard deliver(stream->deliverMutex);
    stream->handler = std::move(handler);
  }
  std::lock_guard lock(stream->mutex);
  if (!stream->attached) {
    stream->attached = true;
    stream->worker = worker;
    worker->post({DecoderWorker::Kind::Begin, stream, nullptr});
    for (auto& buffer : stream->early) {
      worker->post({DecoderWorker::Kind::Audio, stream, std::move(buffer)});
    }
    stream->early.clear();
    if (stream->ended) worker->post({DecoderWorker::Kind::End, stream, nullptr});
  }
  return std::make_shared<SphinxTask>(stream, worker);
}

}  // namespace voxlet::linux_backend
