// The OpenH264 peer of vidlet's benchmark: reads what vidlet reads (a header line "W H FPS
// BITRATE", then raw BGRA frames) and writes an Annex B stream, encoded the way a real-time sender
// sets OpenH264 up: its own rate control at the target, no frame skipping, Constrained Baseline, a
// key frame every 4 seconds, one thread. Colours are converted by libyuv (BT.601, studio range) and
// tagged as vidlet tags them. With the argument "screen" it uses OpenH264's screen-content mode.
//
// Built by bench/vidlet-bench.py: g++ -O2 openh264-peer.cpp -lopenh264 -lyuv
#include <libyuv/convert.h>
#include <unistd.h>
#include <wels/codec_api.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool readFully(uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::read(0, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool writeFully(const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(1, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool screen = argc > 1 && std::strcmp(argv[1], "screen") == 0;
  std::string line;
  for (char c; ::read(0, &c, 1) == 1 && c != '\n';) line += c;
  int w = 0, h = 0, fps = 0;
  long long bitrate = 0;
  if (std::sscanf(line.c_str(), "%d %d %d %lld", &w, &h, &fps, &bitrate) != 4 || w < 2 || h < 2 ||
      w % 2 || h % 2 || fps < 1 || bitrate < 1) {
    std::fprintf(stderr, "want an even size, a frame rate and a bit rate\n");
    return 2;
  }
  ISVCEncoder* encoder = nullptr;
  if (WelsCreateSVCEncoder(&encoder) != 0 || !encoder) return 3;
  SEncParamExt p;
  encoder->GetDefaultParams(&p);
  p.iUsageType = screen ? SCREEN_CONTENT_REAL_TIME : CAMERA_VIDEO_REAL_TIME;
  p.iPicWidth = w;
  p.iPicHeight = h;
  p.iTargetBitrate = static_cast<int>(bitrate);
  p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
  p.iRCMode = RC_BITRATE_MODE;
  p.fMaxFrameRate = static_cast<float>(fps);
  p.bEnableFrameSkip = false;
  p.uiIntraPeriod = static_cast<unsigned>(fps * 4);
  p.uiMaxNalSize = 0;
  p.iMultipleThreadIdc = 1;
  p.eSpsPpsIdStrategy = CONSTANT_ID;
  p.iEntropyCodingModeFlag = 0;
  p.iSpatialLayerNum = 1;
  p.iTemporalLayerNum = 1;
  SSpatialLayerConfig& layer = p.sSpatialLayers[0];
  layer.iVideoWidth = w;
  layer.iVideoHeight = h;
  layer.fFrameRate = static_cast<float>(fps);
  layer.iSpatialBitrate = p.iTargetBitrate;
  layer.iMaxSpatialBitrate = p.iMaxBitrate;
  layer.uiProfileIdc = PRO_BASELINE;
  layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  layer.bVideoSignalTypePresent = true;
  layer.uiVideoFormat = 5;  // unspecified
  layer.bFullRange = false;
  layer.bColorDescriptionPresent = true;
  layer.uiColorPrimaries = 1;            // BT.709
  layer.uiTransferCharacteristics = 13;  // sRGB
  layer.uiColorMatrix = 6;               // BT.601
  int quiet = WELS_LOG_QUIET;
  encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
  if (encoder->InitializeExt(&p) != 0) return 3;
  int format = videoFormatI420;
  encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &format);

  const size_t frameBytes = static_cast<size_t>(w) * h * 4;
  std::vector<uint8_t> bgra(frameBytes), yuv(static_cast<size_t>(w) * h * 3 / 2);
  uint8_t* y = yuv.data();
  uint8_t* u = y + static_cast<size_t>(w) * h;
  uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
  SSourcePicture pic{};
  pic.iColorFormat = videoFormatI420;
  pic.iPicWidth = w;
  pic.iPicHeight = h;
  pic.iStride[0] = w;
  pic.iStride[1] = pic.iStride[2] = w / 2;
  pic.pData[0] = y;
  pic.pData[1] = u;
  pic.pData[2] = v;
  for (long long n = 0; readFully(bgra.data(), frameBytes); ++n) {
    libyuv::ARGBToI420(bgra.data(), w * 4, y, w, u, w / 2, v, w / 2, w, h);
    pic.uiTimeStamp = n * 1000 / fps;
    SFrameBSInfo info{};
    if (encoder->EncodeFrame(&pic, &info) != cmResultSuccess) return 4;
    if (info.eFrameType == videoFrameTypeSkip) continue;
    for (int l = 0; l < info.iLayerNum; ++l) {
      const SLayerBSInfo& bs = info.sLayerInfo[l];
      size_t size = 0;
      for (int i = 0; i < bs.iNalCount; ++i) size += static_cast<size_t>(bs.pNalLengthInByte[i]);
      if (!writeFully(bs.pBsBuf, size)) return 4;
    }
  }
  encoder->Uninitialize();
  WelsDestroySVCEncoder(encoder);
  return 0;
}
