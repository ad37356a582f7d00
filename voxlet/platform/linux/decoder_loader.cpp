#include "decoder_loader.h"

#include <sphinxbase/ngram_model.h>

#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>
#include <thread>

#include "load_guard.h"

namespace voxlet::linux_backend {

namespace {

// The name the decoder gives the search of a language model it loads itself.
constexpr const char* kSearchName = "_default";

using ConfigPtr = CHandle<cmd_ln_t, cmd_ln_free_r>;
using LogmathPtr = CHandle<logmath_t, logmath_free>;

ConfigPtr parseConfig(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ConfigPtr(
      cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(args.size()), argv.data(), TRUE));
}

// A language model in the libraries' binary form ends with its word list, each word ending in a NUL
// byte; one cut short almost always ends inside a word, and the libraries would read that word on
// past the end of their buffer. Files in other forms pass.
bool endsAsItsFormSays(const std::string& path) {
  static constexpr std::string_view kTrieHeader = "Trie Language Model";
  std::ifstream in(path, std::ios::binary);
  std::string head(kTrieHeader.size(), '\0');
  if (!in.read(head.data(), static_cast<std::streamsize>(head.size())) || head != kTrieHeader) {
    return true;
  }
  char last = 1;
  return in.seekg(-1, std::ios::end) && in.get(last) && last == '\0';
}

// The language model as the decoder would read it itself: its weights from the same options, its
// scores in the decoder's log base. The configuration is this thread's own; the decoder's changes
// while it loads.
NgramPtr readLanguageModel(const std::string& path, const std::vector<std::string>& args) {
  LoadGuard guard;
  if (!endsAsItsFormSays(path)) return nullptr;
  ConfigPtr config = parseConfig(args);
  if (!config) return nullptr;
  LogmathPtr logmath(logmath_init(cmd_ln_float_r(config.get(), "-logbase"), 0, FALSE));
  if (!logmath) return nullptr;
  return NgramPtr(ngram_model_read(config.get(), path.c_str(), NGRAM_AUTO, logmath.get()));
}

// Some word of the language model has a pronunciation in the decoder's dictionary. Sentence
// marks and fillers ("<s>", "<UNK>", "[NOISE]") do not count.
bool spellsSomeWord(ps_decoder_t* ps, ngram_model_t* lm) {
  const uint32 words = ngram_model_get_counts(lm)[0];
  for (uint32 wid = 0; wid < words; ++wid) {
    const char* word = ngram_word(lm, static_cast<int32>(wid));
    if (!word || word[0] == '<' || word[0] == '[') continue;
    if (char* phones = ps_lookup_word(ps, word)) {
      std::free(phones);
      return true;
    }
  }
  return false;
}

}  // namespace

OpenedDecoder openDecoder(const SpeechModel& model, const std::vector<std::string>& options) {
  LoadGuard guard;
  // The model's tables are read whole rather than mapped: a mapped file cut short would only fail
  // while decoding, and one replaced by a package upgrade under a running decoder could crash it.
  std::vector<std::string> args{"-hmm", model.acoustic, "-dict", model.dictionary, "-mmap", "no"};
  args.insert(args.end(), options.begin(), options.end());
  // The language model is read beside the acoustic model and the dictionary instead of before
  // them.
  NgramPtr lm;
  std::thread reader;
  try {
    reader = std::thread([&] { lm = readLanguageModel(model.languageModel, args); });
  } catch (const std::system_error&) {
    lm = readLanguageModel(model.languageModel, args);
  }
  ConfigPtr config = parseConfig(args);
  DecoderPtr decoder(config ? ps_init(config.get()) : nullptr);
  if (reader.joinable()) reader.join();
  if (!decoder || !lm || !spellsSomeWord(decoder.get(), lm.get())) return {};
  return {std::move(decoder), std::move(lm)};
}

bool buildSearch(ps_decoder_t* decoder, ngram_model_t* languageModel) {
  LoadGuard guard;
  return ps_set_lm(decoder, kSearchName, languageModel) == 0 &&
         ps_set_search(decoder, kSearchName) == 0;
}

}  // namespace voxlet::linux_backend
