#include "platform/openh264_encoder.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "platform/h264_slices.h"
#include "platform/i420_image.h"
#include "platform/openh264_parameters.h"
#include "platform/rate_guard.h"
#include "platform/scene_cut.h"
#include "platform/screen_content.h"
#include "platform/screen_quantiser.h"

namespace vidlet::platform {

namespace {

constexpr int kLengthPrefixSize = 4;
// The rate guard's bounds, in seconds of the target. OpenH264's own rate control cannot hold the
// target on costly pictures: in camera mode it never quantises a P frame coarser than 36 (an IDR
// 32), and without frame skipping grainy 640x360 at 250 kb/s came out at 1.70 times the target,
// with a busiest second of 1.89. Guarded, the same input holds 1.03 times and 1.14, repeating 59
// of 150 frames; camera-like 720p at 1 Mb/s repeats one frame (the room made for a key frame).
// The allowance keeps the average of a 3-second run within a tenth of the target. A screen's
// average stays under the target of itself (ScreenQuantiser refines the page only while the rate
// leaves room), and its bucket holds half a second: a refinement of the whole page then does not
// hold back the frames of the page moving just after it (a 640x360 page scrolling at 250 kb/s:
// 31.9 dB in RGB, 21.5 dB with the camera's allowance).
constexpr double kAllowance = 0.2;
constexpr double kScreenAllowance = 0.5;
constexpr double kSecond = 1.3;
// A key frame may cost twice what the last one did: the first is planned at half the target, and
// a mandelbrot zoom at 250 kb/s needed 0.25 s of it for the first and 0.42 s for the next. The room
// made for one is at most a third of the second's bound: a page of text's key frame can take 0.8 s
// of the target, which no emptier second would hold either.
constexpr int64_t kKeyMargin = 2;
constexpr int kNalSps = 7, kNalPps = 8, kNalSei = 6;

struct EncoderDeleter {
  void operator()(ISVCEncoder* encoder) const {
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
  }
};
using EncoderPtr = std::unique_ptr<ISVCEncoder, EncoderDeleter>;

// The NAL units of an encoded frame or of the parameter sets, as OpenH264 writes them: each behind
// a start code, with its length (start code included) listed per layer.
template <typename Each>
void forEachNal(const SFrameBSInfo& info, Each each) {
  for (int l = 0; l < info.iLayerNum; ++l) {
    const SLayerBSInfo& layer = info.sLayerInfo[l];
    const unsigned char* at = layer.pBsBuf;
    for (int i = 0; i < layer.iNalCount; ++i) {
      const auto length = static_cast<size_t>(layer.pNalLengthInByte[i]);
      size_t skip = 0;  // the start code: zeros, then a one
      while (skip < length && at[skip] == 0) ++skip;
      if (skip + 1 < length && at[skip] == 1) each(at + skip + 1, length - skip - 1);
      at += length;
    }
  }
}

// A NAL unit behind its length, as the samples carry it.
void appendUnit(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& nal) {
  for (int shift = 8 * (kLengthPrefixSize - 1); shift >= 0; shift -= 8)
    bytes.push_back(static_cast<uint8_t>(nal.size() >> shift));
  bytes.insert(bytes.end(), nal.begin(), nal.end());
}

class OpenH264Encoder final : public VideoEncoder {
 public:
  OpenH264Encoder(OutputCallback callback, void* refCon, const EncoderSettings& settings)
      : callback_(callback),
        refCon_(refCon),
        fps_(frameRate(settings)),
        interval_(keyFrameInterval(settings)) {
    if (settings.bitRate) {
      target_ = *settings.bitRate;
      keyRoom_ = seconds(kSecond / 3);
      guard_.emplace(target_, fps_, seconds(kAllowance), seconds(kSecond));
    }
  }

  Status open(const EncoderSettings& settings, int32_t width, int32_t height);
  void encode(PixelBufferRef image, MediaTime presentationTimeStamp, bool forceKeyFrame,
              void* sourceFrameRefCon) override;
  // Each frame comes out of encode: nothing waits inside.
  void flush() override {}
  void abandon() override {}

 private:
  // The bits of that many seconds at the target.
  int64_t seconds(double s) const { return static_cast<int64_t>(static_cast<double>(target_) * s); }
  void report(void* frameRefCon, Status status) {
    callback_(refCon_, frameRefCon, status, kInfoFrameDropped, nullptr);
  }
  Status setUp();
  bool chooseMode(const uint8_t* bgra, size_t stride);
  // Encodes the picture, at a fixed quantiser when the key quantiser says so.
  bool encodePicture(SSourcePicture* picture, bool key, SFrameBSInfo* info);
  bool setQp(int qp);
  bool plan(bool forceKeyFrame, bool cut, bool* key);
  // The previous picture again, as the frame's packet.
  void repeat(void* frameRefCon);
  void deliver(const SFrameBSInfo& info, void* frameRefCon);
  void send(std::vector<uint8_t> bytes, bool key, void* frameRefCon);

  const OutputCallback callback_;
  void* const refCon_;
  const int fps_;
  const std::optional<int32_t> interval_;
  int64_t target_ = 0;  // the bit rate asked for; none (0) without one
  std::optional<RateGuard> guard_;
  SEncParamExt start_{};  // what the encoder is initialised with
  int bitRate_ = 0;       // the target OpenH264 runs at once the first frame is out
  EncoderPtr encoder_;
  std::unique_ptr<I420Image> image_;
  std::shared_ptr<const FormatDescription> format_;
  SliceLayout layout_;
  int64_t frames_ = 0;         // frames given
  int64_t sinceKey_ = 0;       // frames out since the last key frame, that one included
  uint32_t lastFrameNum_ = 0;  // of the last picture OpenH264 made
  int64_t lastBits_ = 0;       // what the last other frame it made cost
  int64_t keyBits_ = 0;        // what the last key frame cost
  int64_t keyRoom_ = 0;        // the most room made for one
  bool started_ = false;       // a key frame is out
  SceneCut sceneCut_;
  bool sceneCuts_ = true;  // where the scene changes; a screen's page, with a target only
  int64_t cutAt_ = -1;     // the frame where the scene last changed
  std::optional<ScreenQuantiser> quantiser_;  // screen mode with a target only
};

Status OpenH264Encoder::open(const EncoderSettings& settings, int32_t width, int32_t height) {
  ISVCEncoder* raw = nullptr;
  if (WelsCreateSVCEncoder(&raw) != 0 || !raw) return kErrAllocation;
  // Uninitialize is harmless on an encoder that was never initialised.
  encoder_.reset(raw);
  int quiet = WELS_LOG_QUIET;
  encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
  SEncParamExt defaults;
  if (encoder_->GetDefaultParams(&defaults) != cmResultSuccess) return kErrParameter;
  start_ = openh264Parameters(defaults, settings, width, height);
  bitRate_ = start_.iTargetBitrate;
  // The first key frame is planned at half the target: OpenH264 sets its quantiser from the bits
  // per pixel, and at the full target a grainy 640x360 picture at 250 kb/s took 0.53 s of them
  // (0.22 s planned at half).
  start_.iTargetBitrate = start_.sSpatialLayers[0].iSpatialBitrate =
      std::max(bitRate_ / 2, static_cast<int>(start_.fMaxFrameRate));
  image_ = I420Image::make(width, height);
  if (!image_) return kErrAllocation;
  return setUp();
}

// Initialises the encoder with start_ and takes its parameter sets.
Status OpenH264Encoder::setUp() {
  if (encoder_->InitializeExt(&start_) != cmResultSuccess) return kErrParameter;
  int format = videoFormatI420;
  encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  SFrameBSInfo info{};
  if (encoder_->EncodeParameterSets(&info) != cmResultSuccess) return kErrEncode;
  try {
    std::vector<std::vector<uint8_t>> sets;
    forEachNal(info, [&](const unsigned char* nal, size_t size) {
      const int type = nal[0] & 0x1f;
      if (type == kNalSps || type == kNalPps) sets.emplace_back(nal, nal + size);
    });
    if (sets.size() != 2 || (sets[0][0] & 0x1f) != kNalSps) return kErrEncode;
    const std::optional<SliceLayout> layout =
        sliceLayout(sets[0].data(), sets[0].size(), sets[1].data(), sets[1].size());
    if (!layout) return kErrEncode;
    layout_ = *layout;
    format_ = std::make_shared<H264FormatDescription>(std::move(sets), kLengthPrefixSize);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

// Before the first frame: OpenH264 in its screen-content mode when the frame looks like a screen.
// On a 1080p page of text at 1 Mb/s that mode gave 38.7 dB in RGB at 0.58 times the target, the
// camera mode 33.6 dB at twice the target. With a target, the quantisers are ScreenQuantiser's
// (OpenH264's rate control off): its own made the page's first key frame 0.79 s of the target.
// Nothing has gone out yet, so the parameter sets may still change.
bool OpenH264Encoder::chooseMode(const uint8_t* bgra, size_t stride) {
  if (!looksLikeScreen(bgra, stride, image_->width(), image_->height())) return true;
  const SEncParamExt camera = start_;
  encoder_->Uninitialize();
  start_.iUsageType = SCREEN_CONTENT_REAL_TIME;
  start_.iTargetBitrate = start_.sSpatialLayers[0].iSpatialBitrate = bitRate_;
  // Without a target, OpenH264's own key frames where the page changes. With one, a change goes
  // out as an other frame, or as a key frame over half a second or with one due soon (plan()).
  start_.bEnableSceneChangeDetect = !guard_;
  if (guard_) {
    start_.iRCMode = RC_OFF_MODE;
    start_.bEnableAdaptiveQuant = false;  // it would move the quantiser away from the one set
    start_.sSpatialLayers[0].iDLayerQp = ScreenQuantiser::kFirstQp;
  }
  if (setUp() == kStatusOk) {
    sceneCuts_ = guard_.has_value();
    if (guard_) {
      quantiser_.emplace(target_, fps_);
      guard_.emplace(target_, fps_, seconds(kScreenAllowance), seconds(kSecond));
    }
    return true;
  }
  encoder_->Uninitialize();
  start_ = camera;
  return setUp() == kStatusOk;
}

void OpenH264Encoder::encode(PixelBufferRef image, MediaTime presentationTimeStamp,
                             bool forceKeyFrame, void* sourceFrameRefCon) {
  const int64_t frame = frames_++;
  if (guard_) guard_->tick();
  if (quantiser_) quantiser_->tick();
  bool ok = image->lockBaseAddress(kLockReadOnly) == kStatusOk;
  bool key = false, encoded = false;
  if (ok) {
    const uint8_t* bgra = image->baseAddress();
    const size_t stride = image->bytesPerRow();
    ok = frame > 0 || chooseMode(bgra, stride);
    if (ok && sceneCuts_ && sceneCut_.next(bgra, stride, image_->width(), image_->height()))
      cutAt_ = frame;
    // A cut waits for room for its key frame, for a second at most; a page's change never does.
    const bool cut = cutAt_ >= 0 && frame - cutAt_ < (quantiser_ ? 1 : fps_);
    encoded = ok && plan(forceKeyFrame, cut, &key);
    if (encoded) ok = image_->fromBgra(bgra, stride);
    image->unlockBaseAddress(kLockReadOnly);
  }
  image.reset();  // back to its pool: the encoder has its own copy now
  if (!ok) {
    callback_(refCon_, sourceFrameRefCon, kErrEncode, 0, nullptr);
    return;
  }
  if (!encoded) {
    repeat(sourceFrameRefCon);
    return;
  }
  SSourcePicture picture{};
  picture.iColorFormat = videoFormatI420;
  picture.iPicWidth = image_->paddedWidth();
  picture.iPicHeight = image_->paddedHeight();
  picture.iStride[0] = image_->strideY();
  picture.iStride[1] = picture.iStride[2] = image_->strideUV();
  picture.pData[0] = image_->y();
  picture.pData[1] = image_->u();
  picture.pData[2] = image_->v();
  // Milliseconds, which the rate control reads: the frame's own time when it has one.
  picture.uiTimeStamp = presentationTimeStamp.isValid()
                            ? static_cast<long long>(presentationTimeStamp.in(1000))
                            : frame * 1000 / fps_;
  SFrameBSInfo info{};
  if (!encodePicture(&picture, key, &info)) {
    report(sourceFrameRefCon, kErrEncode);
    return;
  }
  if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) {
    if (started_)
      repeat(sourceFrameRefCon);
    else
      report(sourceFrameRefCon, kErrEncode);
    return;
  }
  const bool first = !started_;
  deliver(info, sourceFrameRefCon);
  if (first && started_) {
    SBitrateInfo rate{};
    rate.iLayer = SPATIAL_LAYER_ALL;
    rate.iBitrate = bitRate_;
    encoder_->SetOption(ENCODER_OPTION_BITRATE, &rate);
  }
}

// The quantiser of the frames to come, while OpenH264's rate control is off.
bool OpenH264Encoder::setQp(int qp) {
  SEncParamExt p;
  if (encoder_->GetOption(ENCODER_OPTION_SVC_ENCODE_PARAM_EXT, &p) != cmResultSuccess) return false;
  if (p.sSpatialLayers[0].iDLayerQp == qp) return true;
  p.sSpatialLayers[0].iDLayerQp = qp;
  return encoder_->SetOption(ENCODER_OPTION_SVC_ENCODE_PARAM_EXT, &p) == cmResultSuccess;
}

// With the screen quantiser, a frame over half a second of the target is encoded again as a
// coarser key frame: nothing of it has gone out, and a key frame needs no reference.
bool OpenH264Encoder::encodePicture(SSourcePicture* picture, bool key, SFrameBSInfo* info) {
  if (!quantiser_) {
    if (key) encoder_->ForceIntraFrame(true);
    return encoder_->EncodeFrame(picture, info) == cmResultSuccess;
  }
  for (bool again = true; again; key = true) {
    if (!setQp(quantiser_->qp(key))) return false;
    if (key) encoder_->ForceIntraFrame(true);
    *info = SFrameBSInfo{};
    if (encoder_->EncodeFrame(picture, info) != cmResultSuccess) return false;
    again = quantiser_->cost(key, static_cast<int64_t>(info->iFrameSizeInBytes) * 8);
  }
  return true;
}

// A key frame comes when asked for, and at the latest when the interval is up; from a second before
// that, or for a second after the scene changes, it comes as soon as the last second leaves room
// for one, and frames are repeated to make that room. A screen's key frame makes the page coarser
// for a while (1080p at 1 Mb/s: 45 to 29 dB), so it comes at the interval, or up to a second before
// where the page changed much and the last second has room for two; no frame waits for it. The page
// sharpens again from where it moved: on the bench's 1080p page, scrolling every 2 s, 34.47 to
// 35.25 dB in RGB at 1 Mb/s, 43.96 to 44.41 at 4 Mb/s, the same busiest second. Other frames are
// repeated wherever the guard says so.
bool OpenH264Encoder::plan(bool forceKeyFrame, bool cut, bool* key) {
  const bool due = interval_ && sinceKey_ >= *interval_ - fps_;
  *key = forceKeyFrame || !started_ || (interval_ && sinceKey_ >= *interval_);
  if (*key) return true;
  if (!guard_) {
    *key = due || cut;
    return true;
  }
  const bool early = quantiser_ ? due && cut : due || cut;
  if (early && guard_->admits(quantiser_ ? kKeyMargin * keyBits_
                                         : std::min(kKeyMargin * keyBits_, keyRoom_))) {
    *key = true;
    return true;
  }
  // A screen's frame that refines the page may cost up to about a key frame; held back, it repeats
  // a page that stood still.
  const bool refining = quantiser_ && quantiser_->refining();
  return (quantiser_ || !early) &&
         guard_->admits(refining ? std::max(lastBits_, keyBits_) : lastBits_);
}

void OpenH264Encoder::repeat(void* frameRefCon) {
  std::vector<uint8_t> bytes;
  try {
    const std::vector<uint8_t> nal =
        repeatSlice(layout_, lastFrameNum_ + 1, static_cast<uint32_t>(2 * sinceKey_));
    appendUnit(bytes, nal);
  } catch (const std::bad_alloc&) {
    report(frameRefCon, kErrAllocation);
    return;
  }
  send(std::move(bytes), false, frameRefCon);
}

// The frame's slices as length-prefixed NAL units, each with its picture order count after the
// frames repeated since the key frame; the parameter sets OpenH264 repeats before every IDR travel
// in the format description instead.
void OpenH264Encoder::deliver(const SFrameBSInfo& info, void* frameRefCon) {
  const bool key = info.eFrameType == videoFrameTypeIDR;
  if (key) {
    sinceKey_ = 0;
    cutAt_ = -1;
  }
  std::vector<uint8_t> bytes;
  try {
    bytes.reserve(static_cast<size_t>(info.iFrameSizeInBytes));
    forEachNal(info, [&](const unsigned char* nal, size_t size) {
      const int type = nal[0] & 0x1f;
      if (type == kNalSps || type == kNalPps || type == kNalSei) return;
      std::vector<uint8_t> unit(nal, nal + size);
      if (const std::optional<uint32_t> frameNum = sliceFrameNum(nal, size, layout_)) {
        // A repeat follows the last reference picture (nal_ref_idc above 0).
        if (nal[0] & 0x60) lastFrameNum_ = *frameNum;
        setSlicePocLsb(unit, layout_, static_cast<uint32_t>(2 * sinceKey_));
      }
      appendUnit(bytes, unit);
    });
  } catch (const std::bad_alloc&) {
    report(frameRefCon, kErrAllocation);
    return;
  }
  if (key) started_ = true;
  (key ? keyBits_ : lastBits_) = static_cast<int64_t>(bytes.size()) * 8;
  send(std::move(bytes), key, frameRefCon);
}

void OpenH264Encoder::send(std::vector<uint8_t> bytes, bool key, void* frameRefCon) {
  ++sinceKey_;
  if (guard_) guard_->spent(static_cast<int64_t>(bytes.size()) * 8);
  deliverFrame(callback_, refCon_, frameRefCon, format_, std::move(bytes), key);
}

}  // namespace

Status openOpenH264Encoder(const EncoderSettings& settings, int32_t width, int32_t height,
                           OutputCallback outputCallback, void* outputCallbackRefCon,
                           std::unique_ptr<VideoEncoder>* encoderOut) {
  if (width < kOpenH264MinSide || height < kOpenH264MinSide) return kErrParameter;
  std::unique_ptr<OpenH264Encoder> encoder(
      new (std::nothrow) OpenH264Encoder(outputCallback, outputCallbackRefCon, settings));
  if (!encoder) return kErrAllocation;
  if (const Status status = encoder->open(settings, width, height); status != kStatusOk)
    return status;
  *encoderOut = std::move(encoder);
  return kStatusOk;
}

}  // namespace vidlet::platform
