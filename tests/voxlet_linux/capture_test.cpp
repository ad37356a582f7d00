// The capture engine's pure parts: the back-off between tries, the phases with the commands that
// carry capture through changes on the server, and the cutting of audio into tap buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "backoff.h"
#include "buffer_assembler.h"
#include "capture_plan.h"

namespace voxlet::linux_backend {

// Commands print as their kind and operand in failure messages.
void PrintTo(const CaptureCommand& c, std::ostream* os) {
  *os << "command " << static_cast<int>(c.kind) << " '" << c.source << "' " << c.delay.count()
      << "ms";
}

namespace {

using namespace std::chrono_literals;
using Do = CaptureCommand::Kind;
using Kind = CaptureInput::Kind;
using Phase = CapturePhase;
using Commands = std::vector<CaptureCommand>;

TEST(Backoff, DoublesFrom100msUpTo1s) {
  Backoff backoff;
  std::vector<std::chrono::milliseconds> delays;
  for (int i = 0; i < 7; ++i) delays.push_back(backoff.nextDelay());
  EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{100ms, 200ms, 400ms, 800ms, 1000ms,
                                                            1000ms, 1000ms}));
}

TEST(Backoff, StartsOverAfterASuccess) {
  Backoff backoff;
  for (int i = 0; i < 6; ++i) backoff.nextDelay();
  backoff.succeeded();
  EXPECT_EQ(backoff.nextDelay(), 100ms);
  EXPECT_EQ(backoff.nextDelay(), 200ms);
  backoff.succeeded();
  backoff.succeeded();
  EXPECT_EQ(backoff.nextDelay(), 100ms);
}

// A plan fed inputs about what it has now (its current tickets), as the engine feeds it.
class Plan : public ::testing::Test {
 protected:
  Commands send(Kind kind, std::string source = "") {
    Ticket ticket = 0;
    switch (kind) {
      case Kind::StreamReady:
      case Kind::StreamEnded:
      case Kind::StreamMoved:
        ticket = plan_.stream();
        break;
      case Kind::ContextReady:
      case Kind::ContextEnded:
      case Kind::SourcesChanged:
        ticket = plan_.context();
        break;
      case Kind::DefaultSource:
      case Kind::NoAnswer:
        ticket = plan_.question();
        break;
      case Kind::TimerDue:
        ticket = plan_.timer();
        break;
      case Kind::Start:
      case Kind::Stop:
        break;
    }
    return plan_.handle({kind, ticket, std::move(source)});
  }
  // Started and recording from `source`.
  void record(const std::string& source = "a") {
    ASSERT_EQ(send(Kind::Start, source), (Commands{{Do::OpenStream, source}}));
    ASSERT_EQ(plan_.phase(), Phase::Starting);
    ASSERT_EQ(send(Kind::StreamReady), (Commands{{Do::Subscribe}}));
    ASSERT_EQ(plan_.phase(), Phase::Recording);
  }
  // The server goes away and answers again after `refusals` failed tries; returns the waits.
  std::vector<std::chrono::milliseconds> outage(int refusals, const std::string& source = "a") {
    std::vector<std::chrono::milliseconds> waits;
    Commands c = send(Kind::ContextEnded);
    EXPECT_EQ(c.front(), (CaptureCommand{Do::DropStream}));
    for (int i = 0;; ++i) {
      EXPECT_EQ(plan_.phase(), Phase::ServerBackoff);
      EXPECT_EQ(c.back().kind, Do::ArmTimer);
      waits.push_back(c.back().delay);
      EXPECT_EQ(send(Kind::TimerDue), (Commands{{Do::Reconnect}}));
      EXPECT_EQ(plan_.phase(), Phase::Connecting);
      if (i == refusals) break;
      c = send(Kind::ContextEnded);
    }
    EXPECT_EQ(send(Kind::ContextReady), (Commands{{Do::Subscribe}, {Do::AskDefault}}));
    EXPECT_EQ(plan_.phase(), Phase::AskingDefault);
    EXPECT_EQ(send(Kind::DefaultSource, source), (Commands{{Do::OpenStream, source}}));
    EXPECT_EQ(plan_.phase(), Phase::Opening);
    EXPECT_EQ(send(Kind::StreamReady), Commands{});
    EXPECT_EQ(plan_.phase(), Phase::Recording);
    return waits;
  }

  CapturePlan plan_;
};

TEST_F(Plan, StartsRecordingOrStopsWhenTheFirstStreamFails) {
  ASSERT_NO_FATAL_FAILURE(record());
  EXPECT_EQ(send(Kind::Stop), (Commands{{Do::Release}}));
  EXPECT_EQ(plan_.phase(), Phase::Idle);

  EXPECT_EQ(send(Kind::Start, ""), (Commands{{Do::OpenStream, ""}}));
  EXPECT_EQ(send(Kind::StreamEnded), (Commands{{Do::Release}}));
  EXPECT_EQ(plan_.phase(), Phase::Idle);
  EXPECT_EQ(send(Kind::Start, "a"), (Commands{{Do::OpenStream, "a"}}));
  EXPECT_EQ(send(Kind::ContextEnded), (Commands{{Do::Release}}));
  EXPECT_EQ(plan_.phase(), Phase::Idle);
}

TEST_F(Plan, ServerOutagesWaitTheDocumentedSequenceAndASecondRecoversAsFastAsTheFirst) {
  ASSERT_NO_FATAL_FAILURE(record());
  EXPECT_EQ(outage(5),
            (std::vector<std::chrono::milliseconds>{100ms, 200ms, 400ms, 800ms, 1000ms, 1000ms}));
  EXPECT_EQ(outage(1), (std::vector<std::chrono::milliseconds>{100ms, 200ms}));
}

TEST_F(Plan, AFailedStreamWaitsThenAsksForTheDefaultAgain) {
  ASSERT_NO_FATAL_FAILURE(record());
  for (auto wait : {100ms, 200ms, 400ms}) {
    EXPECT_EQ(send(Kind::StreamEnded), (Commands{{Do::DropStream}, {Do::ArmTimer, "", wait}}));
    EXPECT_EQ(plan_.phase(), Phase::StreamBackoff);
    EXPECT_EQ(send(Kind::TimerDue), (Commands{{Do::AskDefault}}));
    EXPECT_EQ(plan_.phase(), Phase::AskingDefault);
    EXPECT_EQ(send(Kind::DefaultSource, "a"), (Commands{{Do::OpenStream, "a"}}));
  }
  EXPECT_EQ(send(Kind::StreamReady), Commands{});
  EXPECT_EQ(send(Kind::StreamEnded), (Commands{{Do::DropStream}, {Do::ArmTimer, "", 100ms}}));
}

TEST_F(Plan, ANewDefaultSourceIsFollowedByTheEngineItself) {
  ASSERT_NO_FATAL_FAILURE(record("a"));
  EXPECT_EQ(send(Kind::SourcesChanged), (Commands{{Do::AskDefault}}));
  EXPECT_EQ(plan_.phase(), Phase::Recording) << "the stream records while the server answers";
  EXPECT_EQ(send(Kind::DefaultSource, "b"), (Commands{{Do::OpenStream, "b"}}));
  EXPECT_EQ(plan_.phase(), Phase::Opening);
  EXPECT_EQ(send(Kind::StreamReady), Commands{});
  EXPECT_EQ(plan_.phase(), Phase::Recording);
}

TEST_F(Plan, AStreamTheServerMovedToTheDefaultIsKept) {
  ASSERT_NO_FATAL_FAILURE(record("a"));
  EXPECT_EQ(send(Kind::StreamMoved, "b"), Commands{});
  EXPECT_EQ(send(Kind::SourcesChanged), (Commands{{Do::AskDefault}}));
  EXPECT_EQ(send(Kind::DefaultSource, "b"), Commands{});
  EXPECT_EQ(plan_.phase(), Phase::Recording);
}

TEST_F(Plan, AChangeDuringAQuestionAsksAgainAfterItsAnswer) {
  ASSERT_NO_FATAL_FAILURE(record("a"));
  EXPECT_EQ(send(Kind::SourcesChanged), (Commands{{Do::AskDefault}}));
  EXPECT_EQ(send(Kind::SourcesChanged), Commands{});
  EXPECT_EQ(send(Kind::SourcesChanged), Commands{});
  EXPECT_EQ(send(Kind::DefaultSource, "a"), (Commands{{Do::AskDefault}}));
  EXPECT_EQ(send(Kind::DefaultSource, "b"), (Commands{{Do::OpenStream, "b"}}));
  EXPECT_EQ(send(Kind::NoAnswer), Commands{}) << "no question is open";
}

TEST_F(Plan, WithoutADefaultSourceWaitsForOne) {
  ASSERT_NO_FATAL_FAILURE(record("a"));
  send(Kind::SourcesChanged);
  EXPECT_EQ(send(Kind::DefaultSource, ""), (Commands{{Do::DropStream}}));
  EXPECT_EQ(plan_.phase(), Phase::NoSource);
  EXPECT_EQ(send(Kind::SourcesChanged), (Commands{{Do::AskDefault}}));
  EXPECT_EQ(plan_.phase(), Phase::AskingDefault);
  EXPECT_EQ(send(Kind::NoAnswer), Commands{});
  EXPECT_EQ(plan_.phase(), Phase::NoSource);
  send(Kind::SourcesChanged);
  EXPECT_EQ(send(Kind::DefaultSource, "c"), (Commands{{Do::OpenStream, "c"}}));
  EXPECT_EQ(plan_.phase(), Phase::Opening);
}

TEST_F(Plan, InputsAboutWhatWasLetGoChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(record("a"));
  const Ticket stream = plan_.stream(), context = plan_.context();
  send(Kind::SourcesChanged);
  const Ticket question = plan_.question();
  EXPECT_EQ(send(Kind::ContextEnded),
            (Commands{{Do::DropStream}, {Do::CancelQuestion}, {Do::ArmTimer, "", 100ms}}));
  const Ticket timer = plan_.timer();
  for (const CaptureInput& late : std::vector<CaptureInput>{{Kind::StreamReady, stream},
                                                            {Kind::StreamEnded, stream},
                                                            {Kind::StreamMoved, stream, "x"},
                                                            {Kind::DefaultSource, question, "x"},
                                                            {Kind::SourcesChanged, context},
                                                            {Kind::ContextEnded, context}}) {
    EXPECT_EQ(plan_.handle(late), Commands{}) << static_cast<int>(late.kind);
  }
  EXPECT_EQ(plan_.phase(), Phase::ServerBackoff);
  send(Kind::TimerDue);
  EXPECT_EQ(plan_.handle({Kind::TimerDue, timer}), Commands{});
  EXPECT_EQ(plan_.phase(), Phase::Connecting);
  EXPECT_EQ(plan_.handle({Kind::ContextReady, context}), Commands{});
}

TEST_F(Plan, AfterAStopNothingIsFollowed) {
  ASSERT_NO_FATAL_FAILURE(record("a"));
  send(Kind::StreamEnded);
  const Ticket timer = plan_.timer(), context = plan_.context();
  EXPECT_EQ(send(Kind::Stop), (Commands{{Do::Release}}));
  EXPECT_EQ(send(Kind::Stop), Commands{});
  EXPECT_EQ(plan_.handle({Kind::TimerDue, timer}), Commands{});
  EXPECT_EQ(plan_.handle({Kind::SourcesChanged, context}), Commands{});
  EXPECT_EQ(plan_.phase(), Phase::Idle);
}

// Interleaved float samples of `frames` frames: channel c of frame i holds i * 10 + c.
std::vector<uint8_t> interleaved(uint32_t channels, uint32_t frames, uint32_t first = 0) {
  std::vector<uint8_t> bytes(channels * frames * sizeof(float));
  for (uint32_t i = 0; i < frames; ++i) {
    for (uint32_t c = 0; c < channels; ++c) {
      const float v = static_cast<float>((first + i) * 10 + c);
      std::memcpy(&bytes[(i * channels + c) * sizeof(float)], &v, sizeof v);
    }
  }
  return bytes;
}

TEST(BufferAssembler, CutsPiecesOfAnyLengthIntoDeinterleavedBuffers) {
  BufferAssembler assembler;
  assembler.begin(3, 4);
  std::vector<platform::AudioBufferPtr> out;
  const auto deliver = [&](platform::AudioBufferPtr b) { out.push_back(std::move(b)); };
  const std::vector<uint8_t> bytes = interleaved(3, 10);
  // Pieces that split samples and frames: 1, 5, 7, 11, 13 ... bytes.
  for (size_t at = 0, n = 1; at < bytes.size(); at += n, n += 4) {
    assembler.append(bytes.data() + at, std::min(n, bytes.size() - at), deliver);
  }
  ASSERT_EQ(out.size(), 2u) << "10 frames: two buffers of 4, 2 frames left over";
  for (size_t b = 0; b < out.size(); ++b) {
    ASSERT_EQ(out[b]->frameLength(), 4u);
    ASSERT_EQ(out[b]->channelCount(), 3u);
    for (uint32_t c = 0; c < 3; ++c) {
      for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[b]->floatChannelData()[c][i], static_cast<float>((b * 4 + i) * 10 + c));
      }
    }
  }
}

TEST(BufferAssembler, ANewBeginningDropsWhatWasBegun) {
  BufferAssembler assembler;
  assembler.begin(2, 4);
  std::vector<platform::AudioBufferPtr> out;
  const auto deliver = [&](platform::AudioBufferPtr b) { out.push_back(std::move(b)); };
  const std::vector<uint8_t> old = interleaved(2, 3, 100);
  assembler.append(old.data(), old.size() - 2, deliver);  // 2.75 frames
  assembler.begin(2, 4);
  const std::vector<uint8_t> fresh = interleaved(2, 4);
  assembler.append(fresh.data(), fresh.size(), deliver);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->floatChannelData()[0][0], 0.0f);
  EXPECT_EQ(out[0]->floatChannelData()[1][3], 31.0f);
}

TEST(BufferAssembler, ReusesTheStorageOfBuffersNoLongerRead) {
  BufferAssembler assembler;
  assembler.begin(1, 256);
  std::set<const float*> storage;
  const std::vector<uint8_t> bytes = interleaved(1, 256);
  for (int i = 0; i < 50; ++i) {
    assembler.append(bytes.data(), bytes.size(), [&](platform::AudioBufferPtr b) {
      storage.insert(b->floatChannelData()[0]);
    });  // the buffer is let go at once, as a reader that keeps up would
  }
  EXPECT_LE(storage.size(), 2u);
}

}  // namespace
}  // namespace voxlet::linux_backend
