// The speech decoder as the recogniser's pipeline sees it: utterances of 16 kHz samples in, words
// out. SphinxDecoder is pocketsphinx's; tests put other decoders in its place.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "locale_model.h"

namespace voxlet::linux_backend {

struct DecoderSettings;

class UtteranceDecoder {
 public:
  virtual ~UtteranceDecoder() = default;
  // Decodes the samples, starting an utterance when none is open. False with a reason when the
  // decoder fails; the utterance is then dropped.
  virtual bool process(std::span<const int16_t> samples, std::string* error) = 0;
  // The voice-activity detector hears speech after the samples processed so far.
  virtual bool inSpeech() const = 0;
  // The words of the open utterance's current hypothesis.
  virtual std::vector<std::string> hypothesis() = 0;
  // Ends the open utterance (if any) and returns its words.
  virtual std::vector<std::string> endUtterance() = 0;
  // Ends the open utterance without a result.
  virtual void dropUtterance() = 0;
  // A decoder running behind its audio may search narrower from the next utterance on, until it
  // is told it has caught up.
  virtual void setHurried(bool hurried) { (void)hurried; }
  // Does the set-up that could wait until after loading; the first utterance does it otherwise.
  virtual void prepare() {}
};

// Loads pocketsphinx with the model and settings; null when the model does not load. Its search
// is built by prepare().
std::unique_ptr<UtteranceDecoder> loadSphinxDecoder(const SpeechModel& model,
                                                    const DecoderSettings& settings);

}  // namespace voxlet::linux_backend
