// A model's dictionary cut to the words of its language model. The decoder builds its search over
// every entry of the dictionary it is given, and the installed dictionaries hold many words their
// language models never name; the cut one loads faster and recognises the same. The build makes
// one per installed model (dictionary_tool.cpp) and installs them beside the program.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "locale_model.h"

namespace voxlet::linux_backend {

// The first line of a derived dictionary: a comment naming the size and modification time of the
// model's language model and dictionary, so that a model changed since the cut is not served by a
// dictionary of its old words. Empty when either file cannot be examined.
std::string derivedDictionaryHeader(const SpeechModel& model);

// Copies the entries of a dictionary whose word ("word", or "word(2)" for a second
// pronunciation) the vocabulary holds; comments and empty lines are dropped.
void cutDictionary(std::istream& dictionary, std::ostream& out,
                   const std::function<bool(std::string_view word)>& inVocabulary);

// The model with its dictionary replaced by "<folder>/<name>.dict" when that file was cut from the
// model's current files; otherwise the model as it is.
SpeechModel withDerivedDictionary(SpeechModel model, const std::string& folder);

// Where the running program finds its derived dictionaries: the folder `relative` to the folder
// of its own executable. Empty when the executable cannot be found.
std::string folderBesideExecutable(const std::string& relative);

}  // namespace voxlet::linux_backend
