#include "english_numbers.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace voxlet::linux_backend::english {

namespace {

constexpr std::array<std::string_view, 20> kSmall = {
    "zero",     "one",     "two",     "three",     "four",     "five",    "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<std::string_view, 20> kSmallOrdinals = {
    "",           "first",     "second",    "third",       "fourth",     "fifth",     "sixth",
    "seventh",    "eighth",    "ninth",     "tenth",       "eleventh",   "twelfth",   "thirteenth",
    "fourteenth", "fifteenth", "sixteenth", "seventeenth", "eighteenth", "nineteenth"};
constexpr std::array<std::string_view, 10> kTens = {
    "", "", "twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};
constexpr std::array<std::string_view, 10> kTensOrdinals = {
    "",         "",         "twentieth",  "thirtieth", "fortieth",
    "fiftieth", "sixtieth", "seventieth", "eightieth", "ninetieth"};

template <size_t N>
std::optional<uint64_t> indexIn(const std::array<std::string_view, N>& table, std::string_view w) {
  if (w.empty()) return std::nullopt;
  auto it = std::find(table.begin(), table.end(), w);
  if (it == table.end()) return std::nullopt;
  return static_cast<uint64_t>(it - table.begin());
}

std::optional<uint64_t> tensValue(std::string_view w) {
  auto t = indexIn(kTens, w);
  return t ? std::optional<uint64_t>(*t * 10) : std::nullopt;
}

std::optional<uint64_t> tensOrdinal(std::string_view w) {
  auto t = indexIn(kTensOrdinals, w);
  return t ? std::optional<uint64_t>(*t * 10) : std::nullopt;
}

struct Scale {
  uint64_t value;
  bool ordinal;
};

std::optional<Scale> scaleOf(std::string_view w) {
  if (w == "thousand") return Scale{1000, false};
  if (w == "million") return Scale{1000000, false};
  if (w == "billion") return Scale{1000000000, false};
  if (w == "thousandth") return Scale{1000, true};
  if (w == "millionth") return Scale{1000000, true};
  if (w == "billionth") return Scale{1000000000, true};
  return std::nullopt;
}

// 0 to 9999 in hundreds: "three hundred and five", "twelve hundred", "a hundred".
std::optional<Part> belowThousand(const Words& w, size_t i, bool mayStartWithA) {
  std::optional<Part> head;
  if (mayStartWithA && wordAt(w, i) == "a" && isOneOf(wordAt(w, i + 1), {"hundred", "hundredth"})) {
    head = Part{1, 1, false};
  } else {
    head = belowHundred(w, i);
  }
  if (!head || head->ordinal || head->value == 0) return head;
  const std::string_view next = wordAt(w, i + head->length);
  if (next == "hundredth") return Part{head->value * 100, head->length + 1, true};
  if (next != "hundred") return head;
  Part p{head->value * 100, head->length + 1, false};
  const size_t j = i + p.length;
  const size_t skip = wordAt(w, j) == "and" ? 1 : 0;
  if (auto rest = belowHundred(w, j + skip); rest && rest->value > 0) {
    p.value += rest->value;
    p.length += skip + rest->length;
    p.ordinal = rest->ordinal;
  }
  return p;
}

// Digits spoken one by one after "point": "seven five", "oh five".
std::string spokenDigits(const Words& w, size_t& k) {
  std::string digits;
  for (;; ++k) {
    const std::string_view d = wordAt(w, k);
    if (d == "oh") {
      digits += '0';
    } else if (auto v = smallValue(d); v && *v <= 9) {
      digits += static_cast<char>('0' + *v);
    } else {
      return digits;
    }
  }
}

// "four point five", "two point five million": the digits after "point" at `j`, and a scale
// word after them when the whole part is below a thousand.
void readFraction(const Words& w, size_t i, size_t j, Number& n) {
  size_t k = j + 1;
  const std::string digits = spokenDigits(w, k);
  if (digits.empty() || !n.scale.empty()) return;
  n.fraction = digits;
  n.length = k - i;
  if (n.value >= 1000) return;
  if (auto s = scaleOf(wordAt(w, k)); s && !s->ordinal && s->value >= 1000000) {
    n.scale = wordAt(w, k);
    n.lead = std::to_string(n.value);
    n.lead += '.';
    n.lead += digits;
    n.length += 1;
  }
}

// Digits in groups of three: "1,200", "2,300,000".
std::string grouped(uint64_t v) {
  const std::string digits = std::to_string(v);
  std::string s;
  s.reserve(digits.size() + digits.size() / 3);
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) s += ',';
    s += digits[k];
  }
  return s;
}

std::string_view ordinalSuffix(uint64_t v) {
  if (v % 100 >= 11 && v % 100 <= 13) return "th";
  switch (v % 10) {
    case 1:
      return "st";
    case 2:
      return "nd";
    case 3:
      return "rd";
    default:
      return "th";
  }
}

}  // namespace

std::optional<uint64_t> smallValue(std::string_view word) {
  return indexIn(kSmall, word);
}

bool isNumberWord(std::string_view w) {
  return indexIn(kSmall, w) || indexIn(kSmallOrdinals, w) || tensValue(w) || tensOrdinal(w) ||
         scaleOf(w) || w == "hundred" || w == "hundredth";
}

std::optional<Part> belowHundred(const Words& w, size_t i) {
  const std::string_view a = wordAt(w, i);
  if (auto tens = tensValue(a)) {
    const std::string_view b = wordAt(w, i + 1);
    if (auto d = indexIn(kSmall, b); d && *d >= 1 && *d <= 9) return Part{*tens + *d, 2, false};
    if (auto d = indexIn(kSmallOrdinals, b); d && *d <= 9) return Part{*tens + *d, 2, true};
    return Part{*tens, 1, false};
  }
  if (auto t = tensOrdinal(a)) return Part{*t, 1, true};
  if (auto s = indexIn(kSmall, a)) return Part{*s, 1, false};
  if (auto s = indexIn(kSmallOrdinals, a)) return Part{*s, 1, true};
  return std::nullopt;
}

std::optional<Number> parseNumber(const Words& w, size_t i) {
  Number n;
  size_t j = i;
  uint64_t lastScale = UINT64_MAX;
  uint64_t scaleValue = 0;
  for (bool first = true;; first = false) {
    std::optional<Part> part;
    if (first && wordAt(w, j) == "a" && scaleOf(wordAt(w, j + 1))) {
      part = Part{1, 1, false};
    } else {
      part = belowThousand(w, j, first);
    }
    if (!part) break;
    if (first) n.startsWithA = wordAt(w, j) == "a";
    j += part->length;
    scaleValue = 0;
    if (part->ordinal) {
      n.value += part->value;
      n.ordinal = true;
      break;
    }
    const std::optional<Scale> scale = scaleOf(wordAt(w, j));
    if (!scale || scale->value >= lastScale || part->value == 0) {
      n.value += part->value;
      break;
    }
    n.value += part->value * scale->value;
    lastScale = scale->value;
    ++j;
    if (scale->ordinal) {
      n.ordinal = true;
      break;
    }
    scaleValue = scale->value;
    // "one thousand and five": the last group below a hundred.
    if (wordAt(w, j) == "and") {
      auto rest = belowHundred(w, j + 1);
      if (!rest || rest->value == 0) break;
      n.value += rest->value;
      n.ordinal = rest->ordinal;
      j += 1 + rest->length;
      scaleValue = 0;
      break;
    }
  }
  if (j == i) return std::nullopt;
  n.length = j - i;
  if (scaleValue >= 1000000) {
    n.scale = wordAt(w, j - 1);
    n.lead = std::to_string(n.value / scaleValue);
  }
  if (!n.ordinal && wordAt(w, j) == "point") readFraction(w, i, j, n);
  return n;
}

std::string digitsOf(const Number& n, bool year) {
  std::string s;
  if (!n.scale.empty()) {
    s = n.lead;
    s += ' ';
    s += n.scale;
    return s;
  }
  s = year ? std::to_string(n.value) : grouped(n.value);
  if (!n.fraction.empty()) {
    s += '.';
    s += n.fraction;
  }
  if (n.ordinal) s += ordinalSuffix(n.value);
  return s;
}

std::string twoDigits(uint64_t v) {
  return {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
}

Words splitNumberCompounds(const Words& words) {
  Words out;
  for (const std::string& word : words) {
    Words parts;
    size_t start = 0;
    for (size_t dash; (dash = word.find('-', start)) != std::string::npos; start = dash + 1) {
      parts.push_back(word.substr(start, dash - start));
    }
    parts.push_back(word.substr(start));
    const bool numeric = parts.size() > 1 && std::all_of(parts.begin(), parts.end(), isNumberWord);
    if (numeric) {
      out.insert(out.end(), parts.begin(), parts.end());
    } else {
      out.push_back(word);
    }
  }
  return out;
}

}  // namespace voxlet::linux_backend::english
