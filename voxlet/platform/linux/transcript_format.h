// The decoder's lower-case words turned into the text a person would type, by the rules of the
// model's language: English (english_format.h), or, for a language without rules, the words as
// the decoder wrote them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace voxlet::linux_backend {

// The words of a hypothesis as the decoder writes it: separated by spaces.
std::vector<std::string> hypothesisWords(std::string_view hypothesis);

// How one language's recognised words are typed.
struct TranscriptFormatter {
  // The typed text of one segment. `final` marks the segment's closing result; only that one
  // gets closing punctuation, and only when `punctuate` is set and the language has rules for it.
  std::string (*formatSegment)(const std::vector<std::string>& words, bool final, bool punctuate);
  // Whether closing results can end with "." or "?".
  bool punctuates;
};

// The formatter for a language ("en", lower case): its rules, or the identity formatter (the
// words joined by single spaces, nothing added) for a language without rules.
const TranscriptFormatter& formatterForLanguage(std::string_view language);

}  // namespace voxlet::linux_backend
