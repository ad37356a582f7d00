// Build step: voxlet_dictionary MODEL_ROOT MODEL OUT writes the dictionary of the installed model
// MODEL cut to the words of its language model, under the header that ties it to those files
// (derived_dictionary.h). Exit status 1, with the reason on standard error, when it cannot.
#include <sphinxbase/err.h>
#include <sphinxbase/ngram_model.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_set>

#include "c_handle.h"
#include "derived_dictionary.h"
#include "locale_model.h"

namespace {

int failWith(const std::string& why) {
  std::fprintf(stderr, "voxlet_dictionary: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace voxlet::linux_backend;
  if (argc != 4) return failWith("usage: voxlet_dictionary MODEL_ROOT MODEL OUT");
  const std::string out = argv[3];
  const auto model = modelInFolder(argv[1], argv[2]);
  if (!model) return failWith(std::string("no model in ") + argv[1] + "/" + argv[2]);
  const std::string header = derivedDictionaryHeader(*model);
  if (header.empty()) return failWith("cannot examine the files of " + model->name);

  err_set_logfp(nullptr);
  voxlet::linux_backend::CHandle<logmath_t, logmath_free> logmath(logmath_init(1.0001, 0, 0));
  voxlet::linux_backend::CHandle<ngram_model_t, ngram_model_free> lm(
      ngram_model_read(nullptr, model->languageModel.c_str(), NGRAM_AUTO, logmath.get()));
  if (!lm) return failWith("cannot read " + model->languageModel);
  std::unordered_set<std::string> vocabulary;
  const uint32 words = ngram_model_get_counts(lm.get())[0];
  for (uint32 wid = 0; wid < words; ++wid) {
    if (const char* word = ngram_word(lm.get(), static_cast<int32>(wid))) vocabulary.insert(word);
  }

  std::ifstream dictionary(model->dictionary);
  if (!dictionary) return failWith("cannot read " + model->dictionary);
  const std::string partial = out + ".part";
  {
    std::ofstream cut(partial, std::ios::trunc);
    cut << header << '\n';
    cutDictionary(dictionary, cut,
                  [&](std::string_view word) { return vocabulary.count(std::string(word)) != 0; });
    if (!cut.flush()) return failWith("cannot write " + partial);
  }
  std::error_code ec;
  std::filesystem::rename(partial, out, ec);
  if (ec) return failWith("cannot write " + out + ": " + ec.message());
  return 0;
}
