// Reading sound files for tests that feed audio to the backend directly.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace voxlet_test {

struct Sound {
  double rate = 0;
  std::vector<float> samples;  // mono, full scale 1.0
};

// Reads a mono 16-bit PCM or 32-bit float WAV file.
std::optional<Sound> readWav(const std::string& path);

}  // namespace voxlet_test
