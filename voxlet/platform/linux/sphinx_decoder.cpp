// pocketsphinx behind the UtteranceDecoder seam: loading, utterances, and the second pass over
// the first utterance.
#include <pocketsphinx.h>

#include <algorithm>
#include <string>

#include "decoder_loader.h"
#include "decoder_settings.h"
#include "transcript_format.h"
#include "utterance_decoder.h"

namespace voxlet::linux_backend {

namespace {

// The longest first utterance decoded again (16 kHz samples). Beyond it the running mean has
// adapted on its own, and decoding it again would only delay the result.
constexpr size_t kLongestDecodedAgain = 8 * 16000;

class SphinxDecoder : public UtteranceDecoder {
 public:
  explicit SphinxDecoder(OpenedDecoder opened)
      : decoder_(std::move(opened.decoder)), languageModel_(std::move(opened.languageModel)) {}

  bool process(std::span<const int16_t> samples, std::string* error) override;
  bool inSpeech() const override { return ps_get_in_speech(decoder_.get()) != 0; }
  std::vector<std::string> hypothesis() override;
  std::vector<std::string> endUtterance(const std::function<bool()>& giveWay) override;
  void dropUtterance() override;
  void setHurried(bool hurried) override { hurried_ = hurried; }
  void prepare() override;

 private:
  // Switches to the narrower search or back, between utterances only.
  void followHurry();
  bool startUtterance(std::string* error);
  void decodeAgain(std::vector<std::string>& words, const std::function<bool()>& giveWay);

  DecoderPtr decoder_;
  NgramPtr languageModel_;  // until its search is built
  bool searchFailed_ = false;
  bool uttOpen_ = false;
  bool heardSpeech_ = false;  // in the open utterance
  // The running cepstral mean starts from the model's prior, far from many microphones, and has
  // adapted only once a whole utterance with speech has been heard. Until then the open
  // utterance's audio is kept, and unless it grew too long its closing result comes from
  // decoding it again.
  bool meanSettled_ = false;
  bool keeping_ = false;  // the open utterance's audio is being kept
  std::vector<int16_t> utterance_;
  // A second pass given up half-way, still open: closing it runs the end-of-utterance search,
  // which is left until the decoder is next needed.
  bool abandonedPass_ = false;
  bool hurried_ = false;  // asked for
  bool narrow_ = false;   // the narrower search is the active one
  bool narrowMade_ = false;
  std::string fullSearch_;
};

// Behind its audio, the decoder keeps fewer hidden Markov models per frame and skips the flat
// lexicon pass: on synthetic speech about half the CPU time for 1.6 points more word errors.
// The search is made the first time it is needed (about 0.3 s of CPU time for the full
// dictionary) and kept.
constexpr const char* kNarrowSearch = "narrow";
constexpr int kNarrowMaxHmmPerFrame = 2500;

void SphinxDecoder::followHurry() {
  if (hurried_ == narrow_) return;
  ps_decoder_t* ps = decoder_.get();
  if (hurried_ && !narrowMade_) {
    cmd_ln_t* config = ps_get_config(ps);
    const long maxHmm = cmd_ln_int_r(config, "-maxhmmpf");
    const bool flat = cmd_ln_boolean_r(config, "-fwdflat");
    cmd_ln_set_int_r(config, "-maxhmmpf", kNarrowMaxHmmPerFrame);
    cmd_ln_set_boolean_r(config, "-fwdflat", FALSE);
    ngram_model_t* lm = ps_get_lm(ps, ps_get_search(ps));
    narrowMade_ = lm && ps_set_lm(ps, kNarrowSearch, lm) == 0;
    cmd_ln_set_int_r(config, "-maxhmmpf", maxHmm);
    cmd_ln_set_boolean_r(config, "-fwdflat", flat);
    if (!narrowMade_) return;
    fullSearch_ = ps_get_search(ps);
  }
  if (!narrowMade_) return;
  if (ps_set_search(ps, hurried_ ? kNarrowSearch : fullSearch_.c_str()) == 0) narrow_ = hurried_;
}

void SphinxDecoder::prepare() {
  if (!languageModel_) return;
  searchFailed_ = !buildSearch(decoder_.get(), languageModel_.get());
  languageModel_.reset();  // the search holds it now
}

bool SphinxDecoder::startUtterance(std::string* error) {
  prepare();
  if (searchFailed_) {
    *error = "the speech model could not be loaded";
    return false;
  }
  if (abandonedPass_) ps_end_utt(decoder_.get());
  abandonedPass_ = false;
  followHurry();
  if (ps_start_utt(decoder_.get()) < 0) {
    *error = "the speech decoder could not start";
    return false;
  }
  uttOpen_ = true;
  heardSpeech_ = false;
  keeping_ = !meanSettled_;
  utterance_.clear();
  return true;
}

bool SphinxDecoder::process(std::span<const int16_t> samples, std::string* error) {
  if (!uttOpen_ && !startUtterance(error)) return false;
  if (!samples.empty() &&
      ps_process_raw(decoder_.get(), samples.data(), samples.size(), FALSE, FALSE) < 0) {
    dropUtterance();
    *error = "the speech decoder failed";
    return false;
  }
  heardSpeech_ = heardSpeech_ || inSpeech();
  if (keeping_ && utterance_.size() + samples.size() > kLongestDecodedAgain) {
    keeping_ = false;
    utterance_ = {};
  }
  if (keeping_) utterance_.insert(utterance_.end(), samples.begin(), samples.end());
  return true;
}

std::vector<std::string> SphinxDecoder::hypothesis() {
  const char* hyp = ps_get_hyp(decoder_.get(), nullptr);
  return hypothesisWords(hyp ? hyp : "");
}

std::vector<std::string> SphinxDecoder::endUtterance(const std::function<bool()>& giveWay) {
  if (!uttOpen_) return {};
  ps_end_utt(decoder_.get());
  uttOpen_ = false;
  std::vector<std::string> words = hypothesis();
  if (!meanSettled_ && heardSpeech_) {
    meanSettled_ = true;
    if (keeping_) decodeAgain(words, giveWay);
  }
  keeping_ = false;
  utterance_ = {};
  return words;
}

void SphinxDecoder::dropUtterance() {
  if (uttOpen_) ps_end_utt(decoder_.get());
  uttOpen_ = false;
  keeping_ = false;
  utterance_ = {};
}

// Decodes the audio of the utterance just ended once more, now that the running cepstral mean
// has been updated from that utterance's own frames: while it was decoded live the mean was
// still the model's prior, far from many microphones. The words replace `words` unless the
// decoder refuses or the pass gives way (the request's audio has ended, so no more speech follows
// that would gain from it, and its closing result is not held back for it).
void SphinxDecoder::decodeAgain(std::vector<std::string>& words,
                                const std::function<bool()>& giveWay) {
  ps_decoder_t* ps = decoder_.get();
  if (utterance_.empty() || giveWay() || ps_start_utt(ps) < 0) return;
  const size_t chunk = 1600;
  for (size_t done = 0; done < utterance_.size(); done += chunk) {
    const size_t k = std::min(chunk, utterance_.size() - done);
    if (ps_process_raw(ps, utterance_.data() + done, k, FALSE, FALSE) < 0) {
      ps_end_utt(ps);
      return;
    }
    if (giveWay()) {
      abandonedPass_ = true;
      return;
    }
  }
  ps_end_utt(ps);
  words = hypothesis();
}

}  // namespace

std::unique_ptr<UtteranceDecoder> loadSphinxDecoder(const SpeechModel& model,
                                                    const DecoderSettings& settings) {
  std::vector<std::string> options{"-vad_postspeech", std::to_string(settings.pauseFrames)};
  options.insert(options.end(), settings.decoderOptions.begin(), settings.decoderOptions.end());
  OpenedDecoder opened = openDecoder(model, options);
  if (!opened.decoder) return nullptr;
  return std::make_unique<SphinxDecoder>(std::move(opened));
}

}  // namespace voxlet::linux_backend
