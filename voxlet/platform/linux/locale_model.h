// The user's locale and the installed speech models it maps to.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace voxlet::linux_backend {

// The locale identifier the environment selects: LC_ALL, then LC_MESSAGES, then LANG (the first
// set and not empty), without its codeset and modifier ("ko_KR.UTF-8@x" gives "ko_KR"). "C",
// "POSIX" or nothing gives "en_US_POSIX". getenv is replaceable for tests.
std::string localeFromEnvironment(const std::function<const char*(const char*)>& getenv = nullptr);

// Language and region parts of a locale identifier ("en-US", "en_US", "en_us_POSIX",
// "zh-Hans-CN"): language in lower case, region in upper case or empty.
struct LocaleParts {
  std::string language;
  std::string region;
};
std::optional<LocaleParts> parseLocale(const std::string& id);

// The files of one installed pocketsphinx model.
struct SpeechModel {
  std::string name;      // folder name, "en-us"
  std::string acoustic;  // acoustic model folder (holds mdef)
  std::string languageModel;
  std::string dictionary;
  // True when every file and the acoustic model's own files can be read.
  bool readable() const;
};

// The model in the folder modelRoot/name: an acoustic model sub-folder (preferably "<name>"), the
// language model "<name>.lm.bin" (or another n-gram file that is not a phone model) and a
// dictionary. Nothing when one of them is missing.
std::optional<SpeechModel> modelInFolder(const std::string& modelRoot, const std::string& name);

// The model for a locale from the models under modelRoot (one folder per "language-region"):
// the folder of the same language and region, or else the first folder of that language (the
// en-us model serves "en-GB" and "en-IN" too). Only looks at the file system.
std::optional<SpeechModel> findModel(const std::string& modelRoot, const std::string& localeId);
// The first model of a language ("en").
std::optional<SpeechModel> findModelForLanguage(const std::string& modelRoot,
                                                const std::string& language);

}  // namespace voxlet::linux_backend
