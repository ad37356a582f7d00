// The typed form of a segment's recognised words: one table of spoken words and the text a
// typist would write per rule, and the choice of rules by language.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "english_format.h"
#include "transcript_format.h"

namespace voxlet_test {
namespace {

using voxlet::linux_backend::formatEnglishSegment;
using voxlet::linux_backend::formatterForLanguage;
using voxlet::linux_backend::hypothesisWords;

struct Case {
  const char* name;
  const char* spoken;
  const char* typed;
  bool final = true;
  bool punctuate = true;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << '"' << c.spoken << '"' << (c.final ? " final" : " partial")
      << (c.punctuate ? " punctuated" : "");
}

class Formatting : public testing::TestWithParam<Case> {};

TEST_P(Formatting, WritesWhatATypistWould) {
  const Case& c = GetParam();
  EXPECT_EQ(formatEnglishSegment(hypothesisWords(c.spoken), c.final, c.punctuate), c.typed);
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

const Case kSentenceCase[] = {
    {"OneWord", "thanks", "Thanks."},
    {"IAndContractions", "i think i'm late and i've missed it so i'd better hurry",
     "I think I'm late and I've missed it so I'd better hurry."},
    {"IOnlyAsAWord", "it's on the island", "It's on the island."},
    {"PartialCapitalisedWithoutFullStop", "send the file to", "Send the file to", false},
    {"NothingSaidIsEmpty", "", ""},
    {"NumberFirstStaysDigits", "twelve of them", "12 of them."},
};
INSTANTIATE_TEST_SUITE_P(SentenceCase, Formatting, testing::ValuesIn(kSentenceCase), caseName);

const Case kDates[] = {
    {"Days", "see you next tuesday or thursday", "See you next Tuesday or Thursday."},
    {"DaysPlural", "the gym is closed on sundays", "The gym is closed on Sundays."},
    {"Month", "we launch in october", "We launch in October."},
    {"MarchAsVerb", "the band will march in the parade", "The band will march in the parade."},
    {"MayAsVerb", "she may call later", "She may call later."},
    {"MayBeforeFirstIsAVerb", "you may first need a password", "You may first need a password."},
    {"MarchAfterOf", "taxes are due by the end of march", "Taxes are due by the end of March."},
    {"MayAfterNext", "next may we travel", "Next May we travel."},
    {"MayBeforeDay", "the launch moved to may twentieth", "The launch moved to May 20th."},
    {"MarchBeforeSmallDay", "march ninth works for me", "March 9th works for me."},
    {"MayBeforeCardinalDay", "it opens may fourteen", "It opens May 14."},
    {"SmallDayAfterMonth", "on june third", "On June 3rd."},
    {"MonthAndYear", "in may twenty twenty five", "In May 2025."},
    {"SmallOrdinalBeforeOfMonth", "the second of july", "The second of July."},
};
INSTANTIATE_TEST_SUITE_P(DaysAndMonths, Formatting, testing::ValuesIn(kDates), caseName);

const Case kNumbers[] = {
    {"SmallAloneIsAWord", "we need one more thing", "We need one more thing."},
    {"NineIsAWord", "there were nine of us", "There were nine of us."},
    {"TenIsDigits", "there were ten of us", "There were 10 of us."},
    {"Compound", "about thirty five people came", "About 35 people came."},
    {"Hyphenated", "i owe you twenty-five", "I owe you 25."},
    {"HundredAnd", "the total was three hundred and twelve", "The total was 312."},
    {"Thousands", "nearly five thousand people", "Nearly 5,000 people."},
    {"ThousandAnd", "one thousand and one nights", "1,001 nights."},
    {"HundredsOfTwoDigits", "about fifteen hundred miles", "About 1,500 miles."},
    {"MillionsInFull", "two million three hundred thousand residents", "2,300,000 residents."},
    {"RoundMillion", "the budget is four point two million", "The budget is 4.2 million."},
    {"RoundBillion", "ten billion", "10 billion."},
    {"ASpokenHundredStays", "a hundred people came", "A hundred people came."},
    {"AHundredPercent", "he gave a hundred percent", "He gave 100%."},
    {"SmallPercent", "unemployment fell to four percent", "Unemployment fell to 4%."},
    {"Dollars", "it cost three hundred dollars", "It cost $300."},
    {"DollarsAndCents", "it was five dollars and twenty cents", "It was $5.20."},
    {"SmallWithUnit", "the water is eight degrees", "The water is 8 degrees."},
    {"Decimal", "the ratio is zero point seven five", "The ratio is 0.75."},
    {"SmallOrdinalIsAWord", "this is my third attempt", "This is my third attempt."},
    {"CompoundOrdinal", "our twenty first anniversary", "Our 21st anniversary."},
    {"TenthOrdinal", "on the tenth floor", "On the 10th floor."},
    {"NumbersBackToBackStay", "one two three testing", "One two three testing."},
    {"AndBetweenNumbers", "between ten and twenty", "Between 10 and 20."},
    {"HalfStaysWords", "two and a half days", "Two and a half days."},
    {"ZeroAloneIsAWord", "zero tolerance", "Zero tolerance."},
};
INSTANTIATE_TEST_SUITE_P(Numbers, Formatting, testing::ValuesIn(kNumbers), caseName);

const Case kTimesAndYears[] = {
    {"HourPm", "call me at five p m", "Call me at 5 PM."},
    {"MinutesAmWithDots", "the bus leaves at six fifteen a. m.", "The bus leaves at 6:15 AM."},
    {"OneWordMarker", "the show starts at nine forty five pm", "The show starts at 9:45 PM."},
    {"AfterAt", "lunch is at twelve thirty", "Lunch is at 12:30."},
    {"OhMinutes", "wake me at seven oh five", "Wake me at 7:05."},
    {"PartOfDay", "seven oh five in the morning", "7:05 in the morning."},
    {"BareHourAndMinutesStay", "three thirty works", "Three thirty works."},
    {"AmAsAVerb", "i am at home", "I am at home."},
    {"YearAfterIn", "she was born in nineteen ninety nine", "She was born in 1999."},
    {"YearInThousands", "founded in two thousand and eight", "Founded in 2008."},
    {"CountAfterOfIsNoYear", "a crowd of two thousand", "A crowd of 2,000."},
    {"YearWithOh", "it happened in nineteen oh five", "It happened in 1905."},
    {"YearWithoutLead", "twenty twenty four was a busy year", "2024 was a busy year."},
    {"PairsWithoutLeadStay", "fifteen twenty minutes", "Fifteen twenty minutes."},
    {"EighteenPairsAfterOf", "the war of eighteen twelve", "The war of 1812."},
    {"MonthDayAndYear", "on may fifth twenty twenty", "On May 5th 2020."},
};
INSTANTIATE_TEST_SUITE_P(TimesAndYears, Formatting, testing::ValuesIn(kTimesAndYears), caseName);

// A year reads the same whichever way it is said, after every word that leads one; a round
// thousand after a word that also leads a count stays a count.
const Case kYearsSaidTwoWays[] = {
    {"FromInPairs", "it started from twenty oh five", "It started from 2005."},
    {"FromCounted", "it started from two thousand and five", "It started from 2005."},
    {"AroundInPairs", "it was around twenty ten", "It was around 2010."},
    {"AroundCounted", "it was around two thousand and ten", "It was around 2010."},
    {"BeforeInPairs", "finish it before twenty twenty six", "Finish it before 2026."},
    {"BeforeCounted", "finish it before two thousand twenty six", "Finish it before 2026."},
    {"InCountedRound", "we met in two thousand", "We met in 2000."},
    {"RangeOfYears", "from nineteen ninety to two thousand and five", "From 1990 to 2005."},
    {"RangeOfCounts", "prices rose from two thousand to three thousand",
     "Prices rose from 2,000 to 3,000."},
    {"RoundCountAfterAround", "around two thousand people came", "Around 2,000 people came."},
    {"CountBelowTwoThousand", "a total of one thousand and one", "A total of 1,001."},
};
INSTANTIATE_TEST_SUITE_P(YearsSaidTwoWays, Formatting, testing::ValuesIn(kYearsSaidTwoWays),
                         caseName);

const Case kPunctuation[] = {
    {"What", "what is the plan", "What is the plan?"},
    {"Who", "who is coming tonight", "Who is coming tonight?"},
    {"Why", "why not", "Why not?"},
    {"Which", "which one do you want", "Which one do you want?"},
    {"WhenBeforeVerb", "when do we leave", "When do we leave?"},
    {"WhenClause", "when you arrive call me", "When you arrive call me."},
    {"WhereBeforeVerb", "where is the key", "Where is the key?"},
    {"HowMuch", "how much is it", "How much is it?"},
    {"Is", "is it raining", "Is it raining?"},
    {"Are", "are you there", "Are you there?"},
    {"Can", "can you hear me", "Can you hear me?"},
    {"Could", "could we meet earlier", "Could we meet earlier?"},
    {"Would", "would you mind", "Would you mind?"},
    {"Will", "will it rain", "Will it rain?"},
    {"Do", "do you agree", "Do you agree?"},
    {"Does", "does this work", "Does this work?"},
    {"Did", "did the parcel arrive", "Did the parcel arrive?"},
    {"Should", "should i wait", "Should I wait?"},
    {"Shall", "shall we go", "Shall we go?"},
    {"Have", "have you eaten", "Have you eaten?"},
    {"DoAsImperative", "do it now", "Do it now."},
    {"WillDo", "will do", "Will do."},
    {"HaveANiceDay", "have a nice day", "Have a nice day."},
    {"CouldBeWorse", "could be worse", "Could be worse."},
    {"NotAskedForNoFullStop", "send it now", "Send it now", true, false},
    {"NotAskedForNoQuestionMark", "is it raining", "Is it raining", true, false},
    {"PartialNoQuestionMark", "is it", "Is it", false, true},
    {"EndsWithPm", "see you at eight pm", "See you at 8 PM."},
};
INSTANTIATE_TEST_SUITE_P(Punctuation, Formatting, testing::ValuesIn(kPunctuation), caseName);

// Segments joined by a space, as the session joins them, read as sentences.
TEST(FormattedSegments, JoinAsSentences) {
  const std::string first = formatEnglishSegment(hypothesisWords("please send it"), true, true);
  const std::string second = formatEnglishSegment(hypothesisWords("thanks"), true, true);
  EXPECT_EQ(first + " " + second, "Please send it. Thanks.");
}

// English has rules; a language without any gets the decoder's words as they are, and no
// punctuation to offer.
TEST(FormatterChoice, FollowsTheLanguage) {
  const auto words = hypothesisWords("is it at ten thirty on may fifth");
  const auto& english = formatterForLanguage("en");
  EXPECT_TRUE(english.punctuates);
  EXPECT_EQ(english.formatSegment(words, true, true), "Is it at 10:30 on May 5th?");
  for (const char* language : {"de", "fr", ""}) {
    SCOPED_TRACE(language);
    const auto& other = formatterForLanguage(language);
    EXPECT_FALSE(other.punctuates);
    EXPECT_EQ(other.formatSegment(words, true, true), "is it at ten thirty on may fifth");
    EXPECT_EQ(other.formatSegment(hypothesisWords("twenty-five"), false, false), "twenty-five");
    EXPECT_EQ(other.formatSegment({}, true, true), "");
  }
}

TEST(HypothesisWords, SplitOnSpacesOnly) {
  EXPECT_EQ(hypothesisWords("  two   words "), (std::vector<std::string>{"two", "words"}));
  EXPECT_EQ(hypothesisWords("i'm twenty-five"), (std::vector<std::string>{"i'm", "twenty-five"}));
  EXPECT_TRUE(hypothesisWords("").empty());
}

}  // namespace
}  // namespace voxlet_test
