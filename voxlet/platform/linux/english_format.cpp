#include "english_format.h"

#include "english_numbers.h"
#include "english_rules.h"

namespace voxlet::linux_backend {

namespace {

using english::isOneOf;
using english::Words;

// --- Questions ----------------------------------------------------------------------------------

constexpr std::string_view kPronouns[] = {"i",       "you",      "we",       "they",
                                          "he",      "she",      "anyone",   "anybody",
                                          "someone", "somebody", "everyone", "everybody"};
constexpr std::string_view kSubjects[] = {
    "i",         "you",      "we",        "they",       "he",      "she",      "it",
    "this",      "that",     "these",     "those",      "there",   "the",      "a",
    "an",        "my",       "your",      "our",        "their",   "his",      "her",
    "its",       "any",      "anyone",    "anybody",    "someone", "somebody", "everyone",
    "everybody", "anything", "something", "everything", "all",     "some",     "each",
    "every",     "one",      "people"};
constexpr std::string_view kVerbs[] = {
    "is",    "are",   "was",      "were",     "do",       "does",  "did",     "can",
    "could", "would", "will",     "should",   "shall",    "may",   "might",   "have",
    "has",   "had",   "am",       "isn't",    "aren't",   "don't", "doesn't", "didn't",
    "can't", "won't", "wouldn't", "couldn't", "shouldn't"};

// Whether a segment beginning with these words reads as a question.
bool opensQuestion(const Words& w) {
  const std::string_view a = english::wordAt(w, 0), b = english::wordAt(w, 1);
  if (isOneOf(a, {"what",   "what's", "who",     "who's",  "whom",    "whose", "why",
                  "which",  "is",     "are",     "was",    "were",    "am",    "isn't",
                  "aren't", "wasn't", "weren't", "when's", "where's", "how's"})) {
    return true;
  }
  if (isOneOf(a, {"when", "where", "how"})) {
    return b.empty() || isOneOf(b, kVerbs) ||
           (a == "how" && isOneOf(b, {"much", "many", "long", "far", "often", "old", "about",
                                      "come", "soon", "big", "late", "early"}));
  }
  if (isOneOf(a, {"can", "could", "would", "will", "should", "shall", "does", "did", "may", "might",
                  "can't", "couldn't", "wouldn't", "won't", "shouldn't", "doesn't", "didn't"})) {
    return isOneOf(b, kSubjects);
  }
  if (isOneOf(a, {"do", "don't"})) return isOneOf(b, {"i", "you", "we", "they"});
  if (isOneOf(a, {"have", "has", "had", "haven't", "hasn't", "hadn't"})) {
    return isOneOf(b, kPronouns);
  }
  return false;
}

// --- Pieces -------------------------------------------------------------------------------------

// The typed piece at `index`: the first rule that matches, or the word as spoken.
english::Match nextPiece(const Words& w, size_t index, english::Piece previous) {
  const english::Position at{w, index, previous, english::parseNumber(w, index)};
  for (const english::Rule& rule : english::rules()) {
    if (std::optional<english::Match> m = rule.match(at)) return std::move(*m);
  }
  return english::Match{w[index], 1};
}

}  // namespace

std::string formatEnglishSegment(const std::vector<std::string>& spoken, bool final,
                                 bool punctuate) {
  const Words w = english::splitNumberCompounds(spoken);
  std::string text;
  english::Piece previous = english::Piece::Other;
  for (size_t i = 0; i < w.size();) {
    english::Match piece = nextPiece(w, i, previous);
    if (!text.empty()) text += ' ';
    text += piece.text;
    previous = piece.piece;
    i += piece.length;
  }
  if (text.empty()) return text;
  if (text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  if (final && punctuate) {
    if (opensQuestion(w)) {
      text += '?';
    } else if (text.back() != '.') {
      text += '.';
    }
  }
  return text;
}

}  // namespace voxlet::linux_backend
