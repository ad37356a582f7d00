// English as a typist writes it, for one segment of the decoder's lower-case words: sentence
// case, "I", day and month names, numbers as digits where a typist writes digits, and on request
// the closing full stop or question mark.
#pragma once

#include <string>
#include <vector>

namespace voxlet::linux_backend {

// The typed text of one segment. `final` marks the segment's closing result; only that one gets
// closing punctuation, and only when `punctuate` is set. Rules (english_rules.h lists them in the
// order they are tried):
// - The first word starts with a capital, and so do "i" and its contractions ("I'm", "I'd").
// - Days of the week and months are capitalised. "may" and "march" are months only next to a
//   date (after "in", "on", "of", "since", "until", "by", "next", "last" and a few more, or
//   before a day number or a year): "in May", "March 5th", but "I may go", "they march".
// - Numbers: one to nine alone stay words ("one more thing", "the first time"); 10 and above,
//   compounds and decimals are digits ("25", "103", "1,200", "4.5", "21st", "3 million"); a
//   number before "percent", "dollars" or a unit of measure is digits whatever its size ("5%",
//   "$3", "2 degrees"). A day after a month is digits ("June 10th"). Numbers spoken back to back
//   ("ten thirty", "one two three") stay words, except clock times and years: an hour with
//   "a m" or "p m" ("3:30 PM", "9 PM"), an hour and minutes after "at", "by", "until" and the
//   like ("at 8:30") or before "in the morning"; a year after "in", "since", "from" and the
//   like, or one spoken as "nineteen ..." or "twenty ..." ("1987", "2019"). After words that
//   lead a count as often as a year ("of", "from", "to", "around", "before" and a few more) a
//   year is one said in pairs ("from twenty oh five") or as two thousand and some ("from two
//   thousand and five"), and a round "two thousand" stays a count ("a crowd of 2,000").
// - Closing punctuation: "?" when the segment opens like a question (who, what, why, which
//   always; when, where, how before a verb or "much", "many" and the like; is, are, was, were
//   always; can, could, would, will, should, did, does and the like before a subject; do and
//   have only before a pronoun such as "you"), "." otherwise.
std::string formatEnglishSegment(const std::vector<std::string>& words, bool final, bool punctuate);

}  // namespace voxlet::linux_backend
