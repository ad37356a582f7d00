// Control lines: reading one line at a time and recognising the stop word.
#include "control_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

class ControlLines : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe(fds_), 0); }
  void TearDown() override {
    ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  void write(const std::string& bytes) {
    ASSERT_EQ(::write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeWriter() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  std::string unread() {
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    char buf[256];
    ssize_t n = ::read(fds_[0], buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  int fds_[2];
};

TEST_F(ControlLines, EndingsAreRemovedAndNothingAfterTheLineIsConsumed) {
  write("one\r\ntwo\n\nthree\r\r\nrest");
  EXPECT_EQ(readControlLine(fds_[0]), "one");
  EXPECT_EQ(readControlLine(fds_[0]), "two");
  EXPECT_EQ(readControlLine(fds_[0]), "");
  EXPECT_EQ(readControlLine(fds_[0]), "three\r");  // only one CR LF pair is an ending
  EXPECT_EQ(unread(), "rest");
}

TEST_F(ControlLines, LastLineWithoutLineFeedThenEnd) {
  write("stop");
  closeWriter();
  EXPECT_EQ(readControlLine(fds_[0]), "stop");
  EXPECT_EQ(readControlLine(fds_[0]), std::nullopt);
}

TEST_F(ControlLines, EmptyInputEndsAtOnce) {
  closeWriter();
  EXPECT_EQ(readControlLine(fds_[0]), std::nullopt);
}

TEST(ControlLinesRead, FailureEndsInput) {
  EXPECT_EQ(readControlLine(-1), std::nullopt);
}

}  // namespace
}  // namespace voxlet
