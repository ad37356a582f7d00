// The OpenH264 parameters for a session's settings and frame size: one pure mapping.
#pragma once

#include <wels/codec_api.h>

#include "platform/encoder_settings.h"

namespace vidlet::platform {

// OpenH264's defaults (an encoder's GetDefaultParams) set up for an encoder of width x height
// frames (OpenH264 takes 16 or more a side; an odd side is encoded at the next even size) on the
// calling thread: camera video in real time, one spatial and one temporal layer in a single slice,
// Constrained Baseline (CAVLC), parameter sets with constant ids; the rate (brought into what
// OpenH264 accepts: at least a bit a frame, at most 288 Mb/s), a key frame (IDR) at least every
// keyFrameInterval frames and the frame rate as the settings say, with frames never skipped and no
// key frames of OpenH264's own at scene changes; the colour description of I420Image.
SEncParamExt openh264Parameters(SEncParamExt defaults, const EncoderSettings& settings, int width,
                                int height);

}  // namespace vidlet::platform
