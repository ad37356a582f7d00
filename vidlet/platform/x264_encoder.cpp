#include "platform/x264_encoder.h"

// x264.h needs the fixed-width integer types declared before it.
#include <cstdint>

#include <x264.h>

#include <climits>
#include <deque>
#include <new>
#include <optional>
#include <thread>

#include "platform/i420_image.h"
#include "platform/x264_parameters.h"

namespace vidlet::platform {

namespace {

class X264Encoder final : public VideoEncoder {
 public:
  X264Encoder(OutputCallback callback, void* refCon, int timebase)
      : callback_(callback), refCon_(refCon), timebase_(timebase) {}
  ~X264Encoder() override;

  Status open(x264_param_t& parameters, int32_t width, int32_t height);
  void encode(PixelBufferRef image, MediaTime presentationTimeStamp, bool forceKeyFrame,
              void* sourceFrameRefCon) override;
  void flush() override;
  void abandon() override { reportWaiting(kErrInvalidated); }

 private:
  void report(void* frameRefCon, Status status, uint32_t flags = kInfoFrameDropped) {
    callback_(refCon_, frameRefCon, status, flags, nullptr);
  }
  void reportWaiting(Status status);
  int64_t ticks(MediaTime presentationTimeStamp);
  // One call of x264_encoder_encode (a flush without a picture), and its output delivered.
  void compress(x264_picture_t* picture);
  void deliver(const x264_nal_t* nals, int frameSize, const x264_picture_t& picture);

  const OutputCallback callback_;
  void* const refCon_;
  const int timebase_;  // ticks per second of the encoder's clock
  x264_t* encoder_ = nullptr;
  std::unique_ptr<I420Image> image_;
  std::shared_ptr<const FormatDescription> format_;
  std::deque<void*> waiting_;  // reference values of frames inside the encoder, in order
  int64_t lastPts_ = INT64_MIN;
  // x264 is not called again once an encode has failed: its state is then undefined.
  bool failed_ = false;
};

X264Encoder::~X264Encoder() {
  // A failed encoder is left as it is: closing it would touch its state again. The process ends
  // soon after the session does.
  if (encoder_ && !failed_) x264_encoder_close(encoder_);
}

Status X264Encoder::open(x264_param_t& parameters, int32_t width, int32_t height) {
  encoder_ = x264_encoder_open(&parameters);
  if (!encoder_) return kErrParameter;
  image_ = I420Image::make(width, height);
  if (!image_) return kErrAllocation;
  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_headers(encoder_, &nals, &count) < 0) return kErrEncode;
  try {
    std::vector<std::vector<uint8_t>> sets;
    for (int i = 0; i < count; ++i) {
      if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
      if (nals[i].i_payload < kX264LengthPrefixSize) continue;
      sets.emplace_back(nals[i].p_payload + kX264LengthPrefixSize,
                        nals[i].p_payload + nals[i].i_payload);
    }
    format_ = std::make_shared<H264FormatDescription>(std::move(sets), kX264LengthPrefixSize);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

void X264Encoder::reportWaiting(Status status) {
  while (!waiting_.empty()) {
    void* ref = waiting_.front();
    waiting_.pop_front();
    report(ref, status);
  }
}

// Times in the encoder's clock, kept increasing whatever the caller's clock says.
int64_t X264Encoder::ticks(MediaTime presentationTimeStamp) {
  int64_t pts = lastPts_ == INT64_MIN ? 0 : lastPts_ + 1;
  if (presentationTimeStamp.isValid()) {
    const __int128 scaled = presentationTimeStamp.in(timebase_);
    if (scaled > lastPts_ && scaled < INT64_MAX) pts = static_cast<int64_t>(scaled);
  }
  lastPts_ = pts;
  return pts;
}

void X264Encoder::encode(PixelBufferRef image, MediaTime presentationTimeStamp, bool forceKeyFrame,
                         void* sourceFrameRefCon) {
  if (failed_) {
    image.reset();
    report(sourceFrameRefCon, kErrEncode);
    return;
  }
  bool converted = false;
  if (image->lockBaseAddress(kLockReadOnly) == kStatusOk) {
    converted = image_->fromBgra(image->baseAddress(), image->bytesPerRow());
    image->unlockBaseAddress(kLockReadOnly);
  }
  image.reset();  // back to its pool: the encoder has its own copy now
  if (!converted) {
    report(sourceFrameRefCon, kErrEncode, 0);
    return;
  }
  try {
    waiting_.push_back(sourceFrameRefCon);
  } catch (const std::bad_alloc&) {
    report(sourceFrameRefCon, kErrAllocation);
    return;
  }
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = image_->y();
  in.img.plane[1] = image_->u();
  in.img.plane[2] = image_->v();
  in.img.i_stride[0] = image_->strideY();
  in.img.i_stride[1] = image_->strideUV();
  in.img.i_stride[2] = image_->strideUV();
  in.i_pts = ticks(presentationTimeStamp);
  in.i_type = forceKeyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;
  compress(&in);
}

void X264Encoder::flush() {
  while (!failed_ && !waiting_.empty() && x264_encoder_delayed_frames(encoder_) > 0)
    compress(nullptr);
  // Frames the encoder swallowed without output.
  reportWaiting(kErrEncode);
}

void X264Encoder::compress(x264_picture_t* picture) {
  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t out;
  const int size = x264_encoder_encode(encoder_, &nals, &count, picture, &out);
  if (size < 0) {
    // What is inside the encoder never comes out.
    failed_ = true;
    reportWaiting(kErrEncode);
    return;
  }
  if (size > 0 && count > 0) deliver(nals, size, out);
}

void X264Encoder::deliver(const x264_nal_t* nals, int frameSize, const x264_picture_t& picture) {
  void* ref = nullptr;
  if (!waiting_.empty()) {
    ref = waiting_.front();
    waiting_.pop_front();
  }
  // The NAL units of one frame lie one after another in memory, each behind its size.
  const uint8_t* first = nals[0].p_payload;
  deliverFrame(callback_, refCon_, ref, format_,
               std::span<const uint8_t>(first, static_cast<size_t>(frameSize)),
               picture.i_type == X264_TYPE_IDR);
}

}  // namespace

Status openX264Encoder(const EncoderSettings& settings, int32_t width, int32_t height,
                       OutputCallback outputCallback, void* outputCallbackRefCon,
                       std::unique_ptr<VideoEncoder>* encoderOut) {
  const int cores = static_cast<int>(std::min(std::thread::hardware_concurrency(), 64u));
  std::optional<x264_param_t> parameters = x264Parameters(settings, width, height, cores);
  if (!parameters) return kErrParameter;
  std::unique_ptr<X264Encoder> encoder(
      new (std::nothrow) X264Encoder(outputCallback, outputCallbackRefCon, frameRate(settings)));
  if (!encoder) return kErrAllocation;
  if (const Status status = encoder->open(*parameters, width, height); status != kStatusOk)
    return status;
  *encoderOut = std::move(encoder);
  return kStatusOk;
}

}  // namespace vidlet::platform
