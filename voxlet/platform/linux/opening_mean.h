// The cepstral mean a dictation's first utterance is decoded with, apart from any decoder.
//
// The decoder takes a running mean of the cepstra off every frame before it scores it. That mean
// starts as the acoustic model's prior, far from many voices and microphones (c0 41 against about
// 50 for the bench's synthetic voices), and pocketsphinx replaces it with the mean of the frames it
// has heard only at the end of an utterance (the prior counts for no frames). So the dictation's
// first utterance would be decoded, and its partial words shown, with the prior, and decoded
// again at its end to get its words right, which changed words already shown and came late.
//
// OpeningMean says when the first utterance has heard enough speech for a mean of its own, and
// what that mean is: the decoder then decodes the utterance again from its start with it, and
// its partials and final words come from that mean. While the rest of that utterance is decoded,
// the mean follows the frames heard; from its end on, pocketsphinx's own update takes over.
#pragma once

#include <optional>
#include <vector>

namespace voxlet::linux_backend {

// A running mean as the decoder keeps it: the mean it takes off the frames now, and the sum and
// number of the frames heard that it will next be updated from.
struct RunningMean {
  std::vector<float> mean;
  std::vector<float> sum;
  double frames = 0;
};

class OpeningMean {
 public:
  // `framesNeeded`: speech frames (10 ms) of the first utterance after which its mean is set;
  // `priorWeight`: frames the mean it started with counts for beside them.
  OpeningMean(int framesNeeded, double priorWeight)
      : framesNeeded_(framesNeeded), priorWeight_(priorWeight) {}

  // True once the dictation's own mean has been set.
  bool settled() const { return settled_; }

  // An utterance starts, with the decoder's running mean as it is.
  void utteranceStarted(const RunningMean& live);
  // After each batch of the utterance, and at its end (`ending`), with the decoder's running
  // mean: the running mean to decode the utterance again with, from its start, once it has heard
  // enough speech (or, at its end, any); nothing otherwise. Once given, the mean is settled.
  std::optional<RunningMean> due(const RunningMean& live, bool ending);
  // After each batch of the utterance decoded again: the mean to decode the rest of it with.
  std::optional<std::vector<float>> following(const RunningMean& live) const;
  void utteranceEnded() { following_ = false; }

 private:
  // The frames the utterance added to the sum, beside the mean it started with; nothing when
  // the decoder has scaled its sum down since (it does so past some hundreds of frames).
  std::optional<std::vector<float>> ownMean(const RunningMean& live) const;

  const int framesNeeded_;
  const double priorWeight_;
  bool settled_ = false;
  bool following_ = false;  // the utterance decoded again is open
  RunningMean start_;
};

}  // namespace voxlet::linux_backend
