// Takes steady background noise (fans, traffic, hiss, a busy room's murmur) out of 16 kHz speech
// before the decoder hears it: WebRTC's noise suppression at its high level, in 10 ms frames.
// Every sample that goes in comes out once, in order; an incomplete frame waits for the next
// call or for flush().
//
// The high level alone is kept because nothing stronger heard better. Decoded through the
// recogniser's pipeline (four voices, ten sentences each, in pink noise at 10 dB), word errors
// were 76.9% without suppression and 57.4% with it; speexdsp's suppressor after it (at -15 or
// -30 dB, also after the very high level) gave 56-57%, WebRTC's high-pass filter 55.5%, and
// through the offline decoder the very high level 57.6% against 56.2%: differences of a few
// words, under the spread that one bit of dither in the input causes. None cut the decoder's CPU
// time either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace voxlet::linux_backend {

class NoiseSuppressor {
 public:
  static constexpr int kRate = 16000;
  static constexpr size_t kFrame = kRate / 100;  // 10 ms

  NoiseSuppressor();
  ~NoiseSuppressor();
  NoiseSuppressor(const NoiseSuppressor&) = delete;
  NoiseSuppressor& operator=(const NoiseSuppressor&) = delete;

  // False when the suppressor could not be set up; process() then passes the audio on as it is.
  bool active() const { return apm_ != nullptr; }

  // Appends the suppressed samples of every whole frame so far to `out`.
  void process(const int16_t* samples, size_t n, std::vector<int16_t>& out);
  // Appends the samples of the incomplete frame, suppressed as a frame padded with silence.
  void flush(std::vector<int16_t>& out);
  // Forgets the samples of the incomplete frame; the noise estimate stays.
  void dropWaiting() { filled_ = 0; }
  // Forgets the noise estimate and any waiting samples, for audio from another place.
  void reset();

 private:
  void processFrame(size_t valid, std::vector<int16_t>& out);

  struct Deleter {
    void operator()(webrtc::AudioProcessing* apm) const;
  };
  std::unique_ptr<webrtc::AudioProcessing, Deleter> apm_;
  std::vector<float> frame_;  // the frame being filled, in [-1, 1]
  size_t filled_ = 0;
};

}  // namespace voxlet::linux_backend
