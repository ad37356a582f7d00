#include "platform/openh264_parameters.h"

#include <algorithm>

#include "platform/i420_image.h"

namespace vidlet::platform {

namespace {

// EVideoFormatSPS: the source format is not named.
constexpr unsigned char kVideoFormatUnspecified = 5;
// OpenH264's rate control needs some rate; without one it aims at vidlet's default.
constexpr int64_t kDefaultBitRate = 4000000;
// OpenH264 refuses a rate above that of level 5.2 with Baseline's allowance (240 Mb/s x 1.2), and
// one below a bit a frame.
constexpr int64_t kMostBitRate = 288000000;
// Frame rates beyond this are all the same to a rate control that counts bits per frame, and keep
// the least rate (a bit a frame) reachable.
constexpr int32_t kMaxFrameRate = 1000;

}  // namespace

SEncParamExt openh264Parameters(SEncParamExt p, const EncoderSettings& settings, int width,
                                int height) {
  p.iUsageType = CAMERA_VIDEO_REAL_TIME;
  p.iPicWidth = (width + 1) & ~1;
  p.iPicHeight = (height + 1) & ~1;
  const int32_t fps = std::clamp(frameRate(settings), 1, kMaxFrameRate);
  const auto bitRate = static_cast<int>(
      std::clamp<int64_t>(settings.bitRate.value_or(kDefaultBitRate), fps, kMostBitRate));
  p.iTargetBitrate = bitRate;
  p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
  p.iRCMode = RC_BITRATE_MODE;
  // OpenH264 never drops a frame itself: the encoder decides which frames show the previous
  // picture again, so that every frame still has its packet.
  p.bEnableFrameSkip = false;
  // The whole quantiser range. OpenH264 2.3's camera rate control keeps its own ceiling (about 36)
  // whatever iMaxQp says; only a floor (iMinQp) moves it, and a floor starves easy pictures (the
  // 768x576 footage at 1 Mb/s falls to 0.26 times the target at a floor of 37).
  p.iMinQp = 0;
  p.iMaxQp = 51;
  // OpenH264's scene-change detection reads film grain as changes of scene (on grainy 640x360 a key
  // frame every 17 frames, 1.70 times the target instead of 1.39) and missed the picture turning
  // upside down; its key frames also come when the last second has no room for them. The encoder
  // finds cuts itself (SceneCut) and places the key frames.
  p.bEnableSceneChangeDetect = false;
  p.fMaxFrameRate = static_cast<float>(fps);
  p.uiIntraPeriod = static_cast<unsigned>(keyFrameInterval(settings).value_or(0));
  p.iTemporalLayerNum = 1;
  p.iSpatialLayerNum = 1;
  p.eSpsPpsIdStrategy = CONSTANT_ID;
  p.bPrefixNalAddingCtrl = false;
  p.bEnableSSEI = false;
  p.iEntropyCodingModeFlag = 0;  // CAVLC: Baseline
  p.bEnableLongTermReference = false;
  p.uiMaxNalSize = 0;
  // One slice on one thread: the least work per frame, which is what a call shares the machine by.
  p.iMultipleThreadIdc = 1;

  SSpatialLayerConfig& layer = p.sSpatialLayers[0];
  layer.iVideoWidth = p.iPicWidth;
  layer.iVideoHeight = p.iPicHeight;
  layer.fFrameRate = p.fMaxFrameRate;
  layer.iSpatialBitrate = bitRate;
  layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
  layer.uiProfileIdc = PRO_BASELINE;
  layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  layer.sSliceArgument.uiSliceNum = 1;
  layer.bVideoSignalTypePresent = true;
  layer.uiVideoFormat = kVideoFormatUnspecified;
  layer.bFullRange = I420Image::kColour.fullRange;
  layer.bColorDescriptionPresent = true;
  layer.uiColorPrimaries = static_cast<unsigned char>(I420Image::kColour.primaries);
  layer.uiTransferCharacteristics = static_cast<unsigned char>(I420Image::kColour.transfer);
  layer.uiColorMatrix = static_cast<unsigned char>(I420Image::kColour.matrix);
  return p;
}

}  // namespace vidlet::platform
