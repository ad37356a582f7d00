// English number words as the decoder writes them ("twenty", "five", "hundred", "point") read
// as values, and values written as a typist writes them ("25", "1,200", "4.5", "21st").
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxlet::linux_backend::english {

using Words = std::vector<std::string>;

// The word at `i`, or an empty one past the end.
inline std::string_view wordAt(const Words& w, size_t i) {
  return i < w.size() ? std::string_view(w[i]) : std::string_view();
}

// Whether `word` is one of `list`.
template <typename List>
bool isOneOf(std::string_view word, const List& list) {
  for (std::string_view entry : list) {
    if (entry == word) return true;
  }
  return false;
}
inline bool isOneOf(std::string_view word, std::initializer_list<std::string_view> list) {
  return isOneOf<std::initializer_list<std::string_view>>(word, list);
}

// "zero" to "nineteen": its value.
std::optional<uint64_t> smallValue(std::string_view word);
// A word that is part of a spoken number: "five", "fifth", "twenty", "hundred", "million".
bool isNumberWord(std::string_view word);

// A run of number words below a thousand: `value` of `length` words, an ordinal when its last
// word is one.
struct Part {
  uint64_t value = 0;
  size_t length = 0;
  bool ordinal = false;
};

// 0 to 99 at `i`: "seven", "fifteen", "forty", "forty two", "twenty first", "ninetieth".
std::optional<Part> belowHundred(const Words& w, size_t i);

// A spoken number: "twenty five", "one hundred and three", "two thousand and five",
// "three million", "four point five", "twenty first".
struct Number {
  size_t length = 0;
  uint64_t value = 0;
  bool ordinal = false;
  bool startsWithA = false;  // "a hundred", "a thousand"
  std::string fraction;      // digits after "point"
  std::string_view scale;    // "million" or "billion" when it is the number's last word
  std::string lead;          // the digits before that scale word

  // A plain whole number: no fraction, no scale word left in words, not an ordinal.
  bool isPlainCardinal() const { return !ordinal && fraction.empty() && scale.empty(); }
};

// The longest number spoken at `i`, if one starts there.
std::optional<Number> parseNumber(const Words& w, size_t i);

// The number in digits: "25", "1,200", "4.5", "3 million", "21st"; a year without grouping.
std::string digitsOf(const Number& n, bool year = false);
// 0 to 99 as two digits: "05", "30".
std::string twoDigits(uint64_t v);

// Hyphenated numbers ("twenty-five") as separate words; other words as they are.
Words splitNumberCompounds(const Words& words);

}  // namespace voxlet::linux_backend::english
