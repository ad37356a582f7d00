// Where a request's audio goes and where the decoder cuts it, apart from any decoder.
//
// Captured audio is one stream, handed to the decoder in requests one after another. The decoder
// closes a request at a pause after speech, but its caller learns of that only afterwards and goes
// on appending audio to the closed request meanwhile: that audio, and whatever of the request the
// decoder had not reached yet, is carried to the request that follows. So every sample reaches
// the decoder once, in capture order, in fixed batches counted from the start of the stream:
// where the batches fall does not depend on how the capture buffers fell.
//
// A request whose audio has ended has no follower to take the rest of its audio: there a pause,
// like the length limit, only cuts the decoder's utterance and the request goes on. The length
// limit also cuts an utterance that never pauses, so that the search at its end stays short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace voxlet::linux_backend {

class Segmenter {
 public:
  using RequestId = const void*;

  // Where audio appended to a request goes.
  enum class Route {
    Decode,  // it is the current request
    Carry,   // it was closed at a pause: its audio goes to the next request
    New,     // not seen before: it becomes current once begun
  };
  // Where the decoder's audio is cut after a batch.
  enum class Cut {
    None,
    Utterance,  // the utterance ends; the request goes on
    Request,    // the utterance and the request end; the rest is carried
  };

  // `batchSamples`: 16 kHz samples per batch; `longestUtterance`: the length limit in samples.
  Segmenter(size_t batchSamples, size_t longestUtterance);

  Route route(RequestId request) const;
  // The request becomes current and takes the carried audio. Audio of another current request
  // that the decoder had not reached is dropped with it.
  void begin(RequestId request);
  RequestId current() const { return current_; }

  // 16 kHz samples of the current or carried request, in capture order.
  void append(std::span<const int16_t> samples);
  // What to decode next for the current request: one whole batch or, once its audio has ended
  // (`rest`), whatever is left. Empty when there is nothing, or no current request.
  std::span<const int16_t> next(bool rest) const;
  // The decoder has taken the first `n` samples of next(), and tells whether it hears speech.
  Cut decoded(size_t n, bool inSpeech, bool audioEnded);
  // Speech has been heard in the open utterance.
  bool heardSpeech() const { return heardSpeech_; }
  // Samples in the open utterance so far.
  size_t utteranceSamples() const { return utterance_; }
  // Samples waiting to be decoded.
  size_t waiting() const { return fifo_.size() - head_; }

  // The request just closed at a pause goes on after all, as current again with the carried
  // audio: its audio ended while the decoder was finishing the utterance, and no request will
  // follow it.
  void reopen();
  // The current request has closed with the end of its audio.
  void ended();
  // The request is dropped with its audio if it is current or carried; true if it was.
  bool drop(RequestId request);

 private:
  void clear();

  const size_t batch_;
  const size_t longest_;
  std::vector<int16_t> fifo_;
  size_t head_ = 0;  // fifo_[head_..] waits to be decoded
  RequestId current_ = nullptr;
  RequestId carriedFrom_ = nullptr;
  size_t utterance_ = 0;
  bool heardSpeech_ = false;
};

}  // namespace voxlet::linux_backend
