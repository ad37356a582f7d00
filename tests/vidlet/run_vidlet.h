// Test helpers: running the vidlet program on some input, and what comes out of it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "packets.h"
#include "subprocess.h"

namespace vidlet_test {

// A file under the test's temporary directory, removed afterwards.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    std::string pattern = ::testing::TempDir() + "vidlet-XXXXXX";
    int fd = ::mkstemp(pattern.data());
    path_ = pattern;
    if (fd >= 0) {
      EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      ::close(fd);
    }
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The elementary stream of a packet stream: the payloads one after another.
inline std::string elementary(const std::vector<Packet>& packets) {
  std::string all;
  for (const auto& p : packets) all += p.payload;
  return all;
}

// Decodes an H.264 elementary stream to BGRA frames of the given size.
inline std::string decode(const std::string& h264, int w, int h) {
  TempFile file(h264);
  testing_support::RunResult r = testing_support::run(
      {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", file.path(), "-f",
       "rawvideo", "-pix_fmt", "bgra", "-s", std::to_string(w) + "x" + std::to_string(h), "-"},
      "");
  EXPECT_EQ(r.exit.status, 0) << r.err;
  return r.out;
}

struct Encoded {
  testing_support::RunResult result;
  std::vector<Packet> packets;
  bool complete = false;
};

inline Encoded encode(const std::string& header, const std::string& body) {
  Encoded e;
  e.result = testing_support::run({VIDLET_PATH}, header + body);
  e.packets = parsePackets(e.result.out, &e.complete);
  return e;
}

// The bits of each frame of a packet stream; the configuration counts with the frame after it.
inline std::vector<double> frameBits(const std::vector<Packet>& packets) {
  std::vector<double> bits;
  double pending = 0;
  for (const Packet& p : packets) {
    if (p.type == 1) {
      pending += p.payload.size() * 8.0;
      continue;
    }
    bits.push_back(pending + p.payload.size() * 8.0);
    pending = 0;
  }
  return bits;
}

// The PSNR of two BGRA pictures of the same size, in RGB.
inline double psnr(const std::string& a, const std::string& b) {
  double sum = 0;
  size_t count = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (i % 4 == 3) continue;  // alpha is not encoded
    const double d = static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]);
    sum += d * d;
    ++count;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (sum / count));
}

}  // namespace vidlet_test
