// Test helpers: reading vidlet's packet stream, capturing what emit writes, and test frames.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vidlet_test {

struct Packet {
  uint8_t type = 0;
  std::string payload;
};

// Splits a packet stream; complete is false when bytes are left over at the end.
inline std::vector<Packet> parsePackets(const std::string& stream, bool* complete = nullptr) {
  std::vector<Packet> packets;
  size_t i = 0;
  while (i + 5 <= stream.size()) {
    const auto* p = reinterpret_cast<const uint8_t*>(stream.data() + i);
    const size_t length = (size_t{p[0]} << 24) | (size_t{p[1]} << 16) | (size_t{p[2]} << 8) | p[3];
    if (i + 5 + length > stream.size()) break;
    packets.push_back({p[4], stream.substr(i + 5, length)});
    i += 5 + length;
  }
  if (complete) *complete = i == stream.size();
  return packets;
}

// The NAL unit types of an Annex B payload (4-byte start codes only).
inline std::vector<int> nalTypes(const std::string& annexB) {
  std::vector<int> types;
  const std::string startCode("\0\0\0\1", 4);
  for (size_t pos = annexB.find(startCode); pos != std::string::npos;
       pos = annexB.find(startCode, pos + 4)) {
    if (pos + 4 < annexB.size()) types.push_back(static_cast<uint8_t>(annexB[pos + 4]) & 0x1f);
  }
  return types;
}

// A file in memory that stands in for standard output.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("vidlet-test", 0)) {}
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  int fd() const { return fd_; }
  std::string contents() const {
    std::string all;
    char buf[65536];
    for (off_t off = 0;;) {
      ssize_t r = ::pread(fd_, buf, sizeof buf, off);
      if (r <= 0) break;
      all.append(buf, static_cast<size_t>(r));
      off += r;
    }
    return all;
  }

 private:
  int fd_;
};

// A BGRA test frame: smooth gradients that move with the frame index, plus a fine checker.
inline std::string testFrame(int w, int h, int index) {
  std::string f(static_cast<size_t>(w) * h * 4, '\0');
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      auto* p = reinterpret_cast<uint8_t*>(&f[(static_cast<size_t>(y) * w + x) * 4]);
      const int checker = ((x / 4 + y / 4) & 1) ? 24 : 0;
      p[0] = static_cast<uint8_t>((x * 2 + index * 3) & 0xff);                  // blue
      p[1] = static_cast<uint8_t>(((y * 3 + index * 2) & 0xff) / 2 + checker);  // green
      p[2] = static_cast<uint8_t>(((x + y) * 2 + index) & 0xff);                // red
      p[3] = 0xff;
    }
  }
  return f;
}

}  // namespace vidlet_test
