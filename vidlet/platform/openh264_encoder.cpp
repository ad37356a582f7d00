#include "platform/openh264_encoder.h"

#include <wels/codec_api.h>

#include <new>
#include <optional>
#include <vector>

#include "platform/i420_image.h"
#include "platform/openh264_parameters.h"

namespace vidlet::platform {

namespace {

constexpr int kLengthPrefixSize = 4;
// OpenH264 initialises for smaller pictures, then fails every frame.
constexpr int32_t kMinSide = 16;
constexpr int kNalSps = 7, kNalPps = 8, kNalSei = 6;

struct EncoderDeleter {
  void operator()(ISVCEncoder* encoder) const {
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
  }
};
using EncoderPtr = std::unique_ptr<ISVCEncoder, EncoderDeleter>;

// The NAL units of an encoded frame or of the parameter sets, as OpenH264 writes them: each behind
// a start code, with its length (start code included) listed per layer.
template <typename Each>
void forEachNal(const SFrameBSInfo& info, Each each) {
  for (int l = 0; l < info.iLayerNum; ++l) {
    const SLayerBSInfo& layer = info.sLayerInfo[l];
    const unsigned char* at = layer.pBsBuf;
    for (int i = 0; i < layer.iNalCount; ++i) {
      const auto length = static_cast<size_t>(layer.pNalLengthInByte[i]);
      size_t skip = 0;  // the start code: zeros, then a one
      while (skip < length && at[skip] == 0) ++skip;
      if (skip + 1 < length && at[skip] == 1) each(at + skip + 1, length - skip - 1);
      at += length;
    }
  }
}

class OpenH264Encoder final : public VideoEncoder {
 public:
  OpenH264Encoder(OutputCallback callback, void* refCon, int fps)
      : callback_(callback), refCon_(refCon), fps_(fps) {}

  Status open(const EncoderSettings& settings, int32_t width, int32_t height);
  void encode(PixelBufferRef image, MediaTime presentationTimeStamp, bool forceKeyFrame,
              void* sourceFrameRefCon) override;
  // Each frame comes out of encode: nothing waits inside.
  void flush() override {}
  void abandon() override {}

 private:
  void report(void* frameRefCon, Status status) {
    callback_(refCon_, frameRefCon, status, kInfoFrameDropped, nullptr);
  }
  void deliver(const SFrameBSInfo& info, void* frameRefCon);

  const OutputCallback callback_;
  void* const refCon_;
  const int fps_;
  EncoderPtr encoder_;
  std::unique_ptr<I420Image> image_;
  std::shared_ptr<const FormatDescription> format_;
  int64_t frames_ = 0;
};

Status OpenH264Encoder::open(const EncoderSettings& settings, int32_t width, int32_t height) {
  ISVCEncoder* raw = nullptr;
  if (WelsCreateSVCEncoder(&raw) != 0 || !raw) return kErrAllocation;
  // Uninitialize is harmless on an encoder that was never initialised.
  encoder_.reset(raw);
  int quiet = WELS_LOG_QUIET;
  encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
  SEncParamExt defaults;
  if (encoder_->GetDefaultParams(&defaults) != cmResultSuccess) return kErrParameter;
  const SEncParamExt parameters = openh264Parameters(defaults, settings, width, height);
  if (encoder_->InitializeExt(&parameters) != cmResultSuccess) return kErrParameter;
  int format = videoFormatI420;
  encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  image_ = I420Image::make(width, height);
  if (!image_) return kErrAllocation;

  SFrameBSInfo info{};
  if (encoder_->EncodeParameterSets(&info) != cmResultSuccess) return kErrEncode;
  try {
    std::vector<std::vector<uint8_t>> sets;
    forEachNal(info, [&](const unsigned char* nal, size_t size) {
      const int type = nal[0] & 0x1f;
      if (type == kNalSps || type == kNalPps) sets.emplace_back(nal, nal + size);
    });
    if (sets.empty()) return kErrEncode;
    format_ = std::make_shared<H264FormatDescription>(std::move(sets), kLengthPrefixSize);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

void OpenH264Encoder::encode(PixelBufferRef image, MediaTime presentationTimeStamp,
                             bool forceKeyFrame, void* sourceFrameRefCon) {
  bool converted = false;
  if (image->lockBaseAddress(kLockReadOnly) == kStatusOk) {
    converted = image_->fromBgra(image->baseAddress(), image->bytesPerRow());
    image->unlockBaseAddress(kLockReadOnly);
  }
  image.reset();  // back to its pool: the encoder has its own copy now
  if (!converted) {
    callback_(refCon_, sourceFrameRefCon, kErrEncode, 0, nullptr);
    return;
  }
  SSourcePicture picture{};
  picture.iColorFormat = videoFormatI420;
  picture.iPicWidth = image_->paddedWidth();
  picture.iPicHeight = image_->paddedHeight();
  picture.iStride[0] = image_->strideY();
  picture.iStride[1] = picture.iStride[2] = image_->strideUV();
  picture.pData[0] = image_->y();
  picture.pData[1] = image_->u();
  picture.pData[2] = image_->v();
  // Milliseconds, which the rate control reads: the frame's own time when it has one.
  const int64_t frame = frames_++;
  picture.uiTimeStamp =
      presentationTimeStamp.isValid()
          ? static_cast<long long>(static_cast<__int128>(presentationTimeStamp.value) * 1000 /
                                   presentationTimeStamp.timescale)
          : frame * 1000 / fps_;
  if (forceKeyFrame) encoder_->ForceIntraFrame(true);
  SFrameBSInfo info{};
  if (encoder_->EncodeFrame(&picture, &info) != cmResultSuccess) {
    report(sourceFrameRefCon, kErrEncode);
    return;
  }
  if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) {
    report(sourceFrameRefCon, kStatusOk);
    return;
  }
  deliver(info, sourceFrameRefCon);
}

// The frame's slices as length-prefixed NAL units; the parameter sets OpenH264 repeats before
// every IDR travel in the format description instead.
void OpenH264Encoder::deliver(const SFrameBSInfo& info, void* frameRefCon) {
  std::optional<SampleBuffer> sample;
  try {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(info.iFrameSizeInBytes));
    forEachNal(info, [&](const unsigned char* nal, size_t size) {
      const int type = nal[0] & 0x1f;
      if (type == kNalSps || type == kNalPps || type == kNalSei) return;
      for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(size >> shift));
      bytes.insert(bytes.end(), nal, nal + size);
    });
    SampleAttachmentsArray attachments{
        {{kSampleAttachmentKeyNotSync, info.eFrameType != videoFrameTypeIDR}}};
    sample.emplace(true, std::move(attachments), format_,
                   std::make_shared<ContiguousBlockBuffer>(std::move(bytes)));
  } catch (const std::bad_alloc&) {
    report(frameRefCon, kErrAllocation);
    return;
  }
  callback_(refCon_, frameRefCon, kStatusOk, 0, &*sample);
}

}  // namespace

Status openOpenH264Encoder(const EncoderSettings& settings, int32_t width, int32_t height,
                           OutputCallback outputCallback, void* outputCallbackRefCon,
                           std::unique_ptr<VideoEncoder>* encoderOut) {
  if (width < kMinSide || height < kMinSide) return kErrParameter;
  std::unique_ptr<OpenH264Encoder> encoder(new (std::nothrow) OpenH264Encoder(
      outputCallback, outputCallbackRefCon, frameRate(settings)));
  if (!encoder) return kErrAllocation;
  if (const Status status = encoder->open(settings, width, height); status != kStatusOk)
    return status;
  *encoderOut = std::move(encoder);
  return kStatusOk;
}

}  // namespace vidlet::platform
