// The encoder's top level: header, set-up, frame loop and drain. Every way out of the process is
// one of the exits below, with its status.
#pragma once

#include <string_view>

#include "platform/video.h"

namespace vidlet {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitBadHeader = 2;    // no header line, or one that is refused
constexpr int kExitNoSession = 3;    // the compression session could not be created
constexpr int kExitNoResources = 4;  // the pixel-buffer pool (or the frame buffer) could not be had

// Runs vidlet on standard input and output with the given services. Never returns.
[[noreturn]] void run(platform::VideoServices& videoServices);

// Writes line (when not empty) to standard error, as it was before silenceStandardError, and ends
// the process with status.
[[noreturn]] void quit(int status, std::string_view line = {});

// Creates, configures and prepares the session from W, H, FPS and bitrate; quits with status 3
// when it cannot be created or prepared.
void createSession();
// Creates the pool of W x H BGRA buffers; quits with status 4 on failure.
void createPool();

// Keeps standard error for quit's lines in a descriptor of its own, then points descriptor 2 at
// /dev/null (or closes it when that cannot be opened): the encoder libraries print their own
// complaints there, which are not this program's to write. The first thing run does.
void silenceStandardError();

// Reads frames until input ends, each into a buffer of pool (through raw when the buffer's rows do
// not lie back to back, or when the pool has none), and submits each to session.
void frameLoop();
// Completes every submitted frame and ends the session.
void drain();

}  // namespace vidlet
