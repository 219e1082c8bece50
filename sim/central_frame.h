// The central station's frame codec: framing, the checksum and the byte-wise
// check of a frame, shared by the simulated central station and the
// teldrv-central tool. It is written apart from the driver's own framing so
// that tests of the driver have an oracle of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/world.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFrameStx = 0x02;
constexpr uint8_t kFrameEtx = 0x03;
constexpr uint8_t kFrameDle = 0x10;
// STX, magic, tag and length high byte first, DLE.
constexpr size_t kFrameHeaderSize = 9;
// DLE, checksum high byte first, ETX.
constexpr size_t kFrameFooterSize = 4;
constexpr size_t kMaxFrameBody = 1280;

// A frame on the wire, decoded.
struct Frame {
    std::string magic;  // "FEC" or "FER"
    uint16_t tag = 0;
    Bytes body;
    uint16_t checksum = 0;  // as received
    uint16_t computed = 0;  // over what was received
};

// The length field of a header's kFrameHeaderSize bytes.
inline size_t FrameBodyLength(const uint8_t* header) { return static_cast<size_t>(header[6] << 8 | header[7]); }

SIM_API Bytes EncodeFrame(const char* magic, uint16_t tag, const Bytes& body);
// Over the tag, the length, the DLE and the body.
SIM_API uint16_t LinkChecksum(uint16_t tag, const Bytes& body);

// "" when `bytes` is one good frame of `magic`, else why not; *frame (when
// given) gets whatever could be read.
SIM_API std::string CheckFrame(const Bytes& bytes, const char* magic, Frame* frame);

// "02 46 45 ..."
SIM_API std::string Hex(const uint8_t* data, size_t size);
inline std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }

}  // namespace sim
