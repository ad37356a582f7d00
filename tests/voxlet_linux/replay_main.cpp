// Replays sound files through the recogniser's pipeline as fast as it decodes, for the decoder
// benchmark (bench/voxlet_replay.py): every file is one dictation with a fresh decoder, its audio
// given in capture-sized buffers, requests following one another as the session makes them, and
// the audio ended with the file. Prints, for each file:
//   file <path>
//   P <audio seconds> <transcript so far>     each partial transcript as it changes
//   S <audio seconds> <segment>               each request's closing result
//   F <audio seconds> <transcript>            the final transcript
//   end <seconds of CPU time from the end of the audio to the final transcript>
//   cpu <seconds of CPU time for the file, the decoder's load included>
// The audio time of a line is how much of the file had been given when it came.
//
// Usage: voxlet_replay [--hold SECONDS] [--dict DICTIONARY] [--mean-frames N]
//                      [--prior-weight FRAMES] file.wav... [-- decoder options]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decoder_settings.h"
#include "linux_platform.h"
#include "locale_model.h"
#include "platform/platform.h"
#include "request_state.h"
#include "transcriber.h"
#include "transcript_format.h"
#include "utterance_decoder.h"
#include "wav.h"

namespace {

using voxlet::linux_backend::DecoderSettings;
using voxlet::linux_backend::RequestPtr;
using voxlet::linux_backend::RequestState;
using voxlet::linux_backend::SpeechModel;
using voxlet::linux_backend::Transcriber;
using voxlet::linux_backend::TranscriptFormatter;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

std::string joined(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + " " + b;
}

// One dictation of one file.
class Dictation {
 public:
  Dictation(const SpeechModel& model, const DecoderSettings& settings,
            const TranscriptFormatter& formatter, const voxlet_test::Sound& sound)
      : sound_(sound),
        transcriber_(settings, formatter, voxlet::linux_backend::loadSphinxDecoder(model, settings),
                     [](auto, std::function<void()> work) { work(); }) {
    transcriber_.prepare();
  }

  void run() {
    const size_t buffer = static_cast<size_t>(sound_.rate / 50);  // 20 ms, as captured
    RequestPtr request = next();
    for (size_t at = 0; at < sound_.samples.size(); at += buffer) {
      const size_t n = std::min(buffer, sound_.samples.size() - at);
      voxlet::platform::AudioBuffer b(
          {std::vector<float>(sound_.samples.begin() + at, sound_.samples.begin() + at + n)},
          static_cast<uint32_t>(n));
      given_ = static_cast<double>(at + n) / sound_.rate;
      transcriber_.audio(request, b);
      if (request->isClosed()) request = next();
    }
    request->audioEnded = true;
    const double before = cpuSeconds();
    transcriber_.end(request);
    std::printf("F %.3f %s\n", given_, said_.c_str());
    std::printf("end %.3f\n", cpuSeconds() - before);
  }

 private:
  RequestPtr next() {
    const double rate = sound_.rate;
    auto r = std::make_shared<RequestState>([rate] { return rate; });
    r->partials = true;
    r->setHandler([this](std::optional<voxlet::platform::RecognitionResult> result,
                         std::optional<voxlet::platform::RecognitionError> error) {
      if (error) std::printf("E %.3f %s\n", given_, error->localizedDescription.c_str());
      if (!result) return;
      if (result->isFinal) {
        said_ = joined(said_, result->formattedString);
        std::printf("S %.3f %s\n", given_, result->formattedString.c_str());
      } else {
        std::printf("P %.3f %s\n", given_, joined(said_, result->formattedString).c_str());
      }
    });
    return r;
  }

  const voxlet_test::Sound& sound_;
  Transcriber transcriber_;
  double given_ = 0;
  std::string said_;
};

}  // namespace

int main(int argc, char** argv) {
  DecoderSettings settings;
  std::vector<std::string> files;
  std::string dictionary;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--hold") && i + 1 < argc) {
      settings.partialHoldSeconds = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--dict") && i + 1 < argc) {
      dictionary = argv[++i];
    } else if (!std::strcmp(argv[i], "--mean-frames") && i + 1 < argc) {
      settings.openingMeanFrames = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--prior-weight") && i + 1 < argc) {
      settings.openingPriorWeight = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--")) {
      settings.decoderOptions.assign(argv + i + 1, argv + argc);
      break;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  const std::string root = voxlet::linux_backend::LinuxPlatform::defaultModelRoot();
  auto model = voxlet::linux_backend::findModel(root, "en-US");
  if (!model) {
    std::fprintf(stderr, "no en-us model under %s\n", root.c_str());
    return 1;
  }
  if (!dictionary.empty()) model->dictionary = dictionary;
  const TranscriptFormatter& formatter = voxlet::linux_backend::formatterForLanguage("en");
  for (const std::string& file : files) {
    const auto sound = voxlet_test::readWav(file);
    if (!sound) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    std::printf("file %s\n", file.c_str());
    const double before = cpuSeconds();
    Dictation(*model, settings, formatter, *sound).run();
    std::printf("cpu %.3f\n", cpuSeconds() - before);
    std::fflush(stdout);
  }
  return 0;
}
