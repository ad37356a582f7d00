// The quantiser of every frame of a screen share. OpenH264's rate control for screens never
// quantises a key frame coarser than 35, so a 1080p page of text took 0.73 s of a 1 Mb/s target in
// one frame. This policy plans each key frame by what the last one cost, has a frame that went over
// half a second encoded again as a coarser key frame, and refines a still page one step at a time
// while the rate leaves room. Pure: it is told what each encoded frame cost.
#pragma once

#include <cstdint>

namespace vidlet::platform {

class ScreenQuantiser {
 public:
  // bitRate and fps at least 1.
  ScreenQuantiser(int64_t bitRate, int32_t fps);

  static constexpr int kFirstQp = 36;  // about where OpenH264 starts a page at 1 Mb/s
  static constexpr int kFinestQp = 20;
  static constexpr int kCoarsestQp = 51;
  // A key frame is planned at this share of a second of the rate; a frame may cost half a second.
  static constexpr double kKeyAim = 0.45;

  // The quantiser for the coming frame: a key frame, or another.
  int qp(bool key) const;
  // Whether the coming frame, no key frame, is quantised finer than the last frame encoded: it may
  // cost a good part of a key frame.
  bool refining() const { return qp_ < codedQp_; }
  // What the frame encoded at qp(key) cost. True when it went over half a second while a coarser
  // quantiser is left: it must be encoded again, as a key frame at qp(true).
  bool cost(bool key, int64_t bits);
  // A frame has gone by, encoded or not.
  void tick() { recent_ -= recent_ * decay_; }

 private:
  const double share_;  // the bits of a frame at the target
  const int64_t limitBits_;
  const int64_t aimBits_;
  const double decay_;      // of recent_, per frame
  double recent_ = 0;       // bits per frame, on average over about the last second
  int qp_ = kFirstQp;       // for frames that are no key frames
  int codedQp_ = kFirstQp;  // that of the last frame encoded
  int retryQp_ = 0;         // a frame being encoded again as a key frame; none (0) otherwise
  int lastKeyQp_ = 0;       // what the last key frame was encoded at; none (0) before the first
  int64_t lastKeyBits_ = 0;
};

}  // namespace vidlet::platform
