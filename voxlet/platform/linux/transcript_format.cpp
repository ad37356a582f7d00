#include "transcript_format.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>

namespace voxlet::linux_backend {

namespace {

using Words = std::vector<std::string>;
using List = std::initializer_list<std::string_view>;

bool in(std::string_view word, List list) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

template <size_t N>
bool in(std::string_view word, const std::string_view (&list)[N]) {
  return std::find(std::begin(list), std::end(list), word) != std::end(list);
}

// The word at `i`, or an empty one past the end.
std::string_view at(const Words& w, size_t i) {
  return i < w.size() ? std::string_view(w[i]) : std::string_view();
}

// --- Number words -------------------------------------------------------------------------------

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

bool isNumberWord(std::string_view w) {
  return indexIn(kSmall, w) || indexIn(kSmallOrdinals, w) || tensValue(w) || tensOrdinal(w) ||
         scaleOf(w) || w == "hundred" || w == "hundredth";
}

// A run of number words: `value` of `length` words, an ordinal when its last word is one.
struct Part {
  uint64_t value = 0;
  size_t length = 0;
  bool ordinal = false;
};

// 0 to 99: "seven", "fifteen", "forty", "forty two", "twenty first", "ninetieth".
std::optional<Part> belowHundred(const Words& w, size_t i) {
  const std::string_view a = at(w, i);
  if (auto tens = tensValue(a)) {
    const std::string_view b = at(w, i + 1);
    if (auto d = indexIn(kSmall, b); d && *d >= 1 && *d <= 9) return Part{*tens + *d, 2, false};
    if (auto d = indexIn(kSmallOrdinals, b); d && *d <= 9) return Part{*tens + *d, 2, true};
    return Part{*tens, 1, false};
  }
  if (auto t = tensOrdinal(a)) return Part{*t, 1, true};
  if (auto s = indexIn(kSmall, a)) return Part{*s, 1, false};
  if (auto s = indexIn(kSmallOrdinals, a)) return Part{*s, 1, true};
  return std::nullopt;
}

// 0 to 9999 in hundreds: "three hundred and five", "twelve hundred", "a hundred".
std::optional<Part> belowThousand(const Words& w, size_t i, bool mayStartWithA) {
  std::optional<Part> head;
  if (mayStartWithA && at(w, i) == "a" && in(at(w, i + 1), {"hundred", "hundredth"})) {
    head = Part{1, 1, false};
  } else {
    head = belowHundred(w, i);
  }
  if (!head || head->ordinal || head->value == 0) return head;
  const std::string_view next = at(w, i + head->length);
  if (next == "hundredth") return Part{head->value * 100, head->length + 1, true};
  if (next != "hundred") return head;
  Part p{head->value * 100, head->length + 1, false};
  const size_t j = i + p.length;
  const size_t skip = at(w, j) == "and" ? 1 : 0;
  if (auto rest = belowHundred(w, j + skip); rest && rest->value > 0) {
    p.value += rest->value;
    p.length += skip + rest->length;
    p.ordinal = rest->ordinal;
  }
  return p;
}

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
};

std::optional<Number> parseNumber(const Words& w, size_t i) {
  Number n;
  size_t j = i;
  uint64_t lastScale = UINT64_MAX;
  uint64_t scaleValue = 0;
  for (bool first = true;; first = false) {
    std::optional<Part> part;
    if (first && at(w, j) == "a" && scaleOf(at(w, j + 1))) {
      part = Part{1, 1, false};
    } else {
      part = belowThousand(w, j, first);
    }
    if (!part) break;
    if (first) n.startsWithA = at(w, j) == "a";
    j += part->length;
    scaleValue = 0;
    if (part->ordinal) {
      n.value += part->value;
      n.ordinal = true;
      break;
    }
    const std::optional<Scale> scale = scaleOf(at(w, j));
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
    if (at(w, j) == "and") {
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
    n.scale = at(w, j - 1);
    n.lead = std::to_string(n.value / scaleValue);
  }
  // "four point five", "two point five million".
  if (!n.ordinal && at(w, j) == "point") {
    std::string digits;
    size_t k = j + 1;
    for (;; ++k) {
      const std::string_view d = at(w, k);
      if (d == "oh") {
        digits += '0';
      } else if (auto v = indexIn(kSmall, d); v && *v <= 9) {
        digits += static_cast<char>('0' + *v);
      } else {
        break;
      }
    }
    if (!digits.empty() && n.scale.empty()) {
      n.fraction = digits;
      n.length = k - i;
      if (n.value < 1000) {
        if (auto s = scaleOf(at(w, k)); s && !s->ordinal && s->value >= 1000000) {
          n.scale = at(w, k);
          n.lead = std::to_string(n.value) + "." + digits;
          n.length += 1;
        }
      }
    }
  }
  return n;
}

std::string grouped(uint64_t v) {
  std::string s = std::to_string(v);
  for (size_t k = s.size(); k > 3; k -= 3) s.insert(k - 3, ",");
  return s;
}

std::string ordinalSuffix(uint64_t v) {
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

// The number in digits: "25", "1,200", "4.5", "3 million", "21st"; a year without grouping.
std::string digitsOf(const Number& n, bool year = false) {
  if (!n.scale.empty()) return n.lead + " " + std::string(n.scale);
  std::string s = year ? std::to_string(n.value) : grouped(n.value);
  if (!n.fraction.empty()) s += "." + n.fraction;
  if (n.ordinal) s += ordinalSuffix(n.value);
  return s;
}

std::string twoDigits(uint64_t v) {
  return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10);
}

// --- Times and years ----------------------------------------------------------------------------

struct Span {
  std::string text;
  size_t length = 0;
};

// "a m", "p. m.", "pm", "a.m." at `i`: the marker and how many words it takes.
std::optional<Span> meridiem(const Words& w, size_t i) {
  auto bare = [](std::string_view s) {
    std::string out;
    for (char c : s) {
      if (c != '.') out += c;
    }
    return out;
  };
  const std::string a = bare(at(w, i));
  if (a == "am" || a == "pm") return Span{a == "am" ? "AM" : "PM", 1};
  if ((a == "a" || a == "p") && bare(at(w, i + 1)) == "m") return Span{a == "a" ? "AM" : "PM", 2};
  return std::nullopt;
}

// Words before an hour and minutes that make them a clock time: "at ten thirty".
constexpr std::string_view kTimeLeads[] = {"at",   "by",     "until", "till",  "around",
                                           "from", "before", "after", "since", "about"};

// "three thirty p m" → "3:30 PM", "nine pm" → "9 PM", "at eight thirty" → "at 8:30",
// "seven oh five in the morning" → "7:05 in the morning".
std::optional<Span> clockTime(const Words& w, size_t i) {
  auto hour = belowHundred(w, i);
  if (!hour || hour->ordinal || hour->length != 1 || hour->value < 1 || hour->value > 12) {
    return std::nullopt;
  }
  size_t j = i + 1;
  std::string minutes;
  if (at(w, j) == "oh") {
    auto d = belowHundred(w, j + 1);
    if (d && !d->ordinal && d->length == 1 && d->value >= 1 && d->value <= 9) {
      minutes = twoDigits(d->value);
      j += 2;
    }
  } else if (auto m = belowHundred(w, j); m && !m->ordinal && m->value >= 10 && m->value <= 59) {
    if (!isNumberWord(at(w, j + m->length)) && at(w, j + m->length) != "point") {
      minutes = twoDigits(m->value);
      j += m->length;
    }
  }
  std::string text = std::to_string(hour->value);
  if (!minutes.empty()) text += ":" + minutes;
  if (auto mark = meridiem(w, j)) return Span{text + " " + mark->text, j + mark->length - i};
  if (minutes.empty()) return std::nullopt;
  const bool led = i > 0 && in(at(w, i - 1), kTimeLeads);
  const bool partOfDay = at(w, j) == "in" && at(w, j + 1) == "the" &&
                         in(at(w, j + 2), {"morning", "afternoon", "evening"});
  if (led || partOfDay) return Span{text, j - i};
  return std::nullopt;
}

// Words before a year: "in nineteen eighty seven", "since twenty nineteen".
constexpr std::string_view kYearLeads[] = {"in",     "since", "until",  "till",   "by",
                                           "of",     "from",  "to",     "before", "after",
                                           "during", "year",  "around", "circa"};

// "nineteen eighty seven" → "1987", "twenty oh five" → "2005", "nineteen hundred" → "1900".
// Spoken as two pairs only after a word that leads a year, or when it starts with nineteen or
// twenty and goes on with 10 to 99.
std::optional<Span> pairYear(const Words& w, size_t i, bool ledToYear) {
  const std::string_view a = at(w, i);
  uint64_t century = 0;
  if (auto s = indexIn(kSmall, a); s && *s >= 13) {
    century = *s;
  } else if (a == "twenty") {
    century = 20;
  } else {
    return std::nullopt;
  }
  const std::string_view b = at(w, i + 1);
  uint64_t rest = 0;
  size_t length = 0;
  bool plain = false;  // 10 to 99: a year also without a leading word
  if (b == "hundred") {
    rest = 0;
    length = 2;
  } else if (b == "oh") {
    auto d = belowHundred(w, i + 2);
    if (!d || d->ordinal || d->length != 1 || d->value < 1 || d->value > 9) return std::nullopt;
    rest = d->value;
    length = 3;
  } else {
    auto p = belowHundred(w, i + 1);
    if (!p || p->ordinal || p->value < 10) return std::nullopt;
    rest = p->value;
    length = 1 + p->length;
    plain = true;
  }
  const std::string_view after = at(w, i + length);
  if (isNumberWord(after) || after == "point") return std::nullopt;
  if (!ledToYear && !(plain && century >= 19)) return std::nullopt;
  return Span{std::to_string(century * 100 + rest), length};
}

// --- Dates --------------------------------------------------------------------------------------

constexpr std::string_view kMonths[] = {"january", "february",  "april",   "june",     "july",
                                        "august",  "september", "october", "november", "december"};
constexpr std::string_view kDays[] = {"monday", "tuesday",  "wednesday", "thursday",
                                      "friday", "saturday", "sunday"};
// Words before "may" or "march" that make it the month: "in May", "the end of March".
constexpr std::string_view kMonthLeads[] = {
    "in",   "on",  "of",   "since", "until", "till", "through", "during", "early",
    "late", "mid", "next", "last",  "from",  "by",   "before",  "after",  "every"};

std::string capitalised(std::string_view w) {
  std::string s(w);
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// A day of the month after a month name: "fifth", "thirty first", "ten".
bool isDayNumber(const std::optional<Number>& n) {
  return n && n->fraction.empty() && n->scale.empty() && !n->startsWithA && n->value >= 1 &&
         n->value <= 31;
}

// Whether "may" or "march" at `i` names the month.
bool isAmbiguousMonth(const Words& w, size_t i) {
  if (i > 0 && in(at(w, i - 1), kMonthLeads)) return true;
  // Before a date: "May 5th", "March 21", "March 2024"; not "you may first", "they march one".
  auto day = parseNumber(w, i + 1);
  if (isDayNumber(day) && (day->ordinal ? day->value >= 2 : day->value >= 10)) return true;
  return pairYear(w, i + 1, true).has_value();
}

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
  const std::string_view a = at(w, 0), b = at(w, 1);
  if (in(a, {"what",   "what's", "who",     "who's",  "whom",    "whose", "why",
             "which",  "is",     "are",     "was",    "were",    "am",    "isn't",
             "aren't", "wasn't", "weren't", "when's", "where's", "how's"})) {
    return true;
  }
  if (in(a, {"when", "where", "how"})) {
    return b.empty() || in(b, kVerbs) ||
           (a == "how" && in(b, {"much", "many", "long", "far", "often", "old", "about", "come",
                                 "soon", "big", "late", "early"}));
  }
  if (in(a, {"can", "could", "would", "will", "should", "shall", "does", "did", "may", "might",
             "can't", "couldn't", "wouldn't", "won't", "shouldn't", "doesn't", "didn't"})) {
    return in(b, kSubjects);
  }
  if (in(a, {"do", "don't"})) return in(b, {"i", "you", "we", "they"});
  if (in(a, {"have", "has", "had", "haven't", "hasn't", "hadn't"})) return in(b, kPronouns);
  return false;
}

// --- Words --------------------------------------------------------------------------------------

// Hyphenated numbers ("twenty-five") as separate words.
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

// Units after which any number is written in digits.
constexpr std::string_view kUnits[] = {
    "cents",     "cent",     "euros",     "euro",       "pounds",      "pound",       "degrees",
    "degree",    "miles",    "mile",      "kilometers", "kilometer",   "kilometres",  "kilometre",
    "meters",    "meter",    "metres",    "metre",      "centimeters", "millimeters", "feet",
    "foot",      "inches",   "inch",      "kilograms",  "kilogram",    "kilos",       "kilo",
    "grams",     "gram",     "liters",    "liter",      "litres",      "litre",       "gallons",
    "gallon",    "ounces",   "ounce",     "mph",        "kilobytes",   "megabytes",   "gigabytes",
    "terabytes", "megabits", "gigahertz", "megahertz",  "watts",       "kilowatts",   "volts",
    "percentage"};

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

std::string formatSegment(const std::vector<std::string>& spoken, bool final, bool punctuate) {
  const Words w = splitNumberCompounds(spoken);
  Words out;
  // What the previous output was: a month name may take a day number, a date a year.
  enum class Last { Other, Month, Day } last = Last::Other;

  for (size_t i = 0; i < w.size();) {
    const std::string_view word = w[i];
    const std::string_view prev = i > 0 ? at(w, i - 1) : std::string_view();
    const Last before = last;
    last = Last::Other;

    if (auto t = clockTime(w, i)) {
      out.push_back(t->text);
      i += t->length;
      continue;
    }
    const bool ledToYear = in(prev, kYearLeads) || before != Last::Other;
    if (auto y = pairYear(w, i, ledToYear)) {
      out.push_back(y->text);
      i += y->length;
      continue;
    }
    if (auto n = parseNumber(w, i)) {
      size_t j = i + n->length;
      const std::string_view next = at(w, j);
      if (next == "percent" || (next == "per" && at(w, j + 1) == "cent")) {
        out.push_back(digitsOf(*n) + "%");
        i = j + (next == "per" ? 2 : 1);
        continue;
      }
      if ((next == "dollars" || next == "dollar") && !n->ordinal) {
        std::string money = "$" + digitsOf(*n);
        ++j;
        // "five dollars and fifty cents" → "$5.50".
        if (n->fraction.empty() && n->scale.empty() && at(w, j) == "and") {
          auto c = belowHundred(w, j + 1);
          if (c && !c->ordinal && in(at(w, j + 1 + c->length), {"cents", "cent"})) {
            money += "." + twoDigits(c->value);
            j += 2 + c->length;
          }
        }
        out.push_back(money);
        i = j;
        continue;
      }
      if (in(next, kUnits) && !n->ordinal) {
        out.push_back(digitsOf(*n));
        i = j;
        continue;
      }
      if (before == Last::Month && isDayNumber(n)) {
        out.push_back(digitsOf(*n));
        last = Last::Day;
        i = j;
        continue;
      }
      // Numbers back to back ("ten thirty", "one two three") stay as spoken.
      if (next != "a" && parseNumber(w, j)) {
        for (; j < w.size();) {
          std::optional<Number> more;
          if (at(w, j) != "a") more = parseNumber(w, j);
          if (!more) break;
          j += more->length;
        }
        out.insert(out.end(), w.begin() + static_cast<std::ptrdiff_t>(i),
                   w.begin() + static_cast<std::ptrdiff_t>(j));
        i = j;
        continue;
      }
      const bool small = n->length == 1 && n->value < 10;
      if (small || (n->startsWithA && n->length == 2)) {
        out.emplace_back(word);
        ++i;
        continue;
      }
      // "in two thousand and five" is a year, "a crowd of two thousand" a count.
      const bool year =
          (in(prev, {"in", "since", "until", "till", "during", "year"}) || before != Last::Other) &&
          !n->ordinal && n->fraction.empty() && n->scale.empty() && n->value >= 1000 &&
          n->value < 2100;
      out.push_back(digitsOf(*n, year));
      i = j;
      continue;
    }

    if (in(word, kMonths) || ((word == "may" || word == "march") && isAmbiguousMonth(w, i))) {
      out.push_back(capitalised(word));
      last = Last::Month;
    } else if (in(word, kDays) || (word.size() > 1 && word.back() == 's' &&
                                   in(word.substr(0, word.size() - 1), kDays))) {
      out.push_back(capitalised(word));
    } else if (word == "i" || word.starts_with("i'")) {
      out.push_back(capitalised(word));
    } else {
      out.emplace_back(word);
    }
    ++i;
  }

  std::string text;
  for (const std::string& piece : out) {
    if (!text.empty()) text += ' ';
    text += piece;
  }
  if (text.empty()) return text;
  text = capitalised(text);
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
