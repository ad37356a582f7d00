// The dictionary cut to its language model's words: what the cut keeps, when the program takes the
// cut file for the model's own, and where the build puts it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "derived_dictionary.h"
#include "linux_platform.h"
#include "pulse_daemon.h"

namespace voxlet_test {
namespace {

namespace fs = std::filesystem;
using voxlet::linux_backend::cutDictionary;
using voxlet::linux_backend::derivedDictionaryHeader;
using voxlet::linux_backend::LinuxPlatform;
using voxlet::linux_backend::SpeechModel;
using voxlet::linux_backend::withDerivedDictionary;

std::string cut(const std::string& dictionary, const std::set<std::string>& vocabulary) {
  std::istringstream in(dictionary);
  std::ostringstream out;
  cutDictionary(in, out, [&](std::string_view w) { return vocabulary.count(std::string(w)) != 0; });
  return out.str();
}

TEST(DerivedDictionary, CutKeepsEveryPronunciationOfTheVocabularyOnly) {
  const std::string dictionary =
      "## a comment\n"
      "a AH\n"
      "a(2) EY\n"
      "aardvark AA R D V AA R K\n"
      "\n"
      "read R EH D\n"
      "read(2) R IY D\n"
      "read's R EH D Z\n"
      "(paren) P ER EH N\n"
      "tab\tT AE B\n";
  EXPECT_EQ(cut(dictionary, {"a", "read", "(paren)", "tab"}),
            "a AH\na(2) EY\nread R EH D\nread(2) R IY D\n(paren) P ER EH N\ntab\tT AE B\n");
  EXPECT_EQ(cut(dictionary, {}), "");
  EXPECT_EQ(cut(dictionary, {"read's"}), "read's R EH D Z\n");
}

// A model of small files and its cut dictionary under folder/<name>.dict.
class DerivedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    model_.name = "xx-yy";
    model_.languageModel = dir_.path() + "/xx-yy.lm.bin";
    model_.dictionary = dir_.path() + "/xx-yy.dict";
    std::ofstream(model_.languageModel) << "lm";
    std::ofstream(model_.dictionary) << "word W ER D\nother AH DH ER\n";
    fs::create_directories(folder());
    writeCut(derivedDictionaryHeader(model_));
  }
  std::string folder() const { return dir_.path() + "/derived"; }
  std::string cutPath() const { return folder() + "/xx-yy.dict"; }
  void writeCut(const std::string& header) const {
    std::ofstream(cutPath()) << header << "\nword W ER D\n";
  }

  TempDir dir_;
  SpeechModel model_;
};

TEST_F(DerivedFiles, TakenWhileTheModelsFilesAreThoseItWasCutFrom) {
  ASSERT_FALSE(derivedDictionaryHeader(model_).empty());
  EXPECT_EQ(withDerivedDictionary(model_, folder()).dictionary, cutPath());
  EXPECT_EQ(withDerivedDictionary(model_, "").dictionary, model_.dictionary) << "no folder";
  EXPECT_EQ(withDerivedDictionary(model_, dir_.path() + "/none").dictionary, model_.dictionary);
  SpeechModel other = model_;
  other.name = "xx-zz";
  EXPECT_EQ(withDerivedDictionary(other, folder()).dictionary, model_.dictionary)
      << "another model's name";
}

TEST_F(DerivedFiles, ModelChangedSinceTheCutIsServedByItsOwnDictionary) {
  // Same size, another time: a model dictionary installed again from a newer package.
  fs::last_write_time(model_.dictionary,
                      fs::last_write_time(model_.dictionary) - std::chrono::hours(24));
  EXPECT_EQ(withDerivedDictionary(model_, folder()).dictionary, model_.dictionary);
  writeCut(derivedDictionaryHeader(model_));
  EXPECT_EQ(withDerivedDictionary(model_, folder()).dictionary, cutPath()) << "cut again";
  // Same time, another size: a language model that grew.
  const auto when = fs::last_write_time(model_.languageModel);
  std::ofstream(model_.languageModel, std::ios::app) << "more";
  fs::last_write_time(model_.languageModel, when);
  EXPECT_EQ(withDerivedDictionary(model_, folder()).dictionary, model_.dictionary);
  // A header without its model's files cannot be matched.
  fs::remove(model_.languageModel);
  EXPECT_EQ(derivedDictionaryHeader(model_), "");
  EXPECT_EQ(withDerivedDictionary(model_, folder()).dictionary, model_.dictionary);
}

// The build tree holds programs and derived dictionaries where an installation does, so that the
// program finds them from its own folder in both; this test runs from that same bin folder.
TEST(DerivedDictionary, TheBuildPutsThemWhereTheProgramLooks) {
  EXPECT_EQ(fs::weakly_canonical(LinuxPlatform::defaultDictionaryFolder()),
            fs::weakly_canonical(VOXLET_BUILT_DICTIONARIES));
  const auto model = voxlet::linux_backend::findModel(LinuxPlatform::defaultModelRoot(), "en-US");
  ASSERT_TRUE(model);
  const SpeechModel served =
      withDerivedDictionary(*model, LinuxPlatform::defaultDictionaryFolder());
  EXPECT_EQ(fs::path(served.dictionary).parent_path(),
            fs::path(LinuxPlatform::defaultDictionaryFolder()))
      << "the installed model's dictionary is served cut";
}

}  // namespace
}  // namespace voxlet_test
