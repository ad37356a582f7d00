#include "derived_dictionary.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <istream>
#include <ostream>
#include <vector>

namespace voxlet::linux_backend {

namespace {

// "<size> <mtime seconds>.<nanoseconds>" of a file, or nothing.
std::string identity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

std::string derivedDictionaryHeader(const SpeechModel& model) {
  const std::string lm = identity(model.languageModel);
  const std::string dict = identity(model.dictionary);
  if (lm.empty() || dict.empty()) return "";
  return "## voxlet: cut to the language model " + lm + " from the dictionary " + dict;
}

void cutDictionary(std::istream& dictionary, std::ostream& out,
                   const std::function<bool(std::string_view word)>& inVocabulary) {
  std::string line;
  while (std::getline(dictionary, line)) {
    if (line.empty() || line.starts_with("##") || line.starts_with(";;")) continue;
    std::string_view word(line);
    word = word.substr(0, word.find_first_of(" \t"));
    // A further pronunciation of a word is spelled "word(2)": the decoder takes the word before
    // the last "(" of an entry ending in ")", unless that "(" starts it.
    if (word.ends_with(')')) {
      const size_t open = word.rfind('(');
      if (open != std::string_view::npos && open > 0) word = word.substr(0, open);
    }
    if (!word.empty() && inVocabulary(word)) out << line << '\n';
  }
}

SpeechModel withDerivedDictionary(SpeechModel model, const std::string& folder) {
  if (folder.empty()) return model;
  const std::string path = folder + "/" + model.name + ".dict";
  std::ifstream in(path);
  std::string first;
  if (!in || !std::getline(in, first)) return model;
  const std::string expected = derivedDictionaryHeader(model);
  if (!expected.empty() && first == expected) model.dictionary = path;
  return model;
}

std::string folderBesideExecutable(const std::string& relative) {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return "";
  std::string exe(buf.data(), static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return "";
  return exe.substr(0, slash) + "/" + relative;
}

}  // namespace voxlet::linux_backend
