#include "state.h"

namespace vidlet {

int out = -1;
std::mutex outLock;
int64_t W = 0;
int64_t H = 0;
int64_t FPS = 0;
int64_t bitrate = 0;
platform::VideoServices* services = nullptr;
platform::PixelBufferAttributes enc;
std::shared_ptr<platform::CompressionSession> s;
platform::Status st = platform::kStatusOk;
std::shared_ptr<platform::CompressionSession> session;
platform::PixelBufferAttributes poolAttrs;
std::shared_ptr<platform::PixelBufferPool> pool;
int64_t frameBytes = 0;
std::unique_ptr<uint8_t[]> raw;
int64_t n = 0;
platform::OutputCallback callback = nullptr;
bool sentConfig = false;
std::array<uint8_t, 4> startCode{};

}  // namespace vidlet
