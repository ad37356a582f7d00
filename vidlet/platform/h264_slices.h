// Reading and writing the few H.264 syntax elements a frame-repeating encoder needs: the layout of
// a stream's slice headers (from its sequence and picture parameter sets), a slice's frame_num, its
// picture order count rewritten, and a slice that repeats the reference picture. Pure functions on
// NAL units without start codes or length prefixes (header byte first, emulation prevention bytes
// in place).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vidlet::platform {

// What slice headers of a stream look like. Only what a Baseline stream of frames with picture
// order count type 0 and CAVLC uses is understood.
struct SliceLayout {
  int log2MaxFrameNum = 4;
  int log2MaxPocLsb = 4;
  int macroblocks = 0;  // in a frame
  int ppsId = 0;
  bool bottomFieldPocPresent = false;
  bool redundantPicCntPresent = false;
  bool deblockingControlPresent = false;
};

// The layout a sequence and a picture parameter set give, or none when either cannot be read or
// describes something else (another order count type, fields, CABAC, slice groups, weighted
// prediction).
std::optional<SliceLayout> sliceLayout(const uint8_t* sps, size_t spsSize, const uint8_t* pps,
                                       size_t ppsSize);

// A coded slice's frame_num, or none when the unit is no coded slice or cannot be read.
std::optional<uint32_t> sliceFrameNum(const uint8_t* nal, size_t size, const SliceLayout& layout);

// The slice with pic_order_cnt_lsb set to pocLsb (modulo its range); false, leaving it as it was,
// when it cannot be read.
bool setSlicePocLsb(std::vector<uint8_t>& nal, const SliceLayout& layout, uint32_t pocLsb);

// A non-reference P slice of the whole frame in which every macroblock is skipped: the decoder
// shows the reference picture again, unchanged (every motion vector predicts to zero and nothing is
// filtered). frameNum is the previous reference picture's frame_num plus one.
std::vector<uint8_t> repeatSlice(const SliceLayout& layout, uint32_t frameNum, uint32_t pocLsb);

}  // namespace vidlet::platform
