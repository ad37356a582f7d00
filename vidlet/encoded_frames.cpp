#include "encoded_frames.h"

#include <new>

#include "output.h"
#include "state.h"

namespace vidlet {

namespace {

constexpr int kDefaultLengthSize = 4;

// A key frame unless the first attachment dictionary says, with a Boolean, that it is not a
// sync frame.
bool isKeyFrame(const platform::SampleBuffer& sample) {
  const platform::SampleAttachmentsArray* attachments = sample.sampleAttachmentsArray();
  if (!attachments || attachments->empty()) return true;
  const platform::AttachmentDictionary& first = attachments->front();
  auto it = first.find(platform::kSampleAttachmentKeyNotSync);
  if (it == first.end()) return true;
  const bool* notSync = std::get_if<bool>(&it->second);
  return notSync ? !*notSync : true;
}

// The parameter sets, each behind startCode; empty when none can be read.
std::vector<uint8_t> configuration(const platform::FormatDescription& description, size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* set = nullptr;
    size_t size = 0;
    if (description.getH264ParameterSetAtIndex(i, &set, &size, nullptr, nullptr) !=
            platform::kStatusOk ||
        !set)
      continue;
    bytes.insert(bytes.end(), startCode.begin(), startCode.end());
    bytes.insert(bytes.end(), set, set + size);
  }
  return bytes;
}

}  // namespace

void outputCallback(void*, void*, platform::Status status, uint32_t infoFlags,
                    const platform::SampleBuffer* sample) {
  if (status != platform::kStatusOk || !sample || !sample->dataIsReady() ||
      (infoFlags & platform::kInfoFrameDropped))
    return;
  const bool key = isKeyFrame(*sample);

  int64_t lengthSize = kDefaultLengthSize;
  if (const platform::FormatDescription* description = sample->formatDescription()) {
    size_t count = 0;
    int reported = kDefaultLengthSize;
    if (description->getH264ParameterSetAtIndex(0, nullptr, nullptr, &count, &reported) ==
        platform::kStatusOk)
      lengthSize = reported;
    if (key && !sentConfig) {
      // Without memory for the packet the sets count as unreadable: the next key frame tries again.
      std::vector<uint8_t> config;
      try {
        config = configuration(*description, count);
      } catch (const std::bad_alloc&) {
      }
      if (!config.empty()) {
        emit(kPacketConfiguration, config);
        sentConfig = true;
      }
    }
  }

  // Without memory for the packet the frame's bytes cannot be reached.
  std::optional<std::vector<uint8_t>> bytes;
  try {
    bytes = annexB(*sample, lengthSize);
  } catch (const std::bad_alloc&) {
  }
  if (!bytes) return;
  emit(key ? kPacketKeyFrame : kPacketFrame, *bytes);
}

std::optional<std::vector<uint8_t>> annexB(const platform::SampleBuffer& sample,
                                           int64_t lengthSize) {
  const platform::BlockBuffer* block = sample.dataBuffer();
  if (!block) return std::nullopt;
  size_t total = 0;
  const uint8_t* data = nullptr;
  if (block->getDataPointer(0, nullptr, &total, &data) != platform::kStatusOk || !data)
    return std::nullopt;

  std::vector<uint8_t> result;
  result.reserve(total + 16);
  // A prefix wider than 8 bytes cannot be read into the length; a negative one means nothing.
  if (lengthSize <= 0 || lengthSize > 8 || total < static_cast<uint64_t>(lengthSize)) return result;
  const auto prefix = static_cast<size_t>(lengthSize);
  size_t offset = 0;
  do {
    uint64_t length = 0;
    for (size_t i = 0; i < prefix; ++i) length = (length << 8) | data[offset + i];
    if (length == 0) break;
    const size_t start = offset + prefix;
    // Compared as what remains, so that a huge announced length cannot wrap the end offset.
    if (length > total - start) break;
    result.insert(result.end(), startCode.begin(), startCode.end());
    result.insert(result.end(), data + start, data + start + length);
    offset = start + static_cast<size_t>(length);
  } while (offset + prefix <= total);
  return result;
}

}  // namespace vidlet
