#include "control_input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace voxlet {

ControlLineReader::ControlLineReader(int fd, size_t blockSize)
    : fd_(fd), block_(std::max<size_t>(blockSize, 1)) {}

bool ControlLineReader::fill() {
  for (;;) {
    const ssize_t n = ::read(fd_, block_.data(), block_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    begin_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }
}

std::optional<std::string> ControlLineReader::next() {
  std::string line;
  bool any = false;       // a byte of this line has been read
  bool overlong = false;  // this line has outgrown every command and is being skipped
  for (;;) {
    if (begin_ == end_ && !fill()) {
      if (!any || overlong) return std::nullopt;
      return line;
    }
    any = true;
    const char* start = block_.data() + begin_;
    const size_t available = end_ - begin_;
    const char* feed = static_cast<const char*>(std::memchr(start, '\n', available));
    const size_t taken = feed ? static_cast<size_t>(feed - start) : available;
    begin_ += feed ? taken + 1 : taken;
    if (!overlong) {
      if (line.size() + taken > kLongestLine) {
        overlong = true;
        line = std::string();  // releases what was held
      } else {
        line.append(start, taken);
      }
    }
    if (!feed) continue;
    if (overlong) {  // skipped whole: the next line starts after its line feed
      any = false;
      overlong = false;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8; each maximal ill-formed subpart becomes one U+FFFD.
std::vector<char32_t> decode(std::string_view bytes) {
  std::vector<char32_t> out;
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    size_t length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < length && i + k < bytes.size(); ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
      if (b < min || b > max) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k == length) {
      out.push_back(cp);
    } else {
      out.push_back(kReplacement);
    }
    i += k;
  }
  return out;
}

bool isTrimmed(char32_t c) {
  switch (c) {
    case 0x0009:  // tab
    case 0x0020:
    case 0x00A0:
    case 0x1680:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

}  // namespace

bool isStopLine(std::string_view line) {
  const std::vector<char32_t> text = decode(line);
  size_t begin = 0, end = text.size();
  while (begin < end && isTrimmed(text[begin])) ++begin;
  while (end > begin && isTrimmed(text[end - 1])) --end;
  return std::u32string_view(text.data() + begin, end - begin) == U"stop";
}

}  // namespace voxlet
