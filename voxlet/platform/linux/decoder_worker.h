// The recogniser's serial worker: it loads the decoder, then runs the requests' jobs on the
// pipeline one at a time, in the order they were posted. It decides nothing itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "decoder_settings.h"
#include "dispatch.h"
#include "locale_model.h"
#include "request_state.h"
#include "transcript_format.h"

namespace voxlet::linux_backend {

class Transcriber;

class DecoderWorker : public std::enable_shared_from_this<DecoderWorker> {
 public:
  // Results are typed by `formatter`, which outlives the worker.
  DecoderWorker(SpeechModel model, DecoderSettings settings, const TranscriptFormatter& formatter);
  ~DecoderWorker();

  // Starts loading the decoder; false when no thread could be started.
  bool start();
  // Waits up to `timeout` for the decoder to load. False when loading failed or the worker
  // stopped before it finished; true when it loaded or is still loading.
  bool waitUntilLoaded(std::chrono::steady_clock::duration timeout);

  // The worker serves the request; its handler is released when the worker stops.
  void serve(const std::shared_ptr<RequestState>& request);
  void audio(const std::shared_ptr<RequestState>& request, platform::AudioBufferPtr buffer);
  void end(const std::shared_ptr<RequestState>& request);
  void cancel(const std::shared_ptr<RequestState>& request);

  // Closes every request served, so their handlers are released before this returns, and shuts
  // the queue down: the job running finishes, the rest are dropped.
  void stop();

 private:
  void load();
  void post(std::function<void(Transcriber&)> job);

  const SpeechModel model_;
  const DecoderSettings settings_;
  const TranscriptFormatter& formatter_;
  SerialQueue queue_{"voxlet-decoder"};
  // Seconds of audio posted and not yet run, in millionths.
  std::atomic<int64_t> queuedMicros_{0};

  std::mutex mutex_;
  std::condition_variable loaded_;  // the load has been tried
  enum class Load { Pending, Loaded, Failed };
  Load load_ = Load::Pending;
  bool stopping_ = false;
  std::vector<std::weak_ptr<RequestState>> served_;

  std::unique_ptr<Transcriber> transcriber_;  // queue only, once loading has been tried
};

}  // namespace voxlet::linux_backend
