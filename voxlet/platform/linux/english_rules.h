// The rules that turn English spoken words into typed pieces of text, one named matcher each,
// and the order in which they are tried.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "english_numbers.h"

namespace voxlet::linux_backend::english {

// What a piece of typed text is, as far as the next rule cares: a month name may take a day
// number, and a date may take a year.
enum class Piece { Other, Month, Day };

// Where a rule looks: the spoken words, the position, what the text so far ends with, and the
// number spoken at the position (if one starts there).
struct Position {
  const Words& words;
  size_t index = 0;
  Piece previous = Piece::Other;
  std::optional<Number> number;

  std::string_view word() const { return wordAt(words, index); }
  // The spoken word before the position, or an empty one at the start.
  std::string_view spokenBefore() const {
    return index > 0 ? wordAt(words, index - 1) : std::string_view();
  }
  // The spoken word `k` words after the number at the position (0: the one right after it).
  std::string_view afterNumber(size_t k = 0) const {
    return wordAt(words, index + (number ? number->length : 0) + k);
  }
};

// What a rule makes of the words at a position: the typed text, how many spoken words it takes
// (at least one) and what kind of piece it is.
struct Match {
  std::string text;
  size_t length = 1;
  Piece piece = Piece::Other;
};

struct Rule {
  std::string_view name;
  std::optional<Match> (*match)(const Position&);
};

// The rules in the order they are tried at each position; the first that matches writes the
// next piece, and a word no rule takes is written as spoken. The order is the precedence:
//  1. clock time        "three thirty p m" → "3:30 PM", "at eight thirty" → "at 8:30"
//  2. year in pairs     "nineteen eighty seven" → "1987", "in twenty oh five" → "in 2005"
//  3. percentage        "ten percent" → "10%"
//  4. money             "five dollars and twenty cents" → "$5.20"
//  5. measure           "eight degrees" → "8 degrees"
//  6. day of the month  "June third" → "June 3rd"
//  7. numbers in a row  "one two three", "ten thirty": kept as spoken
//  8. small number      "nine", "third", "a hundred": kept as words
//  9. number            "twenty five" → "25", "in two thousand and five" → "in 2005"
// 10. month             "october", "in may" → "October", "in May"
// 11. day of the week   "tuesday", "sundays" → "Tuesday", "Sundays"
// 12. I                 "i", "i'm" → "I", "I'm"
// Rules 3 to 9 read a number at the position, and rule 9 takes every number the others left.
std::span<const Rule> rules();

}  // namespace voxlet::linux_backend::english
