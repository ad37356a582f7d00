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

void frameLoop() {
  const int64_t rowBytes = W * 4;
  while (readFully(raw.get(), frameBytes)) {
    platform::PixelBufferRef buffer;
    if (pool->createPixelBuffer(&buffer) != platform::kStatusOk || !buffer) continue;
    if (buffer->lockBaseAddress(0) != platform::kStatusOk) continue;
    uint8_t* base = buffer->baseAddress();
    const size_t stride = buffer->bytesPerRow();
    // A buffer without pixels or with rows too short for a frame row costs this frame only.
    if (!base || stride < static_cast<size_t>(rowBytes)) {
      buffer->unlockBaseAddress(0);
      continue;
    }
    if (stride == static_cast<size_t>(rowBytes)) {
      std::memcpy(base, raw.get(), static_cast<size_t>(frameBytes));
    } else {
      for (int64_t y = 0; y < H; ++y)
        std::memcpy(base + static_cast<size_t>(y) * stride, raw.get() + y * rowBytes,
                    static_cast<size_t>(rowBytes));
    }
    buffer->unlockBaseAddress(0);

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
