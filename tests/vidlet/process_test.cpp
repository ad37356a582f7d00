// The vidlet program over pipes: header cases, exits, and real encodes decoded back by ffmpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "packets.h"
#include "run_vidlet.h"
#include "subprocess.h"

using testing_support::run;
using testing_support::RunResult;
using testing_support::Subprocess;
using vidlet_test::decode;
using vidlet_test::elementary;
using vidlet_test::encode;
using vidlet_test::Encoded;
using vidlet_test::nalTypes;
using vidlet_test::Packet;
using vidlet_test::parsePackets;
using vidlet_test::psnr;
using vidlet_test::TempFile;
using vidlet_test::testFrame;

namespace {

const std::string kVidlet = VIDLET_PATH;

std::string frames(int w, int h, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += testFrame(w, h, i);
  return all;
}

// What ffprobe says about an H.264 elementary stream.
nlohmann::json probe(const std::string& h264) {
  TempFile file(h264);
  RunResult r = run({"/usr/bin/ffprobe", "-v", "error", "-f", "h264", "-show_entries",
                     "stream=profile,width,height,has_b_frames:frame=pict_type,key_frame", "-of",
                     "json", file.path()},
                    "");
  EXPECT_EQ(r.exit.status, 0) << r.err;
  return nlohmann::json::parse(r.out, nullptr, false);
}

size_t framePackets(const std::vector<Packet>& packets) {
  size_t n = 0;
  for (const auto& p : packets) n += p.type != 1;
  return n;
}

// ---- Header cases: status, standard error, and nothing on standard output.

struct HeaderCase {
  const char* input;
  int status;
  const char* err;
};

// Names the case by its input, escaped.
void PrintTo(const HeaderCase& c, std::ostream* os) {
  *os << '"';
  for (const char* p = c.input; *p; ++p) {
    if (*p == '\n')
      *os << "\\n";
    else if (*p == '\r')
      *os << "\\r";
    else if (*p == '\t')
      *os << "\\t";
    else
      *os << *p;
  }
  *os << '"';
}

class Header : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Header, ExitsWithItsStatusAndLine) {
  const HeaderCase& c = GetParam();
  RunResult r = run({kVidlet}, c.input);
  ASSERT_TRUE(r.exit.exited) << "signal " << r.exit.signal;
  EXPECT_EQ(r.exit.status, c.status);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Refused, Header,
    ::testing::Values(
        HeaderCase{"", 2, ""}, HeaderCase{"\n", 2, "bad header\n"},
        HeaderCase{"     \n", 2, "bad header\n"}, HeaderCase{"640\n", 2, "bad header\n"},
        HeaderCase{"0 480\n", 2, "bad header\n"}, HeaderCase{"640 -480\n", 2, "bad header\n"},
        HeaderCase{"640\t480\n", 2, "bad header\n"}, HeaderCase{"640 480x\n", 2, "bad header\n"},
        HeaderCase{"2147483648 16\n", 2, "bad header\n"},
        HeaderCase{"16 2147483648\n", 2, "bad header\n"},
        HeaderCase{"16 16 2147483648\n", 2, "bad header\n"},
        HeaderCase{"2147483647 2147483647\n", 2, "bad header\n"},
        HeaderCase{"20000 16\n", 3, "VTCompressionSessionCreate -1\n"},
        HeaderCase{"16 16385\n", 3, "VTCompressionSessionCreate -1\n"}));

INSTANTIATE_TEST_SUITE_P(
    AcceptedWithoutFrames, Header,
    ::testing::Values(HeaderCase{"640 480", 0, ""}, HeaderCase{"640 480\n", 0, ""},
                      HeaderCase{"+640 +480\n", 0, ""}, HeaderCase{"  640   480   \n", 0, ""},
                      HeaderCase{"640 x 480\n", 0, ""}, HeaderCase{"640 480 30\r\n", 0, ""},
                      HeaderCase{"640 480 0\n", 0, ""}, HeaderCase{"640 480 -5\n", 0, ""},
                      HeaderCase{"640 480 30 0\n", 0, ""}, HeaderCase{"640 480 30 -1\n", 0, ""},
                      HeaderCase{"16384 16\n", 0, ""}));

TEST(Header, APieceTooLongForAnIntegerGivesWayToTheNext) {
  // Read as 16 x 16: one 1024-byte frame makes exactly one frame packet.
  Encoded e = encode("99999999999999999999 16 16\n", frames(16, 16, 1));
  EXPECT_EQ(e.result.exit.status, 0);
  EXPECT_EQ(framePackets(e.packets), 1u);
}

TEST(Header, ExtremeValuesEncodeWithoutOverflow) {
  // The largest and smallest values a header may carry reach every sum and product of the rate
  // and key-frame arithmetic; the sanitizer build ends the run at the first overflow.
  for (const char* rates :
       {"2147483647", "2147483647 9223372036854775807", "2147483647 -9223372036854775808",
        "2147483647 1", "1 9223372036854775807", "1 1", "-9223372036854775808 2147483647000",
        "30 2147483648000", "2147483647 2147483647"}) {
    for (auto [w, h] : {std::pair{16, 16}, {1, 1}}) {
      const std::string header = std::to_string(w) + " " + std::to_string(h) + " " + rates + "\n";
      SCOPED_TRACE(header);
      Encoded e = encode(header, frames(w, h, 3));
      ASSERT_TRUE(e.result.exit.exited) << "signal " << e.result.exit.signal;
      EXPECT_EQ(e.result.exit.status, 0);
      EXPECT_EQ(e.result.err, "");
      EXPECT_TRUE(e.complete);
      EXPECT_EQ(framePackets(e.packets), 3u);
    }
  }
}

TEST(Header, CommandLineArgumentsAreIgnored) {
  RunResult r = run({kVidlet, "--help", "640"}, "16 16\n" + frames(16, 16, 2));
  EXPECT_EQ(r.exit.status, 0);
  EXPECT_EQ(framePackets(parsePackets(r.out)), 2u);
}

// ---- Real encodes.

TEST(Encode, ConfigurationThenOnePacketPerFrameInBaselineWithoutBFrames) {
  constexpr int kFrames = 45;
  Encoded e = encode("96 64 10 300000\n", frames(96, 64, kFrames));
  ASSERT_EQ(e.result.exit.status, 0) << e.result.err;
  EXPECT_EQ(e.result.err, "");
  ASSERT_TRUE(e.complete);
  ASSERT_EQ(e.packets.size(), kFrames + 1u);
  // One configuration packet, first, with a sequence and a picture parameter set.
  EXPECT_EQ(e.packets[0].type, 1);
  EXPECT_EQ(nalTypes(e.packets[0].payload), (std::vector<int>{7, 8}));
  EXPECT_EQ(e.packets[1].type, 2);
  int sinceKey = 0;
  for (size_t i = 1; i < e.packets.size(); ++i) {
    const Packet& p = e.packets[i];
    ASSERT_NE(p.type, 1) << "packet " << i;
    ASSERT_EQ(p.payload.compare(0, 4, std::string("\0\0\0\1", 4)), 0) << "packet " << i;
    const auto types = nalTypes(p.payload);
    const bool idr = std::find(types.begin(), types.end(), 5) != types.end();
    EXPECT_EQ(p.type == 2, idr) << "packet " << i;
    sinceKey = p.type == 2 ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 40) << "no key frame within FPS x 4 frames, packet " << i;
  }
  nlohmann::json info = probe(elementary(e.packets));
  ASSERT_FALSE(info.is_discarded());
  const auto& stream = info["streams"][0];
  EXPECT_EQ(stream["width"], 96);
  EXPECT_EQ(stream["height"], 64);
  EXPECT_EQ(stream["has_b_frames"], 0);
  EXPECT_NE(stream["profile"].get<std::string>().find("Baseline"), std::string::npos);
  ASSERT_EQ(info["frames"].size(), static_cast<size_t>(kFrames));
  EXPECT_EQ(info["frames"][0]["key_frame"], 1);
  for (const auto& f : info["frames"]) EXPECT_NE(f["pict_type"], "B");
}

TEST(Encode, KeyFramesComeAtLeastEveryFpsTimesFourFrames) {
  // Frame rate 1: a key frame at least every 4 frames.
  Encoded e = encode("32 32 1 100000\n", frames(32, 32, 13));
  ASSERT_EQ(e.result.exit.status, 0);
  ASSERT_EQ(framePackets(e.packets), 13u);
  int sinceKey = 0;
  for (size_t i = 1; i < e.packets.size(); ++i) {
    sinceKey = e.packets[i].type == 2 ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 4) << "packet " << i;
  }
}

TEST(Encode, OddAndTinySizesDecodeAtTheirEvenCover) {
  // 4:2:0 frames crop in steps of two pixels, so an odd side decodes one pixel wider, its last
  // column or row repeated; the W x H picture itself is intact.
  for (auto [w, h] : {std::pair{1, 1}, {2, 2}, {3, 5}, {4, 2}, {17, 9}, {33, 16}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    Encoded e =
        encode(std::to_string(w) + " " + std::to_string(h) + " 30 2000000\n", frames(w, h, 3));
    ASSERT_EQ(e.result.exit.status, 0);
    ASSERT_EQ(framePackets(e.packets), 3u);
    const int ew = (w + 1) & ~1, eh = (h + 1) & ~1;
    nlohmann::json info = probe(elementary(e.packets));
    ASSERT_FALSE(info.is_discarded());
    EXPECT_EQ(info["streams"][0]["width"], ew);
    EXPECT_EQ(info["streams"][0]["height"], eh);
    EXPECT_EQ(info["frames"].size(), 3u);
    EXPECT_EQ(decode(elementary(e.packets), ew, eh).size(), static_cast<size_t>(ew) * eh * 4 * 3);
  }
}

TEST(Encode, AFrameCutShortAtTheEndIsNotEncoded) {
  Encoded e = encode("16 16 30\n", frames(16, 16, 3) + std::string(100, '\x40'));
  EXPECT_EQ(e.result.exit.status, 0);
  EXPECT_EQ(e.result.err, "");
  EXPECT_TRUE(e.complete);
  EXPECT_EQ(framePackets(e.packets), 3u);
}

TEST(Encode, FrameBytesInTheHeadersWriteAreNotLost) {
  Subprocess p({kVidlet});
  ASSERT_TRUE(p.write("16 16 30\n" + frames(16, 16, 2)));  // one write
  p.closeStdin();
  auto packets = parsePackets(p.readAll());
  EXPECT_EQ(p.wait().status, 0);
  EXPECT_EQ(framePackets(packets), 2u);
}

TEST(Encode, InputThatTricklesInSmallWritesIsGathered) {
  Subprocess p({kVidlet});
  const std::string all = "24 8 30\n" + frames(24, 8, 4);
  for (size_t i = 0; i < all.size(); i += 7) ASSERT_TRUE(p.write(all.substr(i, 7)));
  p.closeStdin();
  auto packets = parsePackets(p.readAll());
  EXPECT_EQ(p.wait().status, 0);
  EXPECT_EQ(framePackets(packets), 4u);
}

TEST(Encode, EachFrameIsWrittenWithoutWaitingForMoreInput) {
  // Standard input stays open: the first frame's packets must still arrive.
  Subprocess p({kVidlet});
  ASSERT_TRUE(p.write("32 32 30\n" + testFrame(32, 32, 0)));
  std::string got;
  while (framePackets(parsePackets(got)) < 1) {
    auto more = p.readBytes(1);
    ASSERT_TRUE(more) << "no packet for the first frame while input stays open";
    got += *more;
  }
  auto packets = parsePackets(got);
  EXPECT_EQ(packets[0].type, 1);
  EXPECT_EQ(packets[1].type, 2);
  p.closeStdin();
  EXPECT_EQ(p.wait().status, 0);
}

// Smooth moving colour with a fine grey texture: what 4:2:0 keeps, so the loss measured is the
// encoder's.
std::string smoothFrames(int w, int h, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const double t = ((x / 2 + y / 2) & 1) ? 12 : -12;
        const double b = 128 + 60 * std::sin((x + 2 * i) / 11.0) + t;
        const double g = 128 + 60 * std::cos((y - i) / 13.0) + t;
        const double r = 128 + 50 * std::sin((x + y + i) / 17.0) + t;
        all += static_cast<char>(b);
        all += static_cast<char>(g);
        all += static_cast<char>(r);
        all += '\xff';
      }
    }
  }
  return all;
}

TEST(Encode, DecodesCloseToTheSourceAtASaneBitRate) {
  constexpr int kW = 128, kH = 96, kFrames = 30;
  const std::string source = smoothFrames(kW, kH, kFrames);
  Encoded e = encode("128 96 30 1500000\n", source);
  ASSERT_EQ(e.result.exit.status, 0);
  const std::string decoded = decode(elementary(e.packets), kW, kH);
  ASSERT_EQ(decoded.size(), source.size());
  const size_t frameBytes = static_cast<size_t>(kW) * kH * 4;
  for (int i = 0; i < kFrames; ++i) {
    const double db =
        psnr(decoded.substr(i * frameBytes, frameBytes), source.substr(i * frameBytes, frameBytes));
    EXPECT_GT(db, 34.0) << "frame " << i;
  }
}

// ---- Colours: the stream says how its pictures were made, and a decoder that reads this gets the
// frames' colours back.

struct Rgb {
  int r, g, b;
};

// Pure red, green, blue and a skin tone, two flat frames each.
const std::vector<Rgb> kColours{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {224, 134, 96}};

std::string flatFrames(int w, int h, const std::vector<Rgb>& colours, int each) {
  std::string all;
  for (const Rgb& c : colours) {
    std::string pixel{static_cast<char>(c.b), static_cast<char>(c.g), static_cast<char>(c.r),
                      '\xff'};
    for (int i = 0; i < each * w * h; ++i) all += pixel;
  }
  return all;
}

// Decodes to RGB24 with a converter that takes the matrix and range from the stream itself.
std::string decodeByTags(const std::string& h264) {
  TempFile file(h264);
  RunResult r =
      run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", file.path(), "-vf",
           "scale=in_color_matrix=auto:in_range=auto:flags=accurate_rnd+full_chroma_int,"
           "format=rgb24",
           "-f", "rawvideo", "-"},
          "");
  EXPECT_EQ(r.exit.status, 0) << r.err;
  return r.out;
}

// The same stream with its video usability information rewritten by a bitstream filter.
std::string retagged(const std::string& h264, const std::string& metadata) {
  TempFile file(h264);
  RunResult r = run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", file.path(),
                     "-c", "copy", "-bsf:v", "h264_metadata=" + metadata, "-f", "h264", "-"},
                    "");
  EXPECT_EQ(r.exit.status, 0) << r.err;
  return r.out;
}

// The largest difference of any channel of any pixel from the colour that frame was made of.
std::vector<int> worstPerFrame(const std::string& rgb, int w, int h,
                               const std::vector<Rgb>& colours, int each) {
  const size_t frameBytes = static_cast<size_t>(w) * h * 3;
  std::vector<int> worst;
  for (size_t f = 0; f < colours.size() * each && (f + 1) * frameBytes <= rgb.size(); ++f) {
    const Rgb& c = colours[f / each];
    const int want[3] = {c.r, c.g, c.b};
    int most = 0;
    for (size_t i = 0; i < frameBytes; ++i)
      most = std::max(most, std::abs(static_cast<uint8_t>(rgb[f * frameBytes + i]) - want[i % 3]));
    worst.push_back(most);
  }
  return worst;
}

class Colour : public ::testing::TestWithParam<std::pair<int, int>> {
 protected:
  static constexpr int kEach = 2;
  // A flat picture costs next to nothing, so the rate leaves the colours alone.
  std::string encodeColours() {
    const auto [w, h] = GetParam();
    Encoded e = encode(std::to_string(w) + " " + std::to_string(h) + " 30 8000000\n",
                       flatFrames(w, h, kColours, kEach));
    EXPECT_EQ(e.result.exit.status, 0);
    EXPECT_TRUE(e.complete);
    return elementary(e.packets);
  }
};

TEST_P(Colour, PureColoursAndSkinToneComeBackWithinThreeLevels) {
  const auto [w, h] = GetParam();
  const std::string rgb = decodeByTags(encodeColours());
  ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3 * kColours.size() * kEach);
  const std::vector<int> worst = worstPerFrame(rgb, w, h, kColours, kEach);
  for (size_t f = 0; f < worst.size(); ++f) EXPECT_LE(worst[f], 3) << "frame " << f;
}

TEST_P(Colour, TheStreamNamesItsPrimariesTransferMatrixAndRange) {
  TempFile file(encodeColours());
  RunResult r = run(
      {"/usr/bin/ffprobe", "-v", "error", "-f", "h264", "-show_entries",
       "stream=color_space,color_primaries,color_transfer,color_range", "-of", "json", file.path()},
      "");
  ASSERT_EQ(r.exit.status, 0) << r.err;
  nlohmann::json info = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(info.is_discarded());
  const auto& stream = info["streams"][0];
  EXPECT_EQ(stream["color_space"], "smpte170m");        // BT.601 matrix
  EXPECT_EQ(stream["color_primaries"], "bt709");        // the primaries of sRGB
  EXPECT_EQ(stream["color_transfer"], "iec61966-2-1");  // sRGB
  EXPECT_EQ(stream["color_range"], "tv");               // studio range
}

TEST_P(Colour, TheCheckingDecoderFollowsTheTags) {
  // Proof that the decoder above reads the tags rather than guessing: the same pictures labelled
  // with another matrix or the other range come out visibly wrong.
  const auto [w, h] = GetParam();
  const std::string h264 = encodeColours();
  for (const char* metadata : {"matrix_coefficients=1", "video_full_range_flag=1"}) {
    const std::vector<int> worst =
        worstPerFrame(decodeByTags(retagged(h264, metadata)), w, h, kColours, kEach);
    ASSERT_FALSE(worst.empty()) << metadata;
    EXPECT_GT(*std::max_element(worst.begin(), worst.end()), 10) << metadata;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Colour,
                         ::testing::Values(std::pair{1280, 720}, std::pair{640, 360}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" +
                                  std::to_string(info.param.second);
                         });

TEST(Encode, BitRateZeroOrNegativeStillEncodes) {
  for (const char* header : {"32 32 30 0\n", "32 32 30 -100\n"}) {
    Encoded e = encode(header, frames(32, 32, 5));
    EXPECT_EQ(e.result.exit.status, 0) << header;
    EXPECT_EQ(e.result.err, "");
    EXPECT_EQ(framePackets(e.packets), 5u) << header;
  }
}

// Run on its own (no sanitizers, whose shadow memory needs a huge address space): vidlet under
// address-space limits in fine steps, from too small to create anything up to enough for the whole
// input. Wherever memory runs out (encoder, thread, pool, frame buffer, or inside x264 while
// encoding) the run ends with an allowed status, at most one line of its own on standard error,
// and a stream that is well formed up to where it stops.
TEST(MemoryLimits, EveryLimitEndsWithAnAllowedStatusAndAWellFormedStream) {
  constexpr int kFrames = 3;
  // From below what the smallest session needs (OpenH264 at 720p opens within 32 MB).
  constexpr int kStepMb = 4, kFirstMb = 20, kLastMb = 1024;
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::string input =
        std::to_string(w) + " " + std::to_string(h) + " 30 1000000\n" + frames(w, h, kFrames);
    std::set<int> statuses;
    int wholeRunsInARow = 0;
    int mb = kFirstMb;
    for (; mb <= kLastMb && wholeRunsInARow < 3; mb += kStepMb) {
      SCOPED_TRACE(std::to_string(mb) + " MB");
      RunResult r = run(
          {"/bin/sh", "-c", "ulimit -v " + std::to_string(mb * 1024) + " && exec \"$0\"", kVidlet},
          input);
      ASSERT_TRUE(r.exit.exited) << "signal " << r.exit.signal << ", " << r.err;
      const int status = r.exit.status;
      statuses.insert(status);
      ASSERT_TRUE(status == 0 || status == 3 || status == 4) << status << ", " << r.err;
      if (status == 3)
        EXPECT_TRUE(r.err.starts_with("VTCompressionSessionCreate -") && r.err.ends_with("\n") &&
                    r.err.find_first_not_of("0123456789", 28) == r.err.size() - 1)
            << r.err;
      else
        EXPECT_EQ(r.err, "");
      bool complete = false;
      const std::vector<Packet> packets = parsePackets(r.out, &complete);
      EXPECT_TRUE(complete);
      if (status != 0) {
        EXPECT_EQ(r.out, "");
      }
      // The configuration, the first key frame, then frames.
      for (size_t i = 0; i < packets.size(); ++i) {
        const std::set<int> allowed = i == 0 ? std::set{1} : i == 1 ? std::set{2} : std::set{0, 2};
        EXPECT_TRUE(allowed.count(packets[i].type)) << "packet " << i;
        EXPECT_EQ(packets[i].payload.compare(0, 4, std::string("\0\0\0\1", 4)), 0)
            << "packet " << i;
      }
      EXPECT_LE(packets.size(), kFrames + 1u);
      wholeRunsInARow = status == 0 && packets.size() == kFrames + 1u ? wholeRunsInARow + 1 : 0;
    }
    EXPECT_EQ(wholeRunsInARow, 3) << "no limit up to " << kLastMb << " MB was enough";
    EXPECT_TRUE(statuses.count(3)) << "the smallest limit still created the session";
  }
}

TEST(MemoryLimits, AHugePictureWithoutRoomForItsEncoderExitsWithStatusThreeAndItsLine) {
  // The encoder opens while the session is set up, before any frame buffer exists.
  RunResult r =
      run({"/bin/sh", "-c", "ulimit -v 400000 && exec \"$0\"", kVidlet}, "16384 16384 30\n");
  ASSERT_TRUE(r.exit.exited);
  EXPECT_EQ(r.exit.status, 3);
  EXPECT_TRUE(r.err.starts_with("VTCompressionSessionCreate -")) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
