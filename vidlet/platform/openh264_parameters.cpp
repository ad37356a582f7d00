#include "platform/openh264_parameters.h"

#include <algorithm>
#include <climits>

#include "platform/i420_image.h"

namespace vidlet::platform {

namespace {

// EVideoFormatSPS: the source format is not named.
constexpr unsigned char kVideoFormatUnspecified = 5;
// OpenH264's rate control needs some rate; without one it aims at vidlet's default.
constexpr int64_t kDefaultBitRate = 4000000;

}  // namespace

SEncParamExt openh264Parameters(SEncParamExt p, const EncoderSettings& settings, int width,
                                int height) {
  p.iUsageType = CAMERA_VIDEO_REAL_TIME;
  p.iPicWidth = (width + 1) & ~1;
  p.iPicHeight = (height + 1) & ~1;
  const auto bitRate =
      static_cast<int>(std::min<int64_t>(settings.bitRate.value_or(kDefaultBitRate), INT_MAX));
  p.iTargetBitrate = bitRate;
  p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
  p.iRCMode = RC_BITRATE_MODE;
  // Every frame is encoded: the packet stream has one packet per frame.
  p.bEnableFrameSkip = false;
  p.fMaxFrameRate = static_cast<float>(frameRate(settings));
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
