// Recognising the stop word in a control line.
#include "control_input.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace voxlet {
namespace {

TEST(IsStopLine, TrimsSpaceSeparatorsAndTabsOnly) {
  for (const char* line : {"stop", "  stop", "stop\t", "\t stop \t",
                           "\xC2\xA0stop",                     // no-break space
                           "stop\xE3\x80\x80",                 // ideographic space
                           "\xE2\x80\x83stop\xE2\x80\xAF",     // em space, narrow no-break space
                           "\xE1\x9A\x80stop\xE2\x81\x9F"}) {  // ogham space mark, math space
    EXPECT_TRUE(isStopLine(line)) << line;
  }
}

TEST(IsStopLine, EverythingElseIsIgnored) {
  for (const char* line : {"", " ", "STOP", "Stop", "stop now", "stopp", "sto p", "stop\r",
                           "\vstop", "stop\f", "\nstop",
                           "\xE2\x80\x8Bstop",  // zero-width space is not a space separator
                           "stop\xE2\x80\xA8",  // line separator
                           "\xFFstop",          // invalid byte: U+FFFD, not trimmed
                           "\xA0stop",          // lone continuation byte
                           "stop\xC2",          // truncated sequence
                           "\xC0\xA0stop"}) {   // overlong form of a space
    EXPECT_FALSE(isStopLine(line)) << line;
  }
  EXPECT_FALSE(isStopLine(std::string_view("stop\0", 5)));
}

// A descriptor reading `bytes` from the start.
int inputOf(const std::string& bytes) {
  const int fd = memfd_create("control", 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

std::vector<std::string> linesOf(const std::string& bytes, size_t blockSize) {
  const int fd = inputOf(bytes);
  ControlLineReader reader(fd, blockSize);
  std::vector<std::string> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  ::close(fd);
  return lines;
}

TEST(ControlLineReader, SplitsLinesWhereverTheBlocksFall) {
  const std::string input = "hello\r\n\n  stop\t\nafter\r\nlast";
  const std::vector<std::string> expected{"hello", "", "  stop\t", "after", "last"};
  for (size_t block : {1, 2, 3, 5, 7, 64 * 1024}) {
    EXPECT_EQ(linesOf(input, block), expected) << "block " << block;
  }
  EXPECT_TRUE(linesOf("", 16).empty());
  EXPECT_EQ(linesOf("\n", 16), std::vector<std::string>{""});
  EXPECT_EQ(linesOf("a\r", 1), std::vector<std::string>{"a\r"});  // no line feed: kept as sent
}

TEST(ControlLineReader, SkipsLinesLongerThanAnyCommandAndReadsOn) {
  const std::string huge(10 * 1024 * 1024, 'x');
  const std::string limit(ControlLineReader::kLongestLine, 'y');
  EXPECT_EQ(linesOf(huge + "\nstop\n", 64 * 1024), std::vector<std::string>{"stop"});
  EXPECT_EQ(linesOf(huge + "stop\nnext", 4096), std::vector<std::string>{"next"});
  EXPECT_EQ(linesOf(limit + "\n" + limit + "z\nstop", 1000),
            (std::vector<std::string>{limit, "stop"}));
  // An over-long last line without a line feed is no line either.
  EXPECT_TRUE(linesOf("stop" + huge, 64 * 1024).empty());
}

}  // namespace
}  // namespace voxlet
