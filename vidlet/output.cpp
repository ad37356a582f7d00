#include "output.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>

#include "state.h"

namespace vidlet {

bool writeAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t w = ::write(fd, p, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

void emit(uint8_t type, const std::vector<uint8_t>& payload) {
  // A longer payload would wrap the length field and tear the stream for the reader.
  if (payload.size() > std::numeric_limits<uint32_t>::max()) return;
  const auto length = static_cast<uint32_t>(payload.size());
  const std::array<uint8_t, 5> header{
      static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
      static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), type};
  std::lock_guard<std::mutex> lock(outLock);
  if (!writeAll(out, header.data(), header.size())) return;
  writeAll(out, payload.data(), payload.size());
}

}  // namespace vidlet
