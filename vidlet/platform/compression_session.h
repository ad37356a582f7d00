// A compression session over a synchronous encoder: the properties collect into settings, the
// encoder opens when the session is prepared (or at the first frame), and frames wait in a short
// queue for the session's serial worker, which hands them to the encoder one at a time in
// submission order. So reading the next frame overlaps encoding this one, and the output callback
// runs on the worker's thread.
#pragma once

#include <atomic>
#include <memory>

#include "platform/encoder_settings.h"
#include "platform/serial_worker.h"
#include "platform/video_encoder.h"

namespace vidlet::platform {

// Frames waiting for the session's worker; a full queue makes encodeFrame wait.
constexpr size_t kFrameQueueDepth = 2;

class AsyncCompressionSession final : public CompressionSession {
 public:
  AsyncCompressionSession(OpenVideoEncoder openEncoder, int32_t width, int32_t height,
                          OutputCallback callback, void* refCon)
      : openEncoder_(openEncoder),
        width_(width),
        height_(height),
        callback_(callback),
        refCon_(refCon) {}
  ~AsyncCompressionSession() override { invalidate(); }

  // Refused once the encoder is open: its parameters are fixed then.
  Status setProperty(PropertyKey key, const PropertyValue& value) override;
  Status prepareToEncodeFrames() override;
  // Takes BGRA buffers of the session's size only.
  Status encodeFrame(PixelBufferRef imageBuffer, MediaTime presentationTimeStamp,
                     const FrameOptions* frameOptions, void* sourceFrameRefCon,
                     uint32_t* infoFlagsOut) override;
  // Every frame goes through in order, so completing up to any time means completing all.
  Status completeFrames(MediaTime completeUntilPresentationTimeStamp) override;
  void invalidate() override;

 private:
  const OpenVideoEncoder openEncoder_;
  const int32_t width_, height_;
  const OutputCallback callback_;
  void* const refCon_;

  // Used by the submitting thread only.
  EncoderSettings settings_;
  bool prepared_ = false;
  Status openStatus_ = kStatusOk;

  // Set by invalidate, which may run on another thread while a frame waits to be queued.
  std::atomic<bool> invalidated_{false};

  // Opened before the worker starts, then used by the worker alone until it has stopped.
  std::unique_ptr<VideoEncoder> encoder_;
  SerialWorker worker_{kFrameQueueDepth};
};

}  // namespace vidlet::platform
