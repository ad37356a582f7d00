// The packet stream on standard output: every packet is a 4-byte big-endian payload length, a
// 1-byte type and the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vidlet {

constexpr uint8_t kPacketFrame = 0;          // encoded frame that is not a key frame
constexpr uint8_t kPacketConfiguration = 1;  // parameter sets
constexpr uint8_t kPacketKeyFrame = 2;       // encoded key frame

// Writes all size bytes to fd, continuing after partial and interrupted writes. False when a
// write fails; what was written by then stays written.
bool writeAll(int fd, const void* data, size_t size);

// Writes one packet to out: header and payload under outLock, so that packets from different
// threads never interleave. A payload too long for the length field is not written.
void emit(uint8_t type, const std::vector<uint8_t>& payload);

}  // namespace vidlet
