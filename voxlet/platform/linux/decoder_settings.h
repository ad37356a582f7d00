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
  // stays short. In babble at 10 dB, where no pause comes, "stop" to "end" took 1.1-1.3 s at 10 s
  // and 0.06-0.09 s at 5 s, for no more word errors (4 voices, clean, pink and babble at 10 dB,
  // reverberant: 54.0% against 56.6%).
  double maxSeconds = 5.0;
  // 16 kHz samples per decoder call: the decoder works best on its data in batches.
  int batchSamples = 1600;
  // Audio time for which a partial word must stand before it shows, and for which the decoder
  // must disagree with a shown word before it is replaced. Measured live on clean synthetic
  // dictation (four voices, 20 sentences, 850 words): 0.3 s shows 4.4-5.7 words per 100 spoken
  // that the final text drops, against 14-15 for 0.2 s with one newer word shown early; replayed
  // offline, 0.2 s alone gives 7.1-7.7 and 0.4 s 4.5-4.9. A sentence's last word shows a median
  // 0.36 s after the speech ends (90% within 0.7 s; 0.18 and 0.64 s before).
  double partialHoldSeconds = 0.3;
  // The dictation's own cepstral mean (opening_mean.h): speech frames of the first utterance
  // after which it is set and the utterance decoded again with it, and the frames the model's
  // prior counts for beside the speech heard. Replayed offline (bench/voxlet_replay.py: four
  // voices, two sentences each, six conditions), word errors over all conditions were 35.2% at
  // 100 frames, 36.8% at 150, 40.4% at 70, 41.4% at 30 (prior weight 10; 36.0% at 0, 36.6% at
  // 30), and 38.3% at 100 had the mean stayed as set until the utterance's end instead of
  // following its frames. Decoding the first utterance again only at its end gave 37.4% when
  // that pass always ran, but live on a busy machine it gave way to a decoder behind its audio:
  // 49.6% against 35.6-36.0% now, with no sentence lost (1 of 48 before), words shown and then
  // dropped on clean speech down from 5.7 to 2.3 per 100 spoken and over all conditions from
  // 27.2 to 22.0-22.6, and the last word still shown a median 0.32-0.33 s after the speech.
  // CPU per second of audio: 0.49 against 0.35 replayed, 0.36 against 0.39-0.40 live. Not
  // showing the words heard with the prior cut those replayed from 15.2 to 13.3 per 100 on clean
  // speech (espeak-ng included).
  int openingMeanFrames = 100;
  double openingPriorWeight = 10;
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
