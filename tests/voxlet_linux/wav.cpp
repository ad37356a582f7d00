#include "wav.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace voxlet_test {

std::optional<Sound> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  auto u16 = [&](size_t at) {
    uint16_t v;
    std::memcpy(&v, bytes.data() + at, 2);
    return v;
  };
  auto u32 = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  uint16_t format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint32_t size = u32(pos + 4);
    const size_t body = pos + 8;
    if (std::memcmp(bytes.data() + pos, "fmt ", 4) == 0 && size >= 16) {
      format = u16(body);
      channels = u16(body + 2);
      rate = u32(body + 4);
      bits = u16(body + 14);
      if (format == 0xFFFE && size >= 26) format = u16(body + 24);
    } else if (std::memcmp(bytes.data() + pos, "data", 4) == 0) {
      if (channels != 1) return std::nullopt;
      const size_t end = std::min(bytes.size(), body + size);
      Sound s;
      s.rate = rate;
      if (format == 1 && bits == 16) {
        for (size_t i = body; i + 2 <= end; i += 2) {
          int16_t v;
          std::memcpy(&v, bytes.data() + i, 2);
          s.samples.push_back(static_cast<float>(v) / 32768.0f);
        }
      } else if (format == 3 && bits == 32) {
        for (size_t i = body; i + 4 <= end; i += 4) {
          float v;
          std::memcpy(&v, bytes.data() + i, 4);
          s.samples.push_back(v);
        }
      } else {
        return std::nullopt;
      }
      return s;
    }
    pos = body + size + (size & 1);
  }
  return std::nullopt;
}

}  // namespace voxlet_test
