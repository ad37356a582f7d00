// The output callback, the Annex B conversion and the packet writer, fed with samples built by
// hand.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoded_frames.h"
#include "output.h"
#include "packets.h"
#include "state.h"

namespace vp = vidlet::platform;
using vidlet_test::MemoryFile;
using vidlet_test::Packet;
using vidlet_test::parsePackets;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<int> values) {
  Bytes b;
  for (int v : values) b.push_back(static_cast<uint8_t>(v));
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string str(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

const Bytes kStart = bytes({0, 0, 0, 1});
const Bytes kFive = bytes({0x65, 1, 2, 3, 4});
const Bytes kThree = bytes({0x41, 5, 6});
// Length size 4, units of 5 and 3 bytes: 16 bytes in all.
const Bytes kTwoUnits = bytes({0, 0, 0, 5}) + kFive + bytes({0, 0, 0, 3}) + kThree;
const Bytes kTwoUnitsAnnexB = kStart + kFive + kStart + kThree;

std::shared_ptr<const vp::BlockBuffer> block(Bytes b) {
  return std::make_shared<vp::ContiguousBlockBuffer>(std::move(b));
}

// A description whose parameter-set queries fail as told.
class FaultyDescription : public vp::FormatDescription {
 public:
  vp::Status countStatus = vp::kStatusOk;
  size_t count = 2;
  std::optional<int> lengthSize = 4;  // nothing: leaves the caller's preset
  std::map<size_t, vp::Status> setStatus;
  std::map<size_t, bool> setNull;
  std::map<size_t, Bytes> sets;

  vp::Status getH264ParameterSetAtIndex(size_t index, const uint8_t** pointer, size_t* size,
                                        size_t* countOut, int* lengthOut) const override {
    if (countOut) *countOut = count;
    if (lengthOut && lengthSize) *lengthOut = *lengthSize;
    if (!pointer && !size) return countStatus;
    if (setStatus.count(index) && setStatus.at(index) != vp::kStatusOk) return setStatus.at(index);
    if (setNull.count(index) && setNull.at(index)) return vp::kStatusOk;
    auto it = sets.find(index);
    if (it == sets.end()) return vp::kErrParameter;
    if (pointer) *pointer = it->second.data();
    if (size) *size = it->second.size();
    return vp::kStatusOk;
  }
};

// A block whose pointer query fails or yields nothing.
class FaultyBlock : public vp::BlockBuffer {
 public:
  explicit FaultyBlock(bool fail) : fail_(fail) {}
  vp::Status getDataPointer(size_t, size_t*, size_t* total, const uint8_t** data) const override {
    if (total) *total = 8;
    if (data) *data = nullptr;
    return fail_ ? vp::kErrParameter : vp::kStatusOk;
  }

 private:
  bool fail_;
};

vp::SampleAttachmentsArray notSync(vp::AttachmentValue value) {
  return {{{vp::kSampleAttachmentKeyNotSync, value}}};
}
const vp::SampleAttachmentsArray kDelta = notSync(true);
const vp::SampleAttachmentsArray kKey = notSync(false);

std::shared_ptr<const vp::FormatDescription> parameterSets(Bytes sps, Bytes pps,
                                                           int lengthSize = 4) {
  return std::make_shared<vp::H264FormatDescription>(std::vector<Bytes>{sps, pps}, lengthSize);
}

class AnnexB : public ::testing::Test {
 protected:
  void SetUp() override { vidlet::startCode = {0, 0, 0, 1}; }
  std::optional<Bytes> convert(Bytes data, int64_t lengthSize) {
    vp::SampleBuffer sample(true, std::nullopt, nullptr, block(std::move(data)));
    return vidlet::annexB(sample, lengthSize);
  }
};

TEST_F(AnnexB, ReplacesEachLengthPrefixWithTheStartCode) {
  EXPECT_EQ(convert(kTwoUnits, 4), kTwoUnitsAnnexB);
  // Two stray bytes cannot hold a prefix and are left out.
  EXPECT_EQ(convert(kTwoUnits + bytes({9, 9}), 4), kTwoUnitsAnnexB);
  // So are three; four make a prefix of zero, which ends the frame.
  EXPECT_EQ(convert(kTwoUnits + bytes({0, 0, 0}), 4), kTwoUnitsAnnexB);
  EXPECT_EQ(convert(kTwoUnits + bytes({0, 0, 0, 0, 7}), 4), kTwoUnitsAnnexB);
}

TEST_F(AnnexB, HonoursShorterLengthPrefixes) {
  const Bytes two = bytes({0, 5}) + kFive + bytes({0, 3}) + kThree;
  EXPECT_EQ(convert(two, 2), kTwoUnitsAnnexB);
  EXPECT_EQ(convert(two, 2)->size(), two.size() + 4);
  const Bytes one = bytes({5}) + kFive + bytes({3}) + kThree;
  EXPECT_EQ(convert(one, 1), kTwoUnitsAnnexB);
  EXPECT_EQ(convert(one, 1)->size(), one.size() + 6);
}

TEST_F(AnnexB, StopsAtZeroLengthsAndUnitsThatOverrunTheBlock) {
  // Second prefix zero: only the first unit.
  EXPECT_EQ(convert(bytes({0, 0, 0, 5}) + kFive + bytes({0, 0, 0, 0}) + kThree, 4), kStart + kFive);
  // The only prefix announces more than remains: nothing, but not "unreachable".
  EXPECT_EQ(convert(bytes({0, 0, 0, 9}) + kFive, 4), Bytes{});
  // A unit that overruns after a good one keeps the good one.
  EXPECT_EQ(convert(bytes({0, 0, 0, 5}) + kFive + bytes({0, 0, 0, 4}) + kThree, 4), kStart + kFive);
  // Announced lengths near the top of the range must not wrap the end offset.
  EXPECT_EQ(convert(bytes({0xff, 0xff, 0xff, 0xff}) + kFive, 4), Bytes{});
  EXPECT_EQ(convert(bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}) + kFive, 8), Bytes{});
}

TEST_F(AnnexB, EmptyForBlocksShorterThanAPrefixOrUnusableSizes) {
  EXPECT_EQ(convert(bytes({0, 0, 5}), 4), Bytes{});
  EXPECT_EQ(convert(Bytes{}, 4), Bytes{});
  EXPECT_EQ(convert(kTwoUnits, 0), Bytes{});
  EXPECT_EQ(convert(kTwoUnits, -4), Bytes{});
  EXPECT_EQ(convert(kTwoUnits, 1000), Bytes{});
}

TEST_F(AnnexB, NothingWhenTheBytesCannotBeReached) {
  EXPECT_FALSE(vidlet::annexB(vp::SampleBuffer(true, std::nullopt, nullptr, nullptr), 4));
  auto failing = std::make_shared<FaultyBlock>(true);
  EXPECT_FALSE(vidlet::annexB(vp::SampleBuffer(true, std::nullopt, nullptr, failing), 4));
  auto null = std::make_shared<FaultyBlock>(false);
  EXPECT_FALSE(vidlet::annexB(vp::SampleBuffer(true, std::nullopt, nullptr, null), 4));
}

// Runs the callback with out on a file in memory.
class Callback : public ::testing::Test {
 protected:
  void SetUp() override {
    vidlet::out = file_.fd();
    vidlet::sentConfig = false;
    vidlet::startCode = {0, 0, 0, 1};
    vidlet::callback = vidlet::outputCallback;
  }
  void TearDown() override { vidlet::out = -1; }

  void deliver(const vp::SampleBuffer* sample, vp::Status status = vp::kStatusOk,
               uint32_t flags = 0) {
    vidlet::callback(nullptr, nullptr, status, flags, sample);
  }
  void deliver(const vp::SampleBuffer& sample) { deliver(&sample); }
  std::vector<Packet> packets() {
    bool complete = false;
    auto p = parsePackets(file_.contents(), &complete);
    EXPECT_TRUE(complete);
    return p;
  }

  MemoryFile file_;
};

TEST_F(Callback, SkipsFailedMissingUnreadyAndDroppedResults) {
  const vp::SampleBuffer good(true, kKey, parameterSets(bytes({0x67}), bytes({0x68})),
                              block(kTwoUnits));
  deliver(&good, -12345);
  deliver(nullptr);
  deliver(
      vp::SampleBuffer(false, kKey, parameterSets(bytes({0x67}), bytes({0x68})), block(kTwoUnits)));
  deliver(&good, vp::kStatusOk, vp::kInfoFrameDropped);
  deliver(&good, vp::kStatusOk, vp::kInfoFrameDropped | vp::kInfoAsynchronous);
  EXPECT_TRUE(file_.contents().empty());
  EXPECT_FALSE(vidlet::sentConfig);
  // Other flags do not stop a frame.
  deliver(&good, vp::kStatusOk, vp::kInfoAsynchronous);
  EXPECT_EQ(packets().size(), 2u);
}

TEST_F(Callback, SendsParameterSetsOnceRightBeforeTheFirstKeyFrame) {
  const Bytes sps = bytes({0x67, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  const Bytes pps = bytes({0x68, 1, 2, 3});
  auto format = parameterSets(sps, pps);
  deliver(vp::SampleBuffer(true, kDelta, format, block(kTwoUnits)));  // no key frame yet
  deliver(vp::SampleBuffer(true, kKey, format, block(kTwoUnits)));
  deliver(vp::SampleBuffer(true, kDelta, format, block(kTwoUnits)));
  deliver(vp::SampleBuffer(true, kKey, format, block(kTwoUnits)));
  auto p = packets();
  ASSERT_EQ(p.size(), 5u);
  EXPECT_EQ(p[0].type, 0);
  EXPECT_EQ(p[1].type, 1);
  EXPECT_EQ(p[1].payload, str(kStart + sps + kStart + pps));
  EXPECT_EQ(p[1].payload.size(), 22u);
  EXPECT_EQ(p[2].type, 2);
  EXPECT_EQ(p[2].payload, str(kTwoUnitsAnnexB));
  EXPECT_EQ(p[3].type, 0);
  EXPECT_EQ(p[4].type, 2);
  EXPECT_TRUE(vidlet::sentConfig);
}

TEST_F(Callback, KeyFrameUnlessTheFirstAttachmentSaysNotSync) {
  auto format = parameterSets(bytes({0x67}), bytes({0x68}));
  vidlet::sentConfig = true;  // frames only
  const std::vector<std::pair<std::optional<vp::SampleAttachmentsArray>, uint8_t>> cases = {
      {std::nullopt, 2},
      {vp::SampleAttachmentsArray{}, 2},
      {vp::SampleAttachmentsArray{{}}, 2},
      {vp::SampleAttachmentsArray{{{"DependsOnOthers", true}}}, 2},
      {notSync(int64_t{1}), 2},  // not a Boolean
      {notSync(std::string("true")), 2},
      {kKey, 2},
      {kDelta, 0},
      // Only the first dictionary counts.
      {vp::SampleAttachmentsArray{{}, {{vp::kSampleAttachmentKeyNotSync, true}}}, 2},
      {vp::SampleAttachmentsArray{{{vp::kSampleAttachmentKeyNotSync, true}},
                                  {{vp::kSampleAttachmentKeyNotSync, false}}},
       0},
  };
  for (const auto& [attachments, type] : cases)
    deliver(vp::SampleBuffer(true, attachments, format, block(kTwoUnits)));
  auto p = packets();
  ASSERT_EQ(p.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(p[i].type, cases[i].second) << "case " << i;
}

TEST_F(Callback, WithoutFormatDescriptionConvertsWithFourByteLengthsAndNoConfiguration) {
  deliver(vp::SampleBuffer(true, std::nullopt, nullptr, block(kTwoUnits)));
  auto p = packets();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].type, 2);
  EXPECT_EQ(p[0].payload, str(kTwoUnitsAnnexB));
  EXPECT_FALSE(vidlet::sentConfig);
}

TEST_F(Callback, UsesTheReportedLengthSize) {
  const Bytes two = bytes({0, 5}) + kFive + bytes({0, 3}) + kThree;
  deliver(vp::SampleBuffer(true, kKey, parameterSets(bytes({0x67}), bytes({0x68}), 2), block(two)));
  auto p = packets();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].payload, str(kTwoUnitsAnnexB));
}

TEST_F(Callback, FailedCountQueryMeansFourByteLengthsButKeepsTheCount) {
  auto format = std::make_shared<FaultyDescription>();
  format->countStatus = vp::kErrParameter;
  format->lengthSize = 2;  // not believed when the query fails
  format->sets = {{0, bytes({0x67, 1})}, {1, bytes({0x68, 2})}};
  deliver(vp::SampleBuffer(true, kKey, format, block(kTwoUnits)));
  auto p = packets();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].payload, str(kStart + bytes({0x67, 1}) + kStart + bytes({0x68, 2})));
  EXPECT_EQ(p[1].payload, str(kTwoUnitsAnnexB));
}

TEST_F(Callback, LengthSizeDefaultsToFourWhenNotReported) {
  auto format = std::make_shared<FaultyDescription>();
  format->lengthSize.reset();
  format->sets = {{0, bytes({0x67})}, {1, bytes({0x68})}};
  deliver(vp::SampleBuffer(true, kKey, format, block(kTwoUnits)));
  auto p = packets();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].payload, str(kTwoUnitsAnnexB));
}

TEST_F(Callback, SkipsUnreadableParameterSetsAndRetriesAtTheNextKeyFrame) {
  auto broken = std::make_shared<FaultyDescription>();
  broken->count = 3;
  broken->setStatus = {{0, vp::kErrParameter}};
  broken->setNull = {{1, true}};
  broken->sets = {{2, bytes({0x68, 7})}};
  deliver(vp::SampleBuffer(true, kKey, broken, block(kTwoUnits)));
  auto p = packets();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].type, 1);
  EXPECT_EQ(p[0].payload, str(kStart + bytes({0x68, 7})));

  // None readable: no configuration packet, and the next key frame tries again.
  MemoryFile again;
  vidlet::out = again.fd();
  vidlet::sentConfig = false;
  auto none = std::make_shared<FaultyDescription>();
  none->setStatus = {{0, vp::kErrParameter}, {1, vp::kErrParameter}};
  deliver(vp::SampleBuffer(true, kKey, none, block(kTwoUnits)));
  EXPECT_FALSE(vidlet::sentConfig);
  deliver(
      vp::SampleBuffer(true, kKey, parameterSets(bytes({0x67}), bytes({0x68})), block(kTwoUnits)));
  auto q = parsePackets(again.contents());
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0].type, 2);
  EXPECT_EQ(q[1].type, 1);
  EXPECT_EQ(q[2].type, 2);
}

TEST_F(Callback, WritesEmptyFramePacketsButNothingForUnreachableBytes) {
  auto format = parameterSets(bytes({0x67}), bytes({0x68}));
  deliver(vp::SampleBuffer(true, kKey, format, block(bytes({0, 0, 0, 9}) + kFive)));
  deliver(vp::SampleBuffer(true, kDelta, format, block(bytes({0, 0, 0, 9}) + kFive)));
  // The configuration packet of a key frame whose bytes cannot be reached stays written.
  MemoryFile other;
  vidlet::out = other.fd();
  vidlet::sentConfig = false;
  deliver(vp::SampleBuffer(true, kKey, format, nullptr));
  auto p = packets();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[1].type, 2);
  EXPECT_TRUE(p[1].payload.empty());
  EXPECT_EQ(p[2].type, 0);
  EXPECT_TRUE(p[2].payload.empty());
  auto q = parsePackets(other.contents());
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].type, 1);
}

TEST(Emit, WritesBigEndianLengthTypeAndPayload) {
  MemoryFile file;
  vidlet::out = file.fd();
  vidlet::emit(vidlet::kPacketFrame, {});
  vidlet::emit(vidlet::kPacketKeyFrame, Bytes(300, 0xab));
  vidlet::emit(vidlet::kPacketFrame, Bytes(70000, 0xcd));
  vidlet::out = -1;
  const std::string all = file.contents();
  ASSERT_EQ(all.size(), 5u + 5 + 300 + 5 + 70000);
  EXPECT_EQ(all.substr(0, 5), std::string("\0\0\0\0\0", 5));
  EXPECT_EQ(all.substr(5, 5), std::string("\0\0\x01\x2c\x02", 5));
  EXPECT_EQ(all.substr(310, 5), std::string("\0\x01\x11\x70\0", 5));
  EXPECT_EQ(all.substr(315), std::string(70000, '\xcd'));
}

}  // namespace
