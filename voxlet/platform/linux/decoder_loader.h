// Loading a pocketsphinx decoder for an installed model: its language model read on a second
// thread while the acoustic model and the dictionary load, the whole load under a LoadGuard, and a
// check that the dictionary can spell some word of the language model. The search over the
// language model is built in a second step, which is most of the time and cannot meet a fault of
// the model's files that the first step has not met.
#pragma once

#include <pocketsphinx.h>
#include <sphinxbase/ngram_model.h>

#include <memory>
#include <string>
#include <vector>

#include "c_handle.h"
#include "locale_model.h"

namespace voxlet::linux_backend {

using DecoderPtr = CHandle<ps_decoder_t, ps_free>;
using NgramPtr = CHandle<ngram_model_t, ngram_model_free>;

// A decoder with its acoustic model and dictionary, and the language model it is to search.
struct OpenedDecoder {
  DecoderPtr decoder;
  NgramPtr languageModel;
};

// Opens the model with further decoder options as option and value pairs ("-vad_postspeech",
// "50"); a null decoder when the model cannot load or its dictionary holds no word of its language
// model (a decoder that could only ever hear silence). Fatal errors and crashes of the libraries
// while it loads end the process with the "unavailable" error (load_guard.h).
OpenedDecoder openDecoder(const SpeechModel& model, const std::vector<std::string>& options);

// Builds the decoder's search over the language model (about 0.2 s of CPU time for en-us) and
// makes it the active one; false when it cannot. Under a LoadGuard too.
bool buildSearch(ps_decoder_t* decoder, ngram_model_t* languageModel);

}  // namespace voxlet::linux_backend
