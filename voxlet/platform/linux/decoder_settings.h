// Tuning of the recogniser: the decoder, its batches, and when a request closes on its own.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "locale_model.h"

namespace voxlet::linux_backend {

class UtteranceDecoder;
struct DecoderSettings;

using DecoderFactory =
    std::function<std::unique_ptr<UtteranceDecoder>(const SpeechModel&, const DecoderSettings&)>;

struct DecoderSettings {
  int pauseFrames = 50;  // 10 ms frames of silence after speech that end an utterance
  // Audio after which an utterance that has not paused is cut, so that the search at its end
  // stays short.
  double maxSeconds = 10.0;
  // 16 kHz samples per decoder call: the decoder works best on its data in batches.
  int batchSamples = 1600;
  // Audio time for which a partial word must stand before it shows, and for which the decoder
  // must disagree with a shown word before it is replaced. On clean synthetic dictation (four
  // voices, 20 sentences) 0.3 s shows 5.5 words per 100 spoken that the final text drops (0.2 s:
  // 7.4; 0.2 s with one newer word shown early: 16), and the last word of a sentence shows a
  // median 0.2 s (at most 0.5 s) of audio after it ends.
  double partialHoldSeconds = 0.3;
  // Further decoder options, as option and value pairs.
  std::vector<std::string> decoderOptions{};
  // How long isAvailable() waits for the decoder to load before it answers from the files.
  std::chrono::milliseconds availabilityWait{15000};
  // Makes the decoder on the recogniser's thread; none: loadSphinxDecoder.
  DecoderFactory makeDecoder{};
};

}  // namespace voxlet::linux_backend
