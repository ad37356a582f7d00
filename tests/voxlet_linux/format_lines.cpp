// Formats recognised English words line by line, for the formatter's benchmark: each input line
// holds the closing segments of one run separated by " | "; each output line is their formatted
// texts, with punctuation, joined by a space as the session joins them.
#include <iostream>
#include <string>

#include "english_format.h"
#include "transcript_format.h"

int main() {
  using voxlet::linux_backend::formatEnglishSegment;
  using voxlet::linux_backend::hypothesisWords;
  for (std::string line; std::getline(std::cin, line);) {
    std::string joined;
    for (size_t start = 0;;) {
      const size_t bar = line.find(" | ", start);
      const std::string segment = line.substr(start, bar == std::string::npos ? bar : bar - start);
      const std::string text = formatEnglishSegment(hypothesisWords(segment), true, true);
      if (!text.empty()) joined += (joined.empty() ? "" : " ") + text;
      if (bar == std::string::npos) break;
      start = bar + 3;
    }
    std::cout << joined << '\n';
  }
  return 0;
}
