#include "platform/compression_session.h"

namespace vidlet::platform {

Status AsyncCompressionSession::setProperty(PropertyKey key, const PropertyValue& value) {
  if (prepared_) return kErrPropertyNotSupported;
  return applyProperty(settings_, key, value);
}

Status AsyncCompressionSession::prepareToEncodeFrames() {
  if (prepared_) return openStatus_;
  prepared_ = true;
  openStatus_ = openEncoder_(settings_, width_, height_, callback_, refCon_, &encoder_);
  if (openStatus_ == kStatusOk) openStatus_ = worker_.start();
  if (openStatus_ != kStatusOk) encoder_.reset();
  return openStatus_;
}

Status AsyncCompressionSession::encodeFrame(PixelBufferRef imageBuffer,
                                            MediaTime presentationTimeStamp,
                                            const FrameOptions* frameOptions,
                                            void* sourceFrameRefCon, uint32_t* infoFlagsOut) {
  if (infoFlagsOut) *infoFlagsOut = kInfoAsynchronous;
  if (!imageBuffer || imageBuffer->width() != static_cast<size_t>(width_) ||
      imageBuffer->height() != static_cast<size_t>(height_) ||
      imageBuffer->pixelFormatType() != kPixelFormatBGRA)
    return kErrParameter;
  if (invalidated_) return kErrInvalidated;
  if (const Status status = prepareToEncodeFrames(); status != kStatusOk) return status;
  const bool forceKeyFrame = frameOptions && frameOptions->forceKeyFrame;
  return worker_.post([this, image = std::move(imageBuffer), presentationTimeStamp, forceKeyFrame,
                       sourceFrameRefCon](bool run) mutable {
    if (run) {
      encoder_->encode(std::move(image), presentationTimeStamp, forceKeyFrame, sourceFrameRefCon);
    } else {
      image.reset();
      callback_(refCon_, sourceFrameRefCon, kErrInvalidated, kInfoFrameDropped, nullptr);
    }
  });
}

Status AsyncCompressionSession::completeFrames(MediaTime) {
  if (invalidated_) return kErrInvalidated;
  if (!encoder_) return kStatusOk;  // nothing was ever submitted
  return worker_.runAndWait([this](bool run) {
    if (run) encoder_->flush();
  });
}

void AsyncCompressionSession::invalidate() {
  if (invalidated_.exchange(true)) return;
  worker_.stop();
  if (encoder_) encoder_->abandon();
  encoder_.reset();
}

}  // namespace vidlet::platform
