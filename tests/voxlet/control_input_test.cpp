// Recognising the stop word in a control line.
#include "control_input.h"

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

}  // namespace
}  // namespace voxlet
