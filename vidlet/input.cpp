#include "input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace vidlet {

namespace {

// One read on descriptor 0, retried while a signal interrupts it.
ssize_t readSome(void* buffer, size_t count) {
  for (;;) {
    ssize_t r = ::read(0, buffer, count);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

// The header is read in blocks of this size; what follows its line feed waits in pending for the
// first frame.
constexpr size_t kLineBlock = 4096;
std::string pending;

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kDefaultFps = 20;
constexpr int64_t kDefaultBitrate = 4000000;

}  // namespace

std::optional<std::string> readLine() {
  std::string line;
  bool any = !pending.empty();
  for (;;) {
    const size_t feed = pending.find('\n');
    if (feed != std::string::npos) {
      line.append(pending, 0, feed);
      pending.erase(0, feed + 1);
      return line;
    }
    line += pending;
    pending.clear();
    char block[kLineBlock];
    const ssize_t r = readSome(block, sizeof block);
    if (r <= 0) break;
    any = true;
    pending.assign(block, static_cast<size_t>(r));
  }
  if (!any) return std::nullopt;
  return line;
}

bool readFully(uint8_t* buffer, int64_t count) {
  int64_t got = std::min<int64_t>(count, static_cast<int64_t>(pending.size()));
  if (got > 0) {
    std::memcpy(buffer, pending.data(), static_cast<size_t>(got));
    pending.erase(0, static_cast<size_t>(got));
  }
  while (got < count) {
    ssize_t r = readSome(buffer + got, static_cast<size_t>(count - got));
    if (r <= 0) return false;
    got += r;
  }
  return true;
}

std::optional<int64_t> parseInteger(std::string_view piece) {
  bool negative = false;
  if (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) {
    negative = piece[0] == '-';
    piece.remove_prefix(1);
  }
  if (piece.empty()) return std::nullopt;
  // Accumulate towards the negative side, which holds the one extra value.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return std::nullopt;
    value = -value;
  }
  return value;
}

std::vector<int64_t> headerIntegers(std::string_view line) {
  // Bytes are split as they come: an invalid UTF-8 sequence never hides a space or a digit, so
  // the pieces that matter are the same as those of the decoded text.
  std::vector<int64_t> result;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) end = line.size();
    if (end > pos) {
      if (auto v = parseInteger(line.substr(pos, end - pos))) result.push_back(*v);
    }
    pos = end + 1;
  }
  return result;
}

std::optional<Header> checkHeader(const std::vector<int64_t>& parts) {
  if (parts.size() < 2 || parts[0] < 1 || parts[1] < 1) return std::nullopt;
  Header h;
  h.width = parts[0];
  h.height = parts[1];
  h.fps = parts.size() >= 3 ? (parts[2] > 1 ? parts[2] : 1) : kDefaultFps;
  h.bitrate = parts.size() >= 4 ? parts[3] : kDefaultBitrate;
  // The size and rate go to the encoder as signed 32-bit values; the frame size must be
  // countable in bytes.
  if (h.width > kInt32Max || h.height > kInt32Max || h.fps > kInt32Max) return std::nullopt;
  if (h.width > std::numeric_limits<int64_t>::max() / 4 / h.height) return std::nullopt;
  return h;
}

}  // namespace vidlet
