#include "platform/video.h"

namespace vidlet::platform {

H264FormatDescription::H264FormatDescription(std::vector<std::vector<uint8_t>> parameterSets,
                                             int nalUnitHeaderLength)
    : parameterSets_(std::move(parameterSets)), nalUnitHeaderLength_(nalUnitHeaderLength) {}

Status H264FormatDescription::getH264ParameterSetAtIndex(size_t parameterSetIndex,
                                                         const uint8_t** parameterSetPointer,
                                                         size_t* parameterSetSize,
                                                         size_t* parameterSetCount,
                                                         int* nalUnitHeaderLength) const {
  if (parameterSetCount) *parameterSetCount = parameterSets_.size();
  if (nalUnitHeaderLength) *nalUnitHeaderLength = nalUnitHeaderLength_;
  if (!parameterSetPointer && !parameterSetSize) return kStatusOk;
  if (parameterSetIndex >= parameterSets_.size()) return kErrParameter;
  const auto& set = parameterSets_[parameterSetIndex];
  if (parameterSetPointer) *parameterSetPointer = set.data();
  if (parameterSetSize) *parameterSetSize = set.size();
  return kStatusOk;
}

Status ContiguousBlockBuffer::getDataPointer(size_t offset, size_t* lengthAtOffsetOut,
                                             size_t* totalLengthOut,
                                             const uint8_t** dataPointerOut) const {
  if (offset > bytes_.size()) return kErrParameter;
  if (lengthAtOffsetOut) *lengthAtOffsetOut = bytes_.size() - offset;
  if (totalLengthOut) *totalLengthOut = bytes_.size();
  // An empty block still has an address, like any other.
  static const uint8_t kNothing = 0;
  if (dataPointerOut) *dataPointerOut = bytes_.empty() ? &kNothing : bytes_.data() + offset;
  return kStatusOk;
}

}  // namespace vidlet::platform
