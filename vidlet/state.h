// The encoder's process-wide state. Each variable is set once, in the start-up order of run()
// (vidlet.cpp); the output path (out, outLock, startCode, sentConfig, callback) is set before any
// session exists and is afterwards touched only by the output callback.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/video.h"

namespace vidlet {

// Output path.
extern int out;             // descriptor the packets go to: standard output
extern std::mutex outLock;  // held while one packet is written

// Header.
extern int64_t W;        // frame width in pixels, 1 to 2147483647
extern int64_t H;        // frame height in pixels, 1 to 2147483647
extern int64_t FPS;      // frames per second, 1 to 2147483647
extern int64_t bitrate;  // target bits per second, as given

// Encoder.
extern platform::VideoServices* services;                // where sessions and pools come from
extern platform::PixelBufferAttributes enc;              // source image attributes of the session
extern std::shared_ptr<platform::CompressionSession> s;  // output slot of session creation
extern platform::Status st;                              // status of session creation
extern std::shared_ptr<platform::CompressionSession> session;  // the session in use
extern platform::PixelBufferAttributes poolAttrs;
extern std::shared_ptr<platform::PixelBufferPool> pool;

// Frames.
extern int64_t frameBytes;              // W * H * 4
extern std::unique_ptr<uint8_t[]> raw;  // one input frame
extern int64_t n;                       // frames submitted so far

// Output callback.
extern platform::OutputCallback callback;
extern bool sentConfig;  // the configuration packet has been written
extern std::array<uint8_t, 4> startCode;

}  // namespace vidlet
