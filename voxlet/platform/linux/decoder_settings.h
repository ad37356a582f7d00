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
  // Audio time for which a partial word must stand before it counts as sure, and for which the
  // decoder must disagree with a shown word before it is replaced.
  double partialHoldSeconds = 0.2;
  // Takes steady background noise out of the audio before the decoder hears it.
  bool suppressNoise = true;
  // Further decoder options, as option and value pairs.
  std::vector<std::string> decoderOptions{};
  // How long isAvailable() waits for the decoder to load before it answers from the files.
  std::chrono::milliseconds availabilityWait{15000};
  // Makes the decoder on the recogniser's thread; none: loadSphinxDecoder.
  DecoderFactory makeDecoder{};
};

}  // namespace voxlet::linux_backend
