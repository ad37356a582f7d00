// The header line: reading it off descriptor 0, cutting it into integers, and checking it.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "input.h"
#include "stdin_redirect.h"

using vidlet::checkHeader;
using vidlet::headerIntegers;
using vidlet::parseInteger;
using vidlet_test::StdinFrom;

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

TEST(ParseInteger, AcceptsSignedDecimalOnly) {
  EXPECT_EQ(parseInteger("640"), 640);
  EXPECT_EQ(parseInteger("+640"), 640);
  EXPECT_EQ(parseInteger("-5"), -5);
  EXPECT_EQ(parseInteger("007"), 7);
  EXPECT_EQ(parseInteger("9223372036854775807"), kMax);
  EXPECT_EQ(parseInteger("-9223372036854775808"), kMin);
  for (const char* bad :
       {"", "+", "-", "+-1", "--1", "x", "12a", "1.5", "0x10", " 1", "1\r", "1\t2", "\xef\xbf\xbd",
        "9223372036854775808", "-9223372036854775809", "99999999999999999999"})
    EXPECT_FALSE(parseInteger(bad).has_value()) << bad;
}

TEST(HeaderIntegers, CutsAtSpacesAndDropsWhatIsNotAnInteger) {
  using V = std::vector<int64_t>;
  EXPECT_EQ(headerIntegers("640 480"), (V{640, 480}));
  EXPECT_EQ(headerIntegers("   640    480  30 "), (V{640, 480, 30}));
  EXPECT_EQ(headerIntegers("640 x 480"), (V{640, 480}));
  EXPECT_EQ(headerIntegers("640 480 fast 25"), (V{640, 480, 25}));
  EXPECT_EQ(headerIntegers("640\t480"), V{});
  EXPECT_EQ(headerIntegers("640 480 30\r"), (V{640, 480}));
  EXPECT_EQ(headerIntegers("99999999999999999999 16 16"), (V{16, 16}));
  EXPECT_EQ(headerIntegers(""), V{});
  EXPECT_EQ(headerIntegers("    "), V{});
  // Invalid UTF-8 stays inside its piece.
  EXPECT_EQ(headerIntegers("\xff 640 \xc3 480"), (V{640, 480}));
}

TEST(CheckHeader, FillsDefaultsAndRaisesLowFrameRates) {
  auto h = checkHeader({640, 480});
  ASSERT_TRUE(h);
  EXPECT_EQ(h->width, 640);
  EXPECT_EQ(h->height, 480);
  EXPECT_EQ(h->fps, 20);
  EXPECT_EQ(h->bitrate, 4000000);

  EXPECT_EQ(checkHeader({640, 480, 0})->fps, 1);
  EXPECT_EQ(checkHeader({640, 480, -5})->fps, 1);
  EXPECT_EQ(checkHeader({640, 480, 1})->fps, 1);
  EXPECT_EQ(checkHeader({640, 480, 30})->fps, 30);
  EXPECT_EQ(checkHeader({640, 480, 30, 0})->bitrate, 0);
  EXPECT_EQ(checkHeader({640, 480, 30, -7})->bitrate, -7);
  auto extra = checkHeader({640, 480, 25, 1000, 9, 9});
  EXPECT_EQ(extra->fps, 25);
  EXPECT_EQ(extra->bitrate, 1000);
}

TEST(CheckHeader, RefusesMissingOrOutOfRangeSizes) {
  EXPECT_FALSE(checkHeader({}));
  EXPECT_FALSE(checkHeader({640}));
  EXPECT_FALSE(checkHeader({0, 480}));
  EXPECT_FALSE(checkHeader({640, -480}));
  EXPECT_FALSE(checkHeader({kMin, kMin}));
  // Sizes and rates travel as signed 32-bit values.
  EXPECT_TRUE(checkHeader({2147483647, 1, 2147483647}));
  EXPECT_FALSE(checkHeader({2147483648, 1}));
  EXPECT_FALSE(checkHeader({1, 2147483648}));
  EXPECT_FALSE(checkHeader({16, 16, 2147483648}));
  // The frame size in bytes must fit a signed 64-bit integer.
  EXPECT_TRUE(checkHeader({2147483647, 1073741824}));   // 2^63 - 2^32 bytes
  EXPECT_FALSE(checkHeader({2147483647, 1073741825}));  // beyond 2^63 - 1
  EXPECT_FALSE(checkHeader({2147483647, 2147483647}));
}

TEST(ReadLine, StopsAtTheLineFeedAndLeavesTheFrameBytes) {
  StdinFrom in(std::string("4 2 30\nABCDEFGH", 15));
  ASSERT_TRUE(in.ok());
  EXPECT_EQ(vidlet::readLine(), "4 2 30");
  uint8_t rest[8] = {};
  EXPECT_TRUE(vidlet::readFully(rest, 8));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 8), "ABCDEFGH");
  EXPECT_FALSE(vidlet::readFully(rest, 1));
}

TEST(ReadLine, TellsNoLineFromEmptyAndPartialLines) {
  {
    StdinFrom in("");
    EXPECT_FALSE(vidlet::readLine().has_value());
  }
  {
    StdinFrom in("\n");
    EXPECT_EQ(vidlet::readLine(), "");
  }
  {
    StdinFrom in("640 480");
    EXPECT_EQ(vidlet::readLine(), "640 480");
  }
  {
    StdinFrom in("640 480\r\n");
    EXPECT_EQ(vidlet::readLine(), "640 480\r");
  }
  {
    const std::string longLine(10000, '7');
    StdinFrom in(longLine + "\n");
    EXPECT_EQ(vidlet::readLine(), longLine);
  }
}

TEST(ReadFully, FalseWhenInputEndsInsideTheCount) {
  StdinFrom in(std::string(100, 'x'));
  uint8_t buf[128];
  EXPECT_FALSE(vidlet::readFully(buf, 128));
}

}  // namespace
