// The recogniser's pipeline, run on its worker thread only: captured buffers are resampled to
// 16 kHz, cut by the segmenter, decoded, and turned into results for the requests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "decoder_settings.h"
#include "error_pacer.h"
#include "noise_suppressor.h"
#include "partial_stabiliser.h"
#include "request_state.h"
#include "resampler.h"
#include "segmenter.h"
#include "transcript_format.h"
#include "utterance_decoder.h"

namespace voxlet::linux_backend {

using RequestPtr = std::shared_ptr<RequestState>;

class Transcriber {
 public:
  using Clock = std::chrono::steady_clock;
  // Runs the work on the worker thread no earlier than the time.
  using Later = std::function<void(Clock::time_point, std::function<void()>)>;

  // Seconds of audio the worker has been given and not yet passed on: over about a second
  // besides what waits here, the decoder searches narrower until it has caught up.
  using Backlog = std::function<double()>;

  // A null decoder is one that failed to load: every request then fails.
  // Results are typed by `formatter`, which outlives the transcriber.
  Transcriber(const DecoderSettings& settings, const TranscriptFormatter& formatter,
              std::unique_ptr<UtteranceDecoder> decoder, Later later, Backlog backlog = {});

  // The decoder's set-up that could wait until loading was reported.
  void prepare();
  void audio(const RequestPtr& request, const platform::AudioBuffer& buffer);
  // The request's audio has ended: it closes once all of its audio is decoded.
  void end(const RequestPtr& request);
  void cancel(const RequestPtr& request);

 private:
  // Makes the request current, or fails it; false when it is not served.
  bool take(const RequestPtr& request);
  bool resample(const RequestPtr& request, const float* samples, size_t n);
  bool flushResampler(const RequestPtr& request);
  // Passes resampled_ on to the segmenter, through the suppressor when there is one; `last`:
  // the stream breaks off after it.
  void passOn(bool last);
  void closeStream();
  // Decodes the whole batches waiting, or with `rest` everything waiting.
  void decodeWaiting(bool rest);
  void reportPartial();
  // Closes the current request with its words. `handOver`: it was cut at a pause, its utterance
  // has ended already, and its later audio goes on to the next request.
  void finishRequest(bool handOver);
  void fail(const RequestPtr& request, const std::string& message);
  double secondsBehind() const;
  bool isFailing(const RequestPtr& request);
  void dropCurrent();

  const DecoderSettings settings_;
  const TranscriptFormatter& formatter_;
  const std::unique_ptr<UtteranceDecoder> decoder_;
  const Later later_;
  const Backlog backlog_;
  Resampler resampler_;
  std::unique_ptr<NoiseSuppressor> suppressor_;  // none: the decoder hears the audio as it is
  Segmenter segmenter_;
  PartialStabiliser stabiliser_;   // of the open utterance
  RequestPtr current_;             // the request the decoder works for
  RequestPtr carriedFrom_;         // closed at a pause; its later audio goes to the next request
  std::vector<std::string> said_;  // words of the current request's earlier utterances
  std::vector<std::string> lastShown_;
  std::vector<int16_t> resampled_;
  std::vector<int16_t> cleaned_;
  ErrorPacer pacer_;
  std::vector<std::weak_ptr<RequestState>> failing_;  // their error waits to go out
  bool hurried_ = false;
};

}  // namespace voxlet::linux_backend
