// Loading a pocketsphinx decoder for an installed model: its language model read on a second
// thread while the acoustic model and the dictionary load, the whole load under a LoadGuard, and a
// check that the dictionary can spell some word of the language model.
#pragma once

#include <pocketsphinx.h>

#include <memory>
#include <string>
#include <vector>

#include "c_handle.h"
#include "locale_model.h"

namespace voxlet::linux_backend {

using DecoderPtr = CHandle<ps_decoder_t, ps_free>;

// A decoder for the model with further decoder options as option and value pairs
// ("-vad_postspeech", "50"); null when the model cannot load or its dictionary holds no word of
// its language model (a decoder that could only ever hear silence). Fatal errors and crashes of
// the libraries while it loads end the process with the "unavailable" error (load_guard.h).
DecoderPtr loadDecoder(const SpeechModel& model, const std::vector<std::string>& options);

}  // namespace voxlet::linux_backend
