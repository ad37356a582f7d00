// Lines of the control input on standard input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace voxlet {

// Reads one line from fd, a byte at a time so that nothing after it is consumed. The line feed,
// or a carriage return and line feed pair, is removed; a last line without a line feed still
// counts. Nothing when the input has ended with no byte left, or the read fails.
std::optional<std::string> readControlLine(int fd);

// Whether the line (bytes, decoded as UTF-8 with invalid sequences as U+FFFD) is the stop word
// once space separators (Unicode Zs) and tabs are trimmed from both ends.
bool isStopLine(std::string_view line);

}  // namespace voxlet
