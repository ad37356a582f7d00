// pocketsphinx behind the UtteranceDecoder seam: loading, utterances, and the dictation's first
// utterance decoded again once its own cepstral mean is known (opening_mean.h).
#include <pocketsphinx.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <string>

#include "decoder_loader.h"
#include "decoder_settings.h"
#include "opening_mean.h"
#include "transcript_format.h"
#include "utterance_decoder.h"

namespace voxlet::linux_backend {

namespace {

class SphinxDecoder : public UtteranceDecoder {
 public:
  SphinxDecoder(OpenedDecoder opened, const DecoderSettings& settings)
      : decoder_(std::move(opened.decoder)),
        languageModel_(std::move(opened.languageModel)),
        batch_(static_cast<size_t>(std::max(settings.batchSamples, 160))),
        opening_(settings.openingMeanFrames, settings.openingPriorWeight) {}

  bool process(std::span<const int16_t> samples, std::string* error) override;
  bool inSpeech() const override { return ps_get_in_speech(decoder_.get()) != 0; }
  std::vector<std::string> hypothesis() override;
  std::vector<std::string> endUtterance() override;
  void dropUtterance() override;
  void setHurried(bool hurried) override { hurried_ = hurried; }
  void prepare() override;

 private:
  // Switches to the narrower search or back, between utterances only.
  void followHurry();
  bool startUtterance(std::string* error);
  cmn_t* cepstralMean() const { return ps_get_feat(decoder_.get())->cmn_struct; }
  RunningMean runningMean() const;
  void setMean(const std::vector<float>& mean);
  void setRunningMean(const RunningMean& running);
  // Opens a new utterance and decodes the kept audio in it, in the batches it came in; false
  // when the decoder fails (the utterance is then closed).
  bool decodeKept();

  DecoderPtr decoder_;
  NgramPtr languageModel_;  // until its search is built
  const size_t batch_;
  bool searchFailed_ = false;
  bool uttOpen_ = false;
  bool heardSpeech_ = false;  // in the open utterance
  // Until the dictation's own cepstral mean is set, the open utterance's audio is kept, to be
  // decoded again with that mean once it is set.
  OpeningMean opening_;
  bool keeping_ = false;
  std::vector<int16_t> utterance_;
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
  followHurry();
  if (ps_start_utt(decoder_.get()) < 0) {
    *error = "the speech decoder could not start";
    return false;
  }
  uttOpen_ = true;
  heardSpeech_ = false;
  keeping_ = !opening_.settled();
  utterance_.clear();
  if (keeping_) opening_.utteranceStarted(runningMean());
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
  if (const std::optional<std::vector<float>> mean = opening_.following(runningMean())) {
    setMean(*mean);
  }
  if (!keeping_) return true;
  utterance_.insert(utterance_.end(), samples.begin(), samples.end());
  const std::optional<RunningMean> restart = opening_.due(runningMean(), false);
  if (!restart) return true;
  // The words so far came from the prior: the utterance starts again with its own mean.
  ps_end_utt(decoder_.get());
  setRunningMean(*restart);
  const bool decoded = decodeKept();
  keeping_ = false;
  utterance_ = {};
  uttOpen_ = decoded;
  if (!decoded) *error = "the speech decoder failed";
  return decoded;
}

std::vector<std::string> SphinxDecoder::hypothesis() {
  // Words heard with the prior's mean are not shown: most change once the utterance is decoded
  // again with its own.
  if (uttOpen_ && keeping_) return {};
  const char* hyp = ps_get_hyp(decoder_.get(), nullptr);
  return hypothesisWords(hyp ? hyp : "");
}

std::vector<std::string> SphinxDecoder::endUtterance() {
  if (!uttOpen_) return {};
  opening_.utteranceEnded();
  ps_end_utt(decoder_.get());
  uttOpen_ = false;
  std::vector<std::string> words = hypothesis();
  // An utterance that ended before it had heard enough for a mean of its own is decoded again
  // with the mean of all of it. Being short, that costs little, even when its result is awaited.
  const std::optional<RunningMean> restart =
      keeping_ && heardSpeech_ ? opening_.due(runningMean(), true) : std::nullopt;
  if (restart) {
    setRunningMean(*restart);
    if (decodeKept()) {
      ps_end_utt(decoder_.get());
      words = hypothesis();
    }
  }
  keeping_ = false;
  utterance_ = {};
  return words;
}

void SphinxDecoder::dropUtterance() {
  opening_.utteranceEnded();
  if (uttOpen_) ps_end_utt(decoder_.get());
  uttOpen_ = false;
  keeping_ = false;
  utterance_ = {};
}

RunningMean SphinxDecoder::runningMean() const {
  const cmn_t* cmn = cepstralMean();
  return {std::vector<float>(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen),
          std::vector<float>(cmn->sum, cmn->sum + cmn->veclen), static_cast<double>(cmn->nframe)};
}

void SphinxDecoder::setMean(const std::vector<float>& mean) {
  cmn_t* cmn = cepstralMean();
  std::copy_n(mean.begin(), std::min(mean.size(), static_cast<size_t>(cmn->veclen)), cmn->cmn_mean);
}

void SphinxDecoder::setRunningMean(const RunningMean& running) {
  cmn_t* cmn = cepstralMean();
  setMean(running.mean);
  std::copy_n(running.sum.begin(), std::min(running.sum.size(), static_cast<size_t>(cmn->veclen)),
              cmn->sum);
  cmn->nframe = static_cast<int32>(running.frames);
}

bool SphinxDecoder::decodeKept() {
  ps_decoder_t* ps = decoder_.get();
  if (ps_start_utt(ps) < 0) return false;
  for (size_t done = 0; done < utterance_.size(); done += batch_) {
    const size_t k = std::min(batch_, utterance_.size() - done);
    if (ps_process_raw(ps, utterance_.data() + done, k, FALSE, FALSE) < 0) {
      ps_end_utt(ps);
      return false;
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<UtteranceDecoder> loadSphinxDecoder(const SpeechModel& model,
                                                    const DecoderSettings& settings) {
  std::vector<std::string> options{"-vad_postspeech", std::to_string(settings.pauseFrames)};
  options.insert(options.end(), settings.decoderOptions.begin(), settings.decoderOptions.end());
  OpenedDecoder opened = openDecoder(model, options);
  if (!opened.decoder) return nullptr;
  return std::make_unique<SphinxDecoder>(std::move(opened), settings);
}

}  // namespace voxlet::linux_backend
