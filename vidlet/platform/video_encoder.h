// A synchronous video encoder: what a compression session runs its frames through, one backend
// each. The encoder reports every frame it was given exactly once through the output callback,
// with the callback's reference value, on the thread that calls it: encoded, failed, or dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "platform/encoder_settings.h"
#include "platform/video.h"

namespace vidlet::platform {

class VideoEncoder {
 public:
  // Releases everything the encoder holds, however far it got; frames still inside are not
  // reported (abandon reports them).
  virtual ~VideoEncoder() = default;
  // Encodes one BGRA frame of the encoder's size. The image is released once its pixels have been
  // taken, before the frame is compressed. The frame is reported now or by a later call.
  virtual void encode(PixelBufferRef image, MediaTime presentationTimeStamp, bool forceKeyFrame,
                      void* sourceFrameRefCon) = 0;
  // Every frame given so far comes out: encoded, or reported failed.
  virtual void flush() = 0;
  // Every frame still inside is reported dropped with kErrInvalidated.
  virtual void abandon() = 0;
};

// Hands one encoded frame (Annex B or length-prefixed NAL units, as `format` says) to the callback,
// marked a sync sample when `key`. A sample that cannot be allocated reports the frame dropped
// with kErrAllocation instead.
inline void deliverFrame(OutputCallback callback, void* refCon, void* frameRefCon,
                         const std::shared_ptr<const FormatDescription>& format,
                         std::vector<uint8_t> bytes, bool key) {
  std::optional<SampleBuffer> sample;
  try {
    SampleAttachmentsArray attachments{{{kSampleAttachmentKeyNotSync, !key}}};
    sample.emplace(true, std::move(attachments), format,
                   std::make_shared<ContiguousBlockBuffer>(std::move(bytes)));
  } catch (const std::bad_alloc&) {
    callback(refCon, frameRefCon, kErrAllocation, kInfoFrameDropped, nullptr);
    return;
  }
  callback(refCon, frameRefCon, kStatusOk, 0, &*sample);
}

// The same for bytes the encoder still owns: they are copied.
inline void deliverFrame(OutputCallback callback, void* refCon, void* frameRefCon,
                         const std::shared_ptr<const FormatDescription>& format,
                         std::span<const uint8_t> bytes, bool key) {
  std::vector<uint8_t> copy;
  try {
    copy.assign(bytes.begin(), bytes.end());
  } catch (const std::bad_alloc&) {
    callback(refCon, frameRefCon, kErrAllocation, kInfoFrameDropped, nullptr);
    return;
  }
  deliverFrame(callback, refCon, frameRefCon, format, std::move(copy), key);
}

// Opens an encoder of width x height frames for settings, reporting to outputCallback with
// outputCallbackRefCon. On failure a non-zero status and nothing in *encoderOut.
using OpenVideoEncoder = Status (*)(const EncoderSettings& settings, int32_t width, int32_t height,
                                    OutputCallback outputCallback, void* outputCallbackRefCon,
                                    std::unique_ptr<VideoEncoder>* encoderOut);

}  // namespace vidlet::platform
