#include "platform/x264_services.h"

#include <fcntl.h>
#include <unistd.h>
#include <x264.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/i420_image.h"
#include "platform/pixel_buffer_pool.h"

namespace vidlet::platform {

namespace {

// Motion analysis: x264's "veryfast" (hexagon search, sub-pixel refinement 2, 8x8 inter
// partitions, one reference frame). The cheaper "superfast" (diamond search, refinement 1) saves
// about a fifth of the work but loses up to 3 dB on scrolled text and 0.2 dB on camera-like input;
// "faster" costs 1.3 to 2 times the work for 0.1 dB on camera-like input. Encoding stays well
// ahead of other x264 front ends thanks to the colour conversion and to reading input while the
// encoder works.
constexpr const char* kPreset = "veryfast";
constexpr int kLengthPrefixSize = 4;  // x264 writes 4-byte big-endian sizes without Annex B

// The rate a network path carries is the target bit rate, so the bits of any second of frames
// should stay close to it. x264's buffer model (VBV) fills at the peak rate, one frame's share per
// frame, up to the buffer size, and a frame takes no more than the buffer holds; so any run of FPS
// frames (one second) holds at most buffer + peak x (1 - 1/FPS) bits. With the peak at the target
// and a buffer of target x (0.2 s + one frame interval), a second of output stays within 1.2 x the
// target, and a key frame may still take about a fifth of a second's bits plus its own share.
int vbvBufferKbit(int bitrateKbps, int fps) {
  const int64_t kbit = int64_t{bitrateKbps} * (int64_t{fps} + 5) / (int64_t{5} * fps);
  return static_cast<int>(std::clamp<int64_t>(kbit, 1, INT_MAX));
}

struct EncoderCloser {
  void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};
using EncoderPtr = std::unique_ptr<x264_t, EncoderCloser>;

void quietLog(void*, int, const char*, va_list) {}

// Opens an encoder. x264 reports a failed allocation on standard error whatever its log level,
// and this program writes nothing there but its own lines: standard error points at /dev/null
// meanwhile. Called before the session's thread exists.
x264_t* openQuietly(x264_param_t* p) {
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  };
  const Descriptor saved{::fcntl(2, F_DUPFD_CLOEXEC, 3)};
  const Descriptor null{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
  const bool redirected = saved.fd >= 0 && null.fd >= 0 && ::dup2(null.fd, 2) == 2;
  x264_t* encoder = x264_encoder_open(p);
  if (redirected) ::dup2(saved.fd, 2);
  return encoder;
}

// What the property calls collected.
struct Settings {
  bool realTime = false;
  bool baseline = false;
  bool allowFrameReordering = true;
  std::optional<int> bitrateKbps;
  std::optional<int> frameRate;
  std::optional<int64_t> maxKeyFrameInterval;
  std::optional<int64_t> maxKeyFrameIntervalSeconds;
};

class X264CompressionSession final : public CompressionSession {
 public:
  X264CompressionSession(int32_t width, int32_t height, OutputCallback callback, void* refCon)
      : width_(width), height_(height), callback_(callback), refCon_(refCon) {}
  ~X264CompressionSession() override { invalidate(); }

  Status setProperty(PropertyKey key, const PropertyValue& value) override;
  Status prepareToEncodeFrames() override;
  Status encodeFrame(PixelBufferRef imageBuffer, MediaTime presentationTimeStamp,
                     MediaTime duration, const FrameOptions* frameOptions, void* sourceFrameRefCon,
                     uint32_t* infoFlagsOut) override;
  Status completeFrames(MediaTime completeUntilPresentationTimeStamp) override;
  void invalidate() override;

 private:
  struct Job {
    PixelBufferRef image;  // none for a flush request
    MediaTime pts;
    bool forceKeyFrame = false;
    void* frameRefCon = nullptr;
  };

  Status open();
  Status enqueue(Job job);
  void work();
  void encode(Job& job);
  void flushDelayed();
  void deliver(const x264_nal_t* nals, int frameSize, const x264_picture_t& picture);
  void reportDropped(void* frameRefCon, Status status = kErrInvalidated) {
    callback_(refCon_, frameRefCon, status, kInfoFrameDropped, nullptr);
  }
  void fail();

  const int32_t width_, height_;
  const OutputCallback callback_;
  void* const refCon_;

  // Used by the submitting thread only.
  Settings settings_;
  bool prepared_ = false;
  Status openStatus_ = kStatusOk;

  // Shared between the submitting thread and the session's thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  uint64_t flushesAsked_ = 0, flushesDone_ = 0;
  bool ended_ = false;
  std::thread worker_;

  // Set up before the session's thread starts, then used by it alone.
  EncoderPtr encoder_;
  std::unique_ptr<I420Image> image_;
  std::shared_ptr<const FormatDescription> format_;
  int timebase_ = 1;           // ticks per second of the encoder's clock
  std::deque<void*> waiting_;  // reference values of frames inside the encoder, in order
  int64_t lastPts_ = INT64_MIN;
  // x264 is not called again once an encode has failed: its state is then undefined.
  bool failed_ = false;
};

std::optional<int64_t> integerValue(const PropertyValue& value) {
  if (const int64_t* v = std::get_if<int64_t>(&value)) return *v;
  return std::nullopt;
}

Status X264CompressionSession::setProperty(PropertyKey key, const PropertyValue& value) {
  // Parameters are fixed once the encoder is open.
  if (prepared_) return kErrPropertyNotSupported;
  const bool* flag = std::get_if<bool>(&value);
  const std::optional<int64_t> number = integerValue(value);
  switch (key) {
    case PropertyKey::RealTime:
      if (!flag) return kErrPropertyNotSupported;
      settings_.realTime = *flag;
      return kStatusOk;
    case PropertyKey::ProfileLevel: {
      const std::string* profile = std::get_if<std::string>(&value);
      if (!profile || *profile != kProfileLevelH264BaselineAutoLevel)
        return kErrPropertyNotSupported;
      settings_.baseline = true;
      return kStatusOk;
    }
    case PropertyKey::AllowFrameReordering:
      if (!flag) return kErrPropertyNotSupported;
      settings_.allowFrameReordering = *flag;
      return kStatusOk;
    case PropertyKey::AverageBitRate: {
      // x264 counts kilobits per second in an int.
      if (!number || *number <= 0 || *number > int64_t{INT_MAX} * 1000)
        return kErrPropertyNotSupported;
      settings_.bitrateKbps = static_cast<int>(std::max<int64_t>(1, (*number + 500) / 1000));
      return kStatusOk;
    }
    case PropertyKey::ExpectedFrameRate:
      if (!number || *number <= 0 || *number > INT_MAX) return kErrPropertyNotSupported;
      settings_.frameRate = static_cast<int>(*number);
      return kStatusOk;
    case PropertyKey::MaxKeyFrameInterval:
      if (!number || *number <= 0) return kErrPropertyNotSupported;
      settings_.maxKeyFrameInterval = *number;
      return kStatusOk;
    case PropertyKey::MaxKeyFrameIntervalDuration:
      if (!number || *number <= 0) return kErrPropertyNotSupported;
      settings_.maxKeyFrameIntervalSeconds = *number;
      return kStatusOk;
  }
  return kErrPropertyNotSupported;
}

Status X264CompressionSession::open() {
  x264_param_t p;
  if (x264_param_default_preset(&p, kPreset, settings_.realTime ? "zerolatency" : nullptr) < 0)
    return kErrParameter;
  p.pf_log = quietLog;
  p.i_log_level = X264_LOG_NONE;
  p.i_csp = X264_CSP_I420;
  // The stream says how its pictures were made from the frames, so that a decoder turns them back
  // into the same colours instead of guessing a matrix from the picture size.
  p.vui.i_colorprim = I420Image::kColour.primaries;
  p.vui.i_transfer = I420Image::kColour.transfer;
  p.vui.i_colmatrix = I420Image::kColour.matrix;
  p.vui.b_fullrange = I420Image::kColour.fullRange ? 1 : 0;
  p.i_width = (width_ + 1) & ~1;
  p.i_height = (height_ + 1) & ~1;
  // One slice thread per core: x264's own count for sliced threads (one and a half per core)
  // only adds slices.
  p.i_threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));

  const int fps = settings_.frameRate.value_or(25);
  p.i_fps_num = static_cast<uint32_t>(fps);
  p.i_fps_den = 1;
  p.i_timebase_num = 1;
  p.i_timebase_den = static_cast<uint32_t>(fps);
  p.b_vfr_input = 0;
  timebase_ = fps;

  if (!settings_.allowFrameReordering) p.i_bframe = 0;
  if (settings_.bitrateKbps) {
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = *settings_.bitrateKbps;
    p.rc.i_vbv_max_bitrate = *settings_.bitrateKbps;
    p.rc.i_vbv_buffer_size = vbvBufferKbit(*settings_.bitrateKbps, fps);
  }
  std::optional<int64_t> keyInterval = settings_.maxKeyFrameInterval;
  if (settings_.maxKeyFrameIntervalSeconds) {
    const int64_t byTime = *settings_.maxKeyFrameIntervalSeconds > INT_MAX / fps
                               ? INT_MAX
                               : *settings_.maxKeyFrameIntervalSeconds * fps;
    keyInterval = std::min(keyInterval.value_or(byTime), byTime);
  }
  if (keyInterval) p.i_keyint_max = static_cast<int>(std::min<int64_t>(*keyInterval, INT_MAX));

  // Parameter sets travel in the format description, frames as length-prefixed NAL units.
  p.b_repeat_headers = 0;
  p.b_annexb = 0;
  if (settings_.baseline && x264_param_apply_profile(&p, "baseline") < 0) return kErrParameter;

  encoder_.reset(openQuietly(&p));
  if (!encoder_) return kErrParameter;
  image_ = I420Image::make(width_, height_);
  if (!image_) return kErrAllocation;

  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_headers(encoder_.get(), &nals, &count) < 0) return kErrEncode;
  try {
    std::vector<std::vector<uint8_t>> sets;
    for (int i = 0; i < count; ++i) {
      if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) continue;
      if (nals[i].i_payload < kLengthPrefixSize) continue;
      sets.emplace_back(nals[i].p_payload + kLengthPrefixSize,
                        nals[i].p_payload + nals[i].i_payload);
    }
    format_ = std::make_shared<H264FormatDescription>(std::move(sets), kLengthPrefixSize);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

Status X264CompressionSession::prepareToEncodeFrames() {
  if (prepared_) return openStatus_;
  prepared_ = true;
  openStatus_ = open();
  if (openStatus_ == kStatusOk) {
    try {
      worker_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      openStatus_ = kErrAllocation;  // no thread to encode on: the session cannot run
    }
  }
  if (openStatus_ != kStatusOk) {
    encoder_.reset();
    image_.reset();
  }
  return openStatus_;
}

Status X264CompressionSession::enqueue(Job job) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.size() < kFrameQueueDepth || ended_; });
  if (ended_) return kErrInvalidated;
  try {
    queue_.push_back(std::move(job));
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  changed_.notify_all();
  return kStatusOk;
}

Status X264CompressionSession::encodeFrame(PixelBufferRef imageBuffer,
                                           MediaTime presentationTimeStamp, MediaTime,
                                           const FrameOptions* frameOptions,
                                           void* sourceFrameRefCon, uint32_t* infoFlagsOut) {
  if (infoFlagsOut) *infoFlagsOut = kInfoAsynchronous;
  if (!imageBuffer || imageBuffer->width() != static_cast<size_t>(width_) ||
      imageBuffer->height() != static_cast<size_t>(height_) ||
      imageBuffer->pixelFormatType() != kPixelFormatBGRA)
    return kErrParameter;
  if (const Status status = prepareToEncodeFrames(); status != kStatusOk) return status;
  Job job;
  job.image = std::move(imageBuffer);
  job.pts = presentationTimeStamp;
  job.forceKeyFrame = frameOptions && frameOptions->forceKeyFrame;
  job.frameRefCon = sourceFrameRefCon;
  return enqueue(std::move(job));
}

Status X264CompressionSession::completeFrames(MediaTime) {
  // Every frame goes through in order, so completing up to any time means completing all.
  std::unique_lock<std::mutex> lock(mutex_);
  if (ended_) return kErrInvalidated;
  if (!worker_.joinable()) return kStatusOk;
  changed_.wait(lock, [&] { return queue_.size() < kFrameQueueDepth || ended_; });
  if (ended_) return kErrInvalidated;
  try {
    queue_.push_back(Job{});  // a flush request: no image
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  const uint64_t ticket = ++flushesAsked_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return flushesDone_ >= ticket || ended_; });
  return flushesDone_ >= ticket ? kStatusOk : kErrInvalidated;
}

void X264CompressionSession::invalidate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  // A failed encoder is left as it is: closing it would touch its state again. The process ends
  // soon after the session does.
  if (failed_) static_cast<void>(encoder_.release());
  encoder_.reset();
  image_.reset();
}

void X264CompressionSession::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !queue_.empty() || ended_; });
      if (ended_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    changed_.notify_all();
    if (job.image) {
      encode(job);
    } else {
      flushDelayed();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++flushesDone_;
      }
      changed_.notify_all();
    }
  }
  // Ended: what is still queued or inside the encoder is dropped. The callback runs without
  // the session's lock held.
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(queue_);
  }
  for (void* ref : waiting_) reportDropped(ref);
  waiting_.clear();
  for (Job& job : left)
    if (job.image) reportDropped(job.frameRefCon);
}

// After a failed encode: what is inside the encoder never comes out.
void X264CompressionSession::fail() {
  failed_ = true;
  for (void* ref : waiting_) reportDropped(ref, kErrEncode);
  waiting_.clear();
}

void X264CompressionSession::encode(Job& job) {
  if (failed_) {
    job.image.reset();
    reportDropped(job.frameRefCon, kErrEncode);
    return;
  }
  PixelBuffer& buffer = *job.image;
  bool converted = false;
  if (buffer.lockBaseAddress(kLockReadOnly) == kStatusOk) {
    converted = image_->fromBgra(buffer.baseAddress(), buffer.bytesPerRow());
    buffer.unlockBaseAddress(kLockReadOnly);
  }
  job.image.reset();  // back to the pool: the encoder has its own copy now
  if (!converted) {
    callback_(refCon_, job.frameRefCon, kErrEncode, 0, nullptr);
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
  // Times in the encoder's clock, kept increasing whatever the caller's clock says.
  int64_t pts = lastPts_ == INT64_MIN ? 0 : lastPts_ + 1;
  if (job.pts.isValid()) {
    const __int128 scaled = static_cast<__int128>(job.pts.value) * timebase_ / job.pts.timescale;
    if (scaled > lastPts_ && scaled < INT64_MAX) pts = static_cast<int64_t>(scaled);
  }
  lastPts_ = pts;
  in.i_pts = pts;
  in.i_type = job.forceKeyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;

  try {
    waiting_.push_back(job.frameRefCon);
  } catch (const std::bad_alloc&) {
    reportDropped(job.frameRefCon, kErrAllocation);
    return;
  }
  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t picture;
  const int size = x264_encoder_encode(encoder_.get(), &nals, &count, &in, &picture);
  if (size < 0) {
    fail();
    return;
  }
  if (size > 0 && count > 0) deliver(nals, size, picture);
}

void X264CompressionSession::flushDelayed() {
  while (!failed_ && !waiting_.empty() && x264_encoder_delayed_frames(encoder_.get()) > 0) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t picture;
    const int size = x264_encoder_encode(encoder_.get(), &nals, &count, nullptr, &picture);
    if (size < 0) {
      fail();
      break;
    }
    if (size > 0 && count > 0) deliver(nals, size, picture);
  }
  // Frames the encoder swallowed without output.
  while (!waiting_.empty()) {
    void* ref = waiting_.front();
    waiting_.pop_front();
    callback_(refCon_, ref, kErrEncode, kInfoFrameDropped, nullptr);
  }
}

void X264CompressionSession::deliver(const x264_nal_t* nals, int frameSize,
                                     const x264_picture_t& picture) {
  void* ref = nullptr;
  if (!waiting_.empty()) {
    ref = waiting_.front();
    waiting_.pop_front();
  }
  // The NAL units of one frame lie one after another in memory, each behind its size.
  const uint8_t* first = nals[0].p_payload;
  std::optional<SampleBuffer> sample;
  try {
    auto block =
        std::make_shared<ContiguousBlockBuffer>(std::vector<uint8_t>(first, first + frameSize));
    SampleAttachmentsArray attachments{
        {{kSampleAttachmentKeyNotSync, picture.i_type != X264_TYPE_IDR}}};
    sample.emplace(true, std::move(attachments), format_, std::move(block));
  } catch (const std::bad_alloc&) {
    reportDropped(ref, kErrAllocation);
    return;
  }
  callback_(refCon_, ref, kStatusOk, 0, &*sample);
}

}  // namespace

Status X264VideoServices::createCompressionSession(
    int32_t width, int32_t height, uint32_t codecType,
    const PixelBufferAttributes& sourceImageBufferAttributes, OutputCallback outputCallback,
    void* outputCallbackRefCon, std::shared_ptr<CompressionSession>* sessionOut) {
  if (!sessionOut || !outputCallback || codecType != kCodecTypeH264) return kErrParameter;
  if (sourceImageBufferAttributes.pixelFormatType.value_or(kPixelFormatBGRA) != kPixelFormatBGRA)
    return kErrParameter;
  if (width < 1 || height < 1 || width > kMaxEncodedSide || height > kMaxEncodedSide)
    return kErrParameter;
  try {
    *sessionOut = std::make_shared<X264CompressionSession>(width, height, outputCallback,
                                                           outputCallbackRefCon);
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  return kStatusOk;
}

Status X264VideoServices::createPixelBufferPool(const PixelBufferAttributes& pixelBufferAttributes,
                                                std::shared_ptr<PixelBufferPool>* poolOut) {
  return AlignedPixelBufferPool::create(pixelBufferAttributes, poolOut);
}

}  // namespace vidlet::platform
