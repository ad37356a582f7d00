// The video services vidlet runs on: a compression session, pixel buffers and their pool, and the
// encoded samples the session hands back (attachments, format description, data block). The
// encoder logic calls only these interfaces; a backend implements sessions and pools, and samples
// are plain objects that a backend or a test builds.
//
// Statuses are signed 32-bit values, 0 for success. The output callback may run on any thread the
// session chooses, but never on two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vidlet::platform {

using Status = int32_t;
constexpr Status kStatusOk = 0;
constexpr Status kErrParameter = -1;             // a value the service cannot take
constexpr Status kErrPropertyNotSupported = -2;  // a property refused; nothing changed
constexpr Status kErrAllocation = -3;            // memory could not be had
constexpr Status kErrEncode = -4;                // the encoder failed on a frame
constexpr Status kErrInvalidated = -5;           // the session has ended

// Four-character codes.
constexpr uint32_t kPixelFormatBGRA = 0x42475241;  // "BGRA": bytes blue, green, red, alpha
constexpr uint32_t kCodecTypeH264 = 0x61766331;    // "avc1"

// Information flags handed to the output callback.
constexpr uint32_t kInfoAsynchronous = 1;
constexpr uint32_t kInfoFrameDropped = 2;

// A media time: value / timescale seconds. A timescale of 0 marks the invalid time.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 0;
  bool isValid() const { return timescale > 0; }
  // The (valid) time in units of 1/unitsPerSecond seconds, rounded toward zero, without overflow.
  __int128 in(int64_t unitsPerSecond) const {
    return static_cast<__int128>(value) * unitsPerSecond / timescale;
  }
};
constexpr MediaTime kInvalidTime{};

// Attributes of pixel buffers, for a session's source images or for a pool. Absent entries are
// left to the service.
struct PixelBufferAttributes {
  std::optional<uint32_t> pixelFormatType;
  std::optional<int64_t> width;
  std::optional<int64_t> height;
};

// Lock flags.
constexpr uint32_t kLockReadOnly = 1;

// An image in memory. Its pixels may be touched only between lockBaseAddress and
// unlockBaseAddress; baseAddress is null outside that.
class PixelBuffer {
 public:
  virtual ~PixelBuffer() = default;
  virtual Status lockBaseAddress(uint32_t lockFlags) = 0;
  virtual Status unlockBaseAddress(uint32_t lockFlags) = 0;
  virtual uint8_t* baseAddress() const = 0;
  virtual size_t bytesPerRow() const = 0;
  virtual size_t width() const = 0;
  virtual size_t height() const = 0;
  virtual uint32_t pixelFormatType() const = 0;
};
using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Hands out pixel buffers of one size and format; a buffer goes back to the pool when its last
// reference is released.
class PixelBufferPool {
 public:
  virtual ~PixelBufferPool() = default;
  virtual Status createPixelBuffer(PixelBufferRef* pixelBufferOut) = 0;
};

// Per-sample attachments: dictionaries from key strings to values.
using AttachmentValue = std::variant<bool, int64_t, double, std::string>;
using AttachmentDictionary = std::map<std::string, AttachmentValue>;
using SampleAttachmentsArray = std::vector<AttachmentDictionary>;
// Boolean: true for a frame that is not a sync (key) frame.
inline const std::string kSampleAttachmentKeyNotSync = "NotSync";

// What an encoded stream needs besides its frames: for H.264 the parameter sets (sequence and
// picture parameter sets, without start codes or length prefixes) and the size of the length
// prefix before each NAL unit in the samples.
class FormatDescription {
 public:
  virtual ~FormatDescription() = default;
  // Every output may be null. With parameterSetCount or nalUnitHeaderLength the count and the
  // prefix size are reported whatever the index; with parameterSetPointer or parameterSetSize the
  // set at index is reported, and an index past the last set is an error.
  virtual Status getH264ParameterSetAtIndex(size_t parameterSetIndex,
                                            const uint8_t** parameterSetPointer,
                                            size_t* parameterSetSize, size_t* parameterSetCount,
                                            int* nalUnitHeaderLength) const = 0;
};

// The usual description: parameter sets held by value.
class H264FormatDescription : public FormatDescription {
 public:
  H264FormatDescription(std::vector<std::vector<uint8_t>> parameterSets, int nalUnitHeaderLength);
  Status getH264ParameterSetAtIndex(size_t parameterSetIndex, const uint8_t** parameterSetPointer,
                                    size_t* parameterSetSize, size_t* parameterSetCount,
                                    int* nalUnitHeaderLength) const override;

 private:
  std::vector<std::vector<uint8_t>> parameterSets_;
  int nalUnitHeaderLength_;
};

// A run of bytes.
class BlockBuffer {
 public:
  virtual ~BlockBuffer() = default;
  // Points *dataPointerOut at the byte at offset; the bytes from there to the end are one
  // contiguous run of *lengthAtOffsetOut bytes. Every output may be null.
  virtual Status getDataPointer(size_t offset, size_t* lengthAtOffsetOut, size_t* totalLengthOut,
                                const uint8_t** dataPointerOut) const = 0;
};

// The usual block: bytes held by value.
class ContiguousBlockBuffer : public BlockBuffer {
 public:
  explicit ContiguousBlockBuffer(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Status getDataPointer(size_t offset, size_t* lengthAtOffsetOut, size_t* totalLengthOut,
                        const uint8_t** dataPointerOut) const override;

 private:
  std::vector<uint8_t> bytes_;
};

// One encoded frame as the session delivers it. Every part may be missing.
class SampleBuffer {
 public:
  SampleBuffer(bool dataReady, std::optional<SampleAttachmentsArray> attachments,
               std::shared_ptr<const FormatDescription> formatDescription,
               std::shared_ptr<const BlockBuffer> dataBuffer)
      : dataReady_(dataReady),
        attachments_(std::move(attachments)),
        formatDescription_(std::move(formatDescription)),
        dataBuffer_(std::move(dataBuffer)) {}

  bool dataIsReady() const { return dataReady_; }
  // The per-sample attachments, or null when the sample has none. Never creates them.
  const SampleAttachmentsArray* sampleAttachmentsArray() const {
    return attachments_ ? &*attachments_ : nullptr;
  }
  const FormatDescription* formatDescription() const { return formatDescription_.get(); }
  const BlockBuffer* dataBuffer() const { return dataBuffer_.get(); }

 private:
  bool dataReady_;
  std::optional<SampleAttachmentsArray> attachments_;
  std::shared_ptr<const FormatDescription> formatDescription_;
  std::shared_ptr<const BlockBuffer> dataBuffer_;
};

// Called once for every submitted frame, finished or dropped: the session's reference value, the
// frame's reference value, a status, information flags and the encoded sample (null when there is
// none). The sample is valid only during the call.
using OutputCallback = void (*)(void* outputCallbackRefCon, void* sourceFrameRefCon, Status status,
                                uint32_t infoFlags, const SampleBuffer* sampleBuffer);

// Session properties and their values.
enum class PropertyKey {
  RealTime,                     // bool
  ProfileLevel,                 // string, one of the profile-level values below
  AllowFrameReordering,         // bool
  AverageBitRate,               // int64_t, bits per second
  ExpectedFrameRate,            // int64_t, frames per second
  MaxKeyFrameInterval,          // int64_t, frames
  MaxKeyFrameIntervalDuration,  // int64_t, seconds
};
using PropertyValue = std::variant<bool, int64_t, std::string>;
inline const std::string kProfileLevelH264BaselineAutoLevel = "H264_Baseline_AutoLevel";

// Per-frame options.
struct FrameOptions {
  bool forceKeyFrame = false;
};

class CompressionSession {
 public:
  virtual ~CompressionSession() = default;
  // A refused property changes nothing and returns a non-zero status.
  virtual Status setProperty(PropertyKey key, const PropertyValue& value) = 0;
  virtual Status prepareToEncodeFrames() = 0;
  // Submits one frame; its result comes later through the output callback. frameOptions may be
  // null. The session keeps the pixel buffer only as long as it needs it.
  virtual Status encodeFrame(PixelBufferRef imageBuffer, MediaTime presentationTimeStamp,
                             const FrameOptions* frameOptions, void* sourceFrameRefCon,
                             uint32_t* infoFlagsOut) = 0;
  // Returns once every frame submitted so far (all of them for the invalid time) has gone
  // through the output callback.
  virtual Status completeFrames(MediaTime completeUntilPresentationTimeStamp) = 0;
  // Ends the session: frames not yet encoded are reported as dropped, and no callback runs after
  // it returns.
  virtual void invalidate() = 0;
};

// Makes sessions and pools.
class VideoServices {
 public:
  virtual ~VideoServices() = default;
  virtual Status createCompressionSession(int32_t width, int32_t height, uint32_t codecType,
                                          const PixelBufferAttributes& sourceImageBufferAttributes,
                                          OutputCallback outputCallback, void* outputCallbackRefCon,
                                          std::shared_ptr<CompressionSession>* sessionOut) = 0;
  virtual Status createPixelBufferPool(const PixelBufferAttributes& pixelBufferAttributes,
                                       std::shared_ptr<PixelBufferPool>* poolOut) = 0;
};

}  // namespace vidlet::platform
