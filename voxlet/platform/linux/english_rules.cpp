#include "english_rules.h"

#include <array>
#include <cstdint>

namespace voxlet::linux_backend::english {

namespace {

// --- The words that lead a time, a year or a month ----------------------------------------------

// Words before an hour and minutes that make them a clock time: "at ten thirty".
constexpr std::string_view kClockLeads[] = {"at",   "by",     "until", "till",  "around",
                                            "from", "before", "after", "since", "about"};

// Words before a year. After those that only ever place something in time, a number that can be
// a year is one, also a round one ("in two thousand"); the others lead a count as often ("a crowd
// of two thousand", "up to two thousand"), and after them a number is a year only when said as a
// year and not as a count: in pairs ("twenty oh five") or as two thousand and some ("two thousand
// and five").
constexpr std::string_view kYearOnlyLeads[] = {"in", "since", "until", "till", "during", "year"};
constexpr std::string_view kYearOrCountLeads[] = {"of",     "from",  "to",     "by",
                                                  "before", "after", "around", "circa"};

// Words before "may" or "march" that make it the month: "in May", "the end of March".
constexpr std::string_view kMonthLeads[] = {
    "in",   "on",  "of",   "since", "until", "till", "through", "during", "early",
    "late", "mid", "next", "last",  "from",  "by",   "before",  "after",  "every"};

// --- Word lists ---------------------------------------------------------------------------------

constexpr std::string_view kMonths[] = {"january", "february",  "april",   "june",     "july",
                                        "august",  "september", "october", "november", "december"};
constexpr std::string_view kDays[] = {"monday", "tuesday",  "wednesday", "thursday",
                                      "friday", "saturday", "sunday"};

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

std::string capitalised(std::string_view w) {
  std::string s(w);
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// --- Clock times --------------------------------------------------------------------------------

// "a m", "p. m.", "pm", "a.m." at `i`: the marker and how many words it takes.
std::optional<Match> meridiem(const Words& w, size_t i) {
  auto bare = [](std::string_view s) {
    std::string out;
    for (char c : s) {
      if (c != '.') out += c;
    }
    return out;
  };
  const std::string a = bare(wordAt(w, i));
  if (a == "am" || a == "pm") return Match{a == "am" ? "AM" : "PM", 1};
  if ((a == "a" || a == "p") && bare(wordAt(w, i + 1)) == "m") {
    return Match{a == "a" ? "AM" : "PM", 2};
  }
  return std::nullopt;
}

// The minutes after an hour at `j`: "oh five", "thirty", "forty five"; and the words they take.
std::optional<Match> minutesAt(const Words& w, size_t j) {
  if (wordAt(w, j) == "oh") {
    auto d = belowHundred(w, j + 1);
    if (d && !d->ordinal && d->length == 1 && d->value >= 1 && d->value <= 9) {
      return Match{twoDigits(d->value), 2};
    }
    return std::nullopt;
  }
  auto m = belowHundred(w, j);
  if (!m || m->ordinal || m->value < 10 || m->value > 59) return std::nullopt;
  const std::string_view after = wordAt(w, j + m->length);
  if (isNumberWord(after) || after == "point") return std::nullopt;
  return Match{twoDigits(m->value), m->length};
}

// "three thirty p m" → "3:30 PM", "nine pm" → "9 PM", "at eight thirty" → "at 8:30",
// "seven oh five in the morning" → "7:05 in the morning".
std::optional<Match> clockTime(const Position& p) {
  const Words& w = p.words;
  const size_t i = p.index;
  auto hour = belowHundred(w, i);
  if (!hour || hour->ordinal || hour->length != 1 || hour->value < 1 || hour->value > 12) {
    return std::nullopt;
  }
  size_t j = i + 1;
  std::string text = std::to_string(hour->value);
  const std::optional<Match> minutes = minutesAt(w, j);
  if (minutes) {
    text += ':';
    text += minutes->text;
    j += minutes->length;
  }
  if (auto mark = meridiem(w, j)) {
    text += ' ';
    text += mark->text;
    return Match{text, j + mark->length - i};
  }
  if (!minutes) return std::nullopt;
  const bool led = isOneOf(p.spokenBefore(), kClockLeads);
  const bool partOfDay = wordAt(w, j) == "in" && wordAt(w, j + 1) == "the" &&
                         isOneOf(wordAt(w, j + 2), {"morning", "afternoon", "evening"});
  if (led || partOfDay) return Match{text, j - i};
  return std::nullopt;
}

// --- Years --------------------------------------------------------------------------------------

// Whether the text so far leads a year: a word before a year, or a date.
bool leadsYear(const Position& p) {
  return isOneOf(p.spokenBefore(), kYearOnlyLeads) ||
         isOneOf(p.spokenBefore(), kYearOrCountLeads) || p.previous != Piece::Other;
}

// "nineteen eighty seven" → "1987", "twenty oh five" → "2005", "nineteen hundred" → "1900".
// Spoken as two pairs only after a word that leads a year, or when it starts with nineteen or
// twenty and goes on with 10 to 99.
std::optional<Match> pairYearAt(const Words& w, size_t i, bool led) {
  const std::string_view a = wordAt(w, i);
  uint64_t century = 0;
  if (auto s = smallValue(a); s && *s >= 13) {
    century = *s;
  } else if (a == "twenty") {
    century = 20;
  } else {
    return std::nullopt;
  }
  const std::string_view b = wordAt(w, i + 1);
  uint64_t rest = 0;
  size_t length = 0;
  bool plain = false;  // 10 to 99: a year also without a leading word
  if (b == "hundred") {
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
  const std::string_view after = wordAt(w, i + length);
  if (isNumberWord(after) || after == "point") return std::nullopt;
  if (!led && !(plain && century >= 19)) return std::nullopt;
  return Match{std::to_string(century * 100 + rest), length};
}

std::optional<Match> pairYear(const Position& p) {
  return pairYearAt(p.words, p.index, leadsYear(p));
}

// Whether a number spoken as a count is a year here: "in two thousand", "since twelve hundred",
// "from two thousand and five"; not "a crowd of two thousand".
bool isCountedYear(const Position& p) {
  const Number& n = *p.number;
  if (!n.isPlainCardinal() || n.value < 1000 || n.value >= 2100) return false;
  if (isOneOf(p.spokenBefore(), kYearOnlyLeads) || p.previous != Piece::Other) return true;
  return n.value > 2000 && isOneOf(p.spokenBefore(), kYearOrCountLeads);
}

// --- Numbers ------------------------------------------------------------------------------------

// "ten percent" → "10%", "a hundred per cent" → "100%".
std::optional<Match> percentage(const Position& p) {
  if (!p.number) return std::nullopt;
  const std::string_view next = p.afterNumber();
  size_t words = 0;
  if (next == "percent") {
    words = 1;
  } else if (next == "per" && p.afterNumber(1) == "cent") {
    words = 2;
  } else {
    return std::nullopt;
  }
  std::string text = digitsOf(*p.number);
  text += '%';
  return Match{text, p.number->length + words};
}

// "three hundred dollars" → "$300", "five dollars and fifty cents" → "$5.50".
std::optional<Match> money(const Position& p) {
  if (!p.number || p.number->ordinal) return std::nullopt;
  if (!isOneOf(p.afterNumber(), {"dollars", "dollar"})) return std::nullopt;
  const Number& n = *p.number;
  std::string text(1, '$');
  text += digitsOf(n);
  size_t length = n.length + 1;
  if (n.fraction.empty() && n.scale.empty() && p.afterNumber(1) == "and") {
    const size_t j = p.index + length + 1;
    auto c = belowHundred(p.words, j);
    if (c && !c->ordinal && isOneOf(wordAt(p.words, j + c->length), {"cents", "cent"})) {
      text += '.';
      text += twoDigits(c->value);
      length += 2 + c->length;
    }
  }
  return Match{text, length};
}

// "eight degrees" → "8 degrees", "five kilometers" → "5 kilometers".
std::optional<Match> measure(const Position& p) {
  if (!p.number || p.number->ordinal || !isOneOf(p.afterNumber(), kUnits)) return std::nullopt;
  return Match{digitsOf(*p.number), p.number->length};
}

// A day of the month after a month name: "fifth", "thirty first", "ten".
bool isDayNumber(const std::optional<Number>& n) {
  return n && n->fraction.empty() && n->scale.empty() && !n->startsWithA && n->value >= 1 &&
         n->value <= 31;
}

// "June third" → "June 3rd", "May fourteen" → "May 14".
std::optional<Match> dayOfMonth(const Position& p) {
  if (p.previous != Piece::Month || !isDayNumber(p.number)) return std::nullopt;
  return Match{digitsOf(*p.number), p.number->length, Piece::Day};
}

// Numbers back to back ("ten thirty", "one two three") stay as spoken.
std::optional<Match> numbersInARow(const Position& p) {
  if (!p.number || p.afterNumber() == "a") return std::nullopt;
  size_t j = p.index + p.number->length;
  if (!parseNumber(p.words, j)) return std::nullopt;
  while (j < p.words.size() && wordAt(p.words, j) != "a") {
    const std::optional<Number> more = parseNumber(p.words, j);
    if (!more) break;
    j += more->length;
  }
  std::string text;
  for (size_t k = p.index; k < j; ++k) {
    if (k > p.index) text += ' ';
    text += p.words[k];
  }
  return Match{text, j - p.index};
}

// One to nine alone, small ordinals, "a hundred" and "a thousand" stay words; only the first
// word is taken, the rest reads on as spoken.
std::optional<Match> smallNumber(const Position& p) {
  if (!p.number) return std::nullopt;
  const Number& n = *p.number;
  const bool small = n.length == 1 && n.value < 10;
  if (!small && !(n.startsWithA && n.length == 2)) return std::nullopt;
  return Match{std::string(p.word()), 1};
}

// Any other number in digits: "25", "1,200", "4.5", "3 million", "21st"; a year ungrouped.
std::optional<Match> number(const Position& p) {
  if (!p.number) return std::nullopt;
  return Match{digitsOf(*p.number, isCountedYear(p)), p.number->length};
}

// --- Names --------------------------------------------------------------------------------------

// Whether "may" or "march" at `i` names the month.
bool isAmbiguousMonth(const Words& w, size_t i) {
  if (i > 0 && isOneOf(wordAt(w, i - 1), kMonthLeads)) return true;
  // Before a date: "May 5th", "March 21", "March 2024"; not "you may first", "they march one".
  auto day = parseNumber(w, i + 1);
  if (isDayNumber(day) && (day->ordinal ? day->value >= 2 : day->value >= 10)) return true;
  return pairYearAt(w, i + 1, true).has_value();
}

std::optional<Match> month(const Position& p) {
  const std::string_view w = p.word();
  const bool named =
      isOneOf(w, kMonths) || ((w == "may" || w == "march") && isAmbiguousMonth(p.words, p.index));
  if (!named) return std::nullopt;
  return Match{capitalised(w), 1, Piece::Month};
}

std::optional<Match> dayOfWeek(const Position& p) {
  const std::string_view w = p.word();
  const bool plural = w.size() > 1 && w.back() == 's' && isOneOf(w.substr(0, w.size() - 1), kDays);
  if (!isOneOf(w, kDays) && !plural) return std::nullopt;
  return Match{capitalised(w), 1};
}

std::optional<Match> firstPerson(const Position& p) {
  const std::string_view w = p.word();
  if (w != "i" && !w.starts_with("i'")) return std::nullopt;
  return Match{capitalised(w), 1};
}

constexpr Rule kRules[] = {
    {"clock time", clockTime},
    {"year in pairs", pairYear},
    {"percentage", percentage},
    {"money", money},
    {"measure", measure},
    {"day of the month", dayOfMonth},
    {"numbers in a row", numbersInARow},
    {"small number", smallNumber},
    {"number", number},
    {"month", month},
    {"day of the week", dayOfWeek},
    {"I", firstPerson},
};

}  // namespace

std::span<const Rule> rules() {
  return kRules;
}

}  // namespace voxlet::linux_backend::english
