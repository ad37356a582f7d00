// Set-up of the compression session and the pixel-buffer pool.
#include <string>

#include "state.h"
#include "vidlet.h"

namespace vidlet {

void createSession() {
  using platform::PropertyKey;
  enc = platform::PixelBufferAttributes{};
  enc.pixelFormatType = platform::kPixelFormatBGRA;
  st = services->createCompressionSession(static_cast<int32_t>(W), static_cast<int32_t>(H),
                                          platform::kCodecTypeH264, enc, callback, nullptr, &s);
  if (st != platform::kStatusOk || !s)
    quit(kExitNoSession, "VTCompressionSessionCreate " + std::to_string(st) + "\n");
  session = s;
  // A refused property changes nothing; the session goes on with what it took.
  session->setProperty(PropertyKey::RealTime, true);
  session->setProperty(PropertyKey::ProfileLevel, platform::kProfileLevelH264BaselineAutoLevel);
  session->setProperty(PropertyKey::AllowFrameReordering, false);
  session->setProperty(PropertyKey::AverageBitRate, bitrate);
  session->setProperty(PropertyKey::ExpectedFrameRate, FPS);
  session->setProperty(PropertyKey::MaxKeyFrameInterval, FPS * 4);
  session->setProperty(PropertyKey::MaxKeyFrameIntervalDuration, int64_t{4});
  // The encoder starts here. A session that cannot start encodes nothing, so it fails as one that
  // could not be created would.
  const platform::Status prepared = session->prepareToEncodeFrames();
  if (prepared != platform::kStatusOk)
    quit(kExitNoSession, "VTCompressionSessionCreate " + std::to_string(prepared) + "\n");
}

void createPool() {
  pool.reset();
  poolAttrs = platform::PixelBufferAttributes{};
  poolAttrs.pixelFormatType = platform::kPixelFormatBGRA;
  poolAttrs.width = W;
  poolAttrs.height = H;
  services->createPixelBufferPool(poolAttrs, &pool);
  if (!pool) quit(kExitNoResources);
}

}  // namespace vidlet
