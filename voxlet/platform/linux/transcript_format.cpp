#include "transcript_format.h"

#include "english_format.h"

namespace voxlet::linux_backend {

namespace {

std::string asSpoken(const std::vector<std::string>& words, bool, bool) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

constexpr TranscriptFormatter kIdentity{asSpoken, false};
constexpr TranscriptFormatter kEnglish{formatEnglishSegment, true};

}  // namespace

std::vector<std::string> hypothesisWords(std::string_view hypothesis) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < hypothesis.size()) {
    while (i < hypothesis.size() && hypothesis[i] == ' ') ++i;
    const size_t start = i;
    while (i < hypothesis.size() && hypothesis[i] != ' ') ++i;
    if (i > start) words.emplace_back(hypothesis.substr(start, i - start));
  }
  return words;
}

const TranscriptFormatter& formatterForLanguage(std::string_view language) {
  if (language == "en") return kEnglish;
  return kIdentity;
}

}  // namespace voxlet::linux_backend
