// Lines of the control input on standard input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxlet {

// Reads the lines of a control input from a descriptor, in blocks. A line longer than
// kLongestLine bytes is no command: it is skipped as it streams in, never held whole, so memory
// stays flat however long a line the parent writes.
class ControlLineReader {
 public:
  static constexpr size_t kLongestLine = 4096;

  explicit ControlLineReader(int fd, size_t blockSize = 64 * 1024);

  // The next line, without its line feed or carriage return and line feed pair; a last line
  // without a line feed still counts. Nothing when the input has ended with no line left, or the
  // read fails.
  std::optional<std::string> next();

 private:
  bool fill();  // false at the end of input or on a read error

  int fd_;
  std::vector<char> block_;
  size_t begin_ = 0, end_ = 0;  // unread bytes of block_
};

// Whether the line (bytes, decoded as UTF-8 with invalid sequences as U+FFFD) is the stop word
// once space separators (Unicode Zs) and tabs are trimmed from both ends.
bool isStopLine(std::string_view line);

}  // namespace voxlet
