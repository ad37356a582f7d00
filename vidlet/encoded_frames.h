// What becomes of every encoded frame: failed, dropped and unready results are skipped, the
// parameter sets go out once as a configuration packet before the first key frame, and each frame
// goes out in Annex B form (every NAL unit behind the start code 00 00 00 01).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/video.h"

namespace vidlet {

// The session's output callback. Runs on the session's thread, one output at a time.
void outputCallback(void* outputCallbackRefCon, void* sourceFrameRefCon, platform::Status status,
                    uint32_t infoFlags, const platform::SampleBuffer* sample);

// The sample's NAL units, each behind startCode instead of its lengthSize-byte big-endian length
// prefix. Nothing when the sample's bytes cannot be reached. Conversion stops, keeping what it
// built, at a zero length, at a unit that would run past the end, or when too few bytes remain
// for a prefix.
std::optional<std::vector<uint8_t>> annexB(const platform::SampleBuffer& sample,
                                           int64_t lengthSize);

}  // namespace vidlet
