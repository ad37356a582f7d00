// Steadies the words a streaming decoder shows while an utterance goes on. The decoder's partial
// hypothesis changes its last words often, and now and then revises earlier ones; shown as they
// come, words flash up and vanish. The stabiliser shows the words that have stood unchanged (with
// everything before them) for the hold, and keeps a shown word until the hypothesis has disagreed
// with it for the hold, so a word that lasts less than the hold never shows and a shown word is
// replaced only by a lasting revision. The last word of a sentence needs no early guess: it
// stands unchanged through the pause that follows it, and the pause closes the utterance with the
// decoder's final words anyway.
// Time is the audio time of the utterance, so the result depends only on what was heard.
#pragma once

#include <string>
#include <vector>

namespace voxlet::linux_backend {

class PartialStabiliser {
 public:
  explicit PartialStabiliser(double holdSeconds) : hold_(holdSeconds) {}

  // Takes the decoder's hypothesis after `audioSeconds` of audio (never decreasing) and returns
  // the words to show.
  const std::vector<std::string>& update(const std::vector<std::string>& hypothesis,
                                         double audioSeconds);

  const std::vector<std::string>& shown() const { return shown_; }

  // Forgets everything, for a new utterance.
  void reset();

 private:
  bool sure(size_t i, double now) const { return now - since_[i] >= hold_ - 1e-9; }

  const double hold_;
  std::vector<std::string> last_;  // the previous hypothesis
  std::vector<double> since_;      // when last_[i], with all words before it, first stood so
  std::vector<std::string> shown_;
  double disagreeingSince_ = -1;  // when the hypothesis began to contradict shown_, or -1
};

}  // namespace voxlet::linux_backend
