#include "platform/x264_parameters.h"

#include <algorithm>
#include <cstdarg>

#include "platform/i420_image.h"

namespace vidlet::platform {

namespace {

void quietLog(void*, int, const char*, va_list) {}

// x264 counts kilobits per second, and kilobits of buffer, in an int.
int kilo(int64_t bits) {
  return static_cast<int>(std::clamp<int64_t>((bits + 500) / 1000, 1, INT32_MAX));
}

}  // namespace

// Motion analysis: x264's "veryfast" (hexagon search, sub-pixel refinement 2, 8x8 inter
// partitions, one reference frame) at every size. "faster" costs 1.3 to 2 times the work for
// 0.1 dB on camera-like input. The cheaper "superfast" (diamond search, refinement 1) was tried for
// pictures above 720p, measured with a buffer of 0.3 s + one frame (load average 12 on 2 cores, CPU
// time per frame, ffmpeg's libx264 at each preset on the same pipe): on the 1080p page of scrolled
// text it saves 7 to 8% of the CPU (19.8 against 21.4 ms a frame at 1 Mb/s, 20.2 against 21.4 at
// 4 Mb/s) and loses 0.5 dB at 1 Mb/s and 5.4 dB at 4 Mb/s (31.0 against 36.4 dB in RGB); on
// camera-like 720p it saves 27% but loses 0.1 to 0.4 dB.
const char* x264Preset(int, int) {
  return "veryfast";
}

std::optional<x264_param_t> x264Parameters(const EncoderSettings& settings, int width, int height,
                                           int threads) {
  x264_param_t p;
  if (x264_param_default_preset(&p, x264Preset(width, height),
                                settings.realTime ? "zerolatency" : nullptr) < 0)
    return std::nullopt;
  p.pf_log = quietLog;
  p.i_log_level = X264_LOG_NONE;
  p.i_csp = X264_CSP_I420;
  // The stream says how its pictures were made from the frames, so that a decoder turns them back
  // into the same colours instead of guessing a matrix from the picture size.
  p.vui.i_colorprim = I420Image::kColour.primaries;
  p.vui.i_transfer = I420Image::kColour.transfer;
  p.vui.i_colmatrix = I420Image::kColour.matrix;
  p.vui.b_fullrange = I420Image::kColour.fullRange ? 1 : 0;
  p.i_width = (width + 1) & ~1;
  p.i_height = (height + 1) & ~1;
  // One slice thread per core: x264's own count for sliced threads (one and a half per core)
  // only adds slices.
  p.i_threads = std::clamp(threads, 1, 16);

  // The encoder's clock ticks once a frame.
  const int32_t fps = frameRate(settings);
  p.i_fps_num = static_cast<uint32_t>(fps);
  p.i_fps_den = 1;
  p.i_timebase_num = 1;
  p.i_timebase_den = static_cast<uint32_t>(fps);
  p.b_vfr_input = 0;

  if (!settings.allowFrameReordering) p.i_bframe = 0;
  if (const std::optional<RateBound> bound = rateBound(settings)) {
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = kilo(*settings.bitRate);
    p.rc.i_vbv_max_bitrate = kilo(bound->peakBitRate);
    p.rc.i_vbv_buffer_size = kilo(bound->bufferBits);
  }
  if (const std::optional<int32_t> interval = keyFrameInterval(settings))
    p.i_keyint_max = *interval;

  // Parameter sets travel in the format description, frames as length-prefixed NAL units.
  p.b_repeat_headers = 0;
  p.b_annexb = 0;
  if (settings.baseline && x264_param_apply_profile(&p, "baseline") < 0) return std::nullopt;
  return p;
}

}  // namespace vidlet::platform
