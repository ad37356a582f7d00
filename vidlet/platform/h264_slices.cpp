#include "platform/h264_slices.h"

namespace vidlet::platform {

namespace {

constexpr int kNalSlice = 1, kNalIdrSlice = 5;

// The payload bytes of a NAL unit (after its header byte) with emulation prevention removed.
std::vector<uint8_t> unescape(const uint8_t* nal, size_t size) {
  std::vector<uint8_t> rbsp;
  rbsp.reserve(size);
  int zeros = 0;
  for (size_t i = 1; i < size; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    rbsp.push_back(nal[i]);
  }
  return rbsp;
}

// A NAL unit of header and payload, with emulation prevention put in.
std::vector<uint8_t> escape(uint8_t header, const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> nal{header};
  nal.reserve(rbsp.size() + rbsp.size() / 64 + 2);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    nal.push_back(b);
  }
  return nal;
}

class BitReader {
 public:
  explicit BitReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  size_t position() const { return bit_; }
  uint32_t bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 1 | bit();
    return v;
  }
  uint32_t ue() {
    int leading = 0;
    while (ok_ && bit() == 0) {
      if (++leading > 31) ok_ = false;
    }
    if (!ok_) return 0;
    return (uint32_t{1} << leading) - 1 + bits(leading);
  }
  int32_t se() {
    const uint32_t k = ue();
    return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }

 private:
  uint32_t bit() {
    if (bit_ >= bytes_.size() * 8) {
      ok_ = false;
      return 0;
    }
    const uint32_t b = bytes_[bit_ / 8] >> (7 - bit_ % 8) & 1;
    ++bit_;
    return b;
  }
  const std::vector<uint8_t>& bytes_;
  size_t bit_ = 0;
  bool ok_ = true;
};

class BitWriter {
 public:
  void bits(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit(v >> i & 1);
  }
  void ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int length = 0;
    while (x >> (length + 1)) ++length;
    bits(0, length);
    for (int i = length; i >= 0; --i) bit(static_cast<uint32_t>(x >> i & 1));
  }
  // The stop bit and the zeros up to the byte boundary.
  std::vector<uint8_t> finish() {
    bit(1);
    while (used_ % 8) bit(0);
    return std::move(bytes_);
  }

 private:
  void bit(uint32_t b) {
    if (used_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> (used_ % 8));
    ++used_;
  }
  std::vector<uint8_t> bytes_;
  size_t used_ = 0;
};

bool isSlice(const uint8_t* nal, size_t size) {
  if (size < 2) return false;
  const int type = nal[0] & 0x1f;
  return type == kNalSlice || type == kNalIdrSlice;
}

// Reads a slice header up to pic_order_cnt_lsb, leaving the reader there.
std::optional<uint32_t> readToPoc(BitReader& r, bool idr, const SliceLayout& layout) {
  r.ue();  // first_mb_in_slice
  r.ue();  // slice_type
  r.ue();  // pic_parameter_set_id
  const uint32_t frameNum = r.bits(layout.log2MaxFrameNum);
  if (idr) r.ue();  // idr_pic_id
  if (!r.ok()) return std::nullopt;
  return frameNum;
}

}  // namespace

std::optional<SliceLayout> sliceLayout(const uint8_t* sps, size_t spsSize, const uint8_t* pps,
                                       size_t ppsSize) {
  if (spsSize < 4 || ppsSize < 2) return std::nullopt;
  SliceLayout layout;
  const std::vector<uint8_t> s = unescape(sps, spsSize);
  BitReader r(s);
  const uint32_t profile = r.bits(8);
  r.bits(16);  // constraint flags, level
  r.ue();      // seq_parameter_set_id
  for (uint32_t high : {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})
    if (profile == high) return std::nullopt;
  layout.log2MaxFrameNum = static_cast<int>(r.ue()) + 4;
  if (r.ue() != 0) return std::nullopt;  // pic_order_cnt_type
  layout.log2MaxPocLsb = static_cast<int>(r.ue()) + 4;
  r.ue();     // max_num_ref_frames
  r.bits(1);  // gaps_in_frame_num_value_allowed_flag
  const uint32_t width = r.ue() + 1, height = r.ue() + 1;
  if (r.bits(1) != 1) return std::nullopt;  // frame_mbs_only_flag
  if (!r.ok() || layout.log2MaxFrameNum > 16 || layout.log2MaxPocLsb > 16 || width > 4096 ||
      height > 4096)
    return std::nullopt;
  layout.macroblocks = static_cast<int>(width * height);

  const std::vector<uint8_t> p = unescape(pps, ppsSize);
  BitReader q(p);
  layout.ppsId = static_cast<int>(q.ue());
  q.ue();                                   // seq_parameter_set_id
  if (q.bits(1) != 0) return std::nullopt;  // entropy_coding_mode_flag: CAVLC only
  layout.bottomFieldPocPresent = q.bits(1);
  if (q.ue() != 0) return std::nullopt;     // num_slice_groups_minus1
  q.ue();                                   // num_ref_idx_l0_default_active_minus1
  q.ue();                                   // num_ref_idx_l1_default_active_minus1
  if (q.bits(1) != 0) return std::nullopt;  // weighted_pred_flag
  q.bits(2);                                // weighted_bipred_idc
  q.se();                                   // pic_init_qp_minus26
  q.se();                                   // pic_init_qs_minus26
  q.se();                                   // chroma_qp_index_offset
  layout.deblockingControlPresent = q.bits(1);
  q.bits(1);  // constrained_intra_pred_flag
  layout.redundantPicCntPresent = q.bits(1);
  if (!q.ok()) return std::nullopt;
  return layout;
}

std::optional<uint32_t> sliceFrameNum(const uint8_t* nal, size_t size, const SliceLayout& layout) {
  if (!isSlice(nal, size)) return std::nullopt;
  const std::vector<uint8_t> rbsp = unescape(nal, size);
  BitReader r(rbsp);
  return readToPoc(r, (nal[0] & 0x1f) == kNalIdrSlice, layout);
}

bool setSlicePocLsb(std::vector<uint8_t>& nal, const SliceLayout& layout, uint32_t pocLsb) {
  if (!isSlice(nal.data(), nal.size())) return false;
  std::vector<uint8_t> rbsp = unescape(nal.data(), nal.size());
  BitReader r(rbsp);
  if (!readToPoc(r, (nal[0] & 0x1f) == kNalIdrSlice, layout)) return false;
  const size_t at = r.position();
  r.bits(layout.log2MaxPocLsb);
  if (!r.ok()) return false;
  for (int i = 0; i < layout.log2MaxPocLsb; ++i) {
    const size_t bit = at + static_cast<size_t>(i);
    const auto mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    if (pocLsb >> (layout.log2MaxPocLsb - 1 - i) & 1)
      rbsp[bit / 8] |= mask;
    else
      rbsp[bit / 8] &= static_cast<uint8_t>(~mask);
  }
  nal = escape(nal[0], rbsp);
  return true;
}

std::vector<uint8_t> repeatSlice(const SliceLayout& layout, uint32_t frameNum, uint32_t pocLsb) {
  BitWriter w;
  w.ue(0);  // first_mb_in_slice
  w.ue(5);  // slice_type: P, as every slice of the picture
  w.ue(static_cast<uint32_t>(layout.ppsId));
  w.bits(frameNum & ((1u << layout.log2MaxFrameNum) - 1), layout.log2MaxFrameNum);
  w.bits(pocLsb & ((1u << layout.log2MaxPocLsb) - 1), layout.log2MaxPocLsb);
  if (layout.bottomFieldPocPresent) w.ue(0);        // delta_pic_order_cnt_bottom: se(0)
  if (layout.redundantPicCntPresent) w.ue(0);       // redundant_pic_cnt
  w.bits(0, 1);                                     // num_ref_idx_active_override_flag
  w.bits(0, 1);                                     // ref_pic_list_modification_flag_l0
  w.ue(0);                                          // slice_qp_delta: se(0)
  if (layout.deblockingControlPresent) w.ue(1);     // disable_deblocking_filter_idc: off
  w.ue(static_cast<uint32_t>(layout.macroblocks));  // mb_skip_run: the whole picture
  // nal_ref_idc 0 (nothing refers to it), type 1: a slice of a non-IDR picture.
  return escape(kNalSlice, w.finish());
}

}  // namespace vidlet::platform
