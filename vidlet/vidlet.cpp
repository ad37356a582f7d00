#include "vidlet.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "encoded_frames.h"
#include "input.h"
#include "output.h"
#include "state.h"

namespace vidlet {

namespace {

// Where this program's own lines go: standard error as it was before silenceStandardError.
int errorOut = 2;

}  // namespace

void quit(int status, std::string_view line) {
  if (!line.empty()) writeAll(errorOut, line.data(), line.size());
  ::_exit(status);
}

void silenceStandardError() {
  errorOut = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    ::close(2);
    return;
  }
  if (null != 2) {
    ::dup2(null, 2);
    ::close(null);
  }
}

namespace {

// A pool buffer for the next frame, locked, with rows at least a frame row wide; none when the
// pool has none to give.
platform::PixelBufferRef lockedBuffer(size_t rowBytes) {
  platform::PixelBufferRef buffer;
  if (pool->createPixelBuffer(&buffer) != platform::kStatusOk || !buffer) return nullptr;
  if (buffer->lockBaseAddress(0) != platform::kStatusOk) return nullptr;
  if (!buffer->baseAddress() || buffer->bytesPerRow() < rowBytes) {
    buffer->unlockBaseAddress(0);
    return nullptr;
  }
  return buffer;
}

// Reads one frame into buffer: straight in when its rows lie back to back, else through raw. With
// no buffer the frame's bytes are read into raw and go no further. False at the end of input.
bool readFrame(platform::PixelBuffer* buffer, size_t rowBytes) {
  const size_t stride = buffer ? buffer->bytesPerRow() : 0;
  if (stride == rowBytes) return readFully(buffer->baseAddress(), frameBytes);
  if (!readFully(raw.get(), frameBytes)) return false;
  if (buffer) {
    for (int64_t y = 0; y < H; ++y)
      std::memcpy(buffer->baseAddress() + static_cast<size_t>(y) * stride,
                  raw.get() + static_cast<size_t>(y) * rowBytes, rowBytes);
  }
  return true;
}

}  // namespace

void frameLoop() {
  const auto rowBytes = static_cast<size_t>(W) * 4;
  for (;;) {
    // A frame without a buffer, or with one too narrow for its rows, is read and dropped.
    platform::PixelBufferRef buffer = lockedBuffer(rowBytes);
    const bool got = readFrame(buffer.get(), rowBytes);
    if (buffer) buffer->unlockBaseAddress(0);
    if (!got) return;
    if (!buffer) continue;

    n = n + 1;
    const platform::MediaTime pts{n, static_cast<int32_t>(FPS)};
    const platform::FrameOptions forceKey{.forceKeyFrame = true};
    session->encodeFrame(std::move(buffer), pts, n == 1 ? &forceKey : nullptr, nullptr, nullptr);
  }
}

void drain() {
  session->completeFrames(platform::kInvalidTime);
  session->invalidate();
}

void run(platform::VideoServices& videoServices) {
  silenceStandardError();
  services = &videoServices;
  // Packets bypass the C library's stream; it gets a large buffer all the same.
  std::setvbuf(stdout, nullptr, _IOFBF, 1048576);
  out = 1;

  std::optional<std::string> line = readLine();
  if (!line) quit(kExitBadHeader);
  const std::vector<int64_t> parts = headerIntegers(*line);
  std::optional<Header> header = checkHeader(parts);
  if (!header) quit(kExitBadHeader, "bad header\n");
  W = header->width;
  H = header->height;
  FPS = header->fps;
  bitrate = header->bitrate;

  session.reset();
  s.reset();
  sentConfig = false;
  startCode = {0, 0, 0, 1};
  callback = outputCallback;

  createSession();
  frameBytes = W * H * 4;
  createPool();

  n = 0;
  raw.reset(new (std::nothrow) uint8_t[static_cast<size_t>(frameBytes)]);
  if (!raw) quit(kExitNoResources);

  frameLoop();
  drain();
  quit(kExitOk);
}

}  // namespace vidlet
