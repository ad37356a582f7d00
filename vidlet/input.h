// Standard input: the header line and the raw frames after it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vidlet {

// Reads descriptor 0 in blocks up to a line feed, which it consumes but does not return; the
// bytes read past it are kept for readFully. Nothing when input ends before the first byte;
// otherwise the bytes before the line feed (a line cut short by end of input included). A read
// interrupted by a signal is retried.
std::optional<std::string> readLine();

// Fills buffer with exactly count bytes: first those readLine read past its line feed, then from
// descriptor 0. False when input ends (or fails) first.
bool readFully(uint8_t* buffer, int64_t count);

// A header piece as a signed 64-bit integer: an optional "+" or "-", then ASCII digits only.
std::optional<int64_t> parseInteger(std::string_view piece);

// The integers of a header line, in order: the line is cut at spaces and every piece that is not
// an integer is dropped.
std::vector<int64_t> headerIntegers(std::string_view line);

struct Header {
  int64_t width = 0;
  int64_t height = 0;
  int64_t fps = 0;
  int64_t bitrate = 0;
};

// Checks the header integers and fills in the defaults: frame rate 20 (values below 1 become 1)
// and bit rate 4000000. Nothing when the header is refused: fewer than two integers, a width or
// height below 1, a width, height or frame rate above 2147483647, or a frame size in bytes that
// does not fit a signed 64-bit integer.
std::optional<Header> checkHeader(const std::vector<int64_t>& parts);

}  // namespace vidlet
