#include "sim/central_frame.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

std::string Hex16(uint16_t value) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04X", unsigned{value});
    return digits;
}

std::string Count(const char* part, size_t have, size_t want) {
    return std::string(part) + " (" + std::to_string(have) + " of " + std::to_string(want) + " bytes)";
}

}  // namespace

uint16_t LinkChecksum(uint16_t tag, const Bytes& body) {
    const uint8_t covered[5] = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag & 0xFF),
                                static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size() & 0xFF),
                                kFrameDle};
    uint16_t sum = 0;
    for (uint8_t b : covered) sum = static_cast<uint16_t>(sum + (b ^ 0x55));
    for (uint8_t b : body) sum = static_cast<uint16_t>(sum + (b ^ 0x55));
    return sum;
}

Bytes EncodeFrame(const char* magic, uint16_t tag, const Bytes& body) {
    const uint16_t sum = LinkChecksum(tag, body);
    Bytes out;
    out.reserve(kFrameHeaderSize + body.size() + kFrameFooterSize);
    for (uint8_t b : {kFrameStx, static_cast<uint8_t>(magic[0]), static_cast<uint8_t>(magic[1]),
                      static_cast<uint8_t>(magic[2]), static_cast<uint8_t>(tag >> 8),
                      static_cast<uint8_t>(tag & 0xFF), static_cast<uint8_t>(body.size() >> 8),
                      static_cast<uint8_t>(body.size() & 0xFF), kFrameDle}) {
        out.push_back(b);
    }
    out.insert(out.end(), body.begin(), body.end());
    for (uint8_t b : {kFrameDle, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum & 0xFF), kFrameEtx}) {
        out.push_back(b);
    }
    return out;
}

std::string CheckFrame(const Bytes& bytes, const char* magic, Frame* frame) {
    Frame scratch;
    if (!frame) frame = &scratch;
    if (bytes.size() < kFrameHeaderSize) return Count("short header", bytes.size(), kFrameHeaderSize);
    frame->magic.assign(reinterpret_cast<const char*>(&bytes[1]), 3);
    if (bytes[0] != kFrameStx || frame->magic != magic || bytes[8] != kFrameDle) return "bad header";
    frame->tag = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    const size_t length = FrameBodyLength(bytes.data());
    if (length > kMaxFrameBody) return "body length " + std::to_string(length) + " above 1280";
    const size_t have = std::min(length, bytes.size() - kFrameHeaderSize);
    frame->body.assign(bytes.begin() + kFrameHeaderSize,
                       bytes.begin() + static_cast<std::ptrdiff_t>(kFrameHeaderSize + have));
    if (have < length) return Count("short body", have, length);
    frame->computed = LinkChecksum(frame->tag, frame->body);
    if (bytes.size() < kFrameHeaderSize + length + kFrameFooterSize) {
        return Count("short footer", bytes.size() - kFrameHeaderSize - length, kFrameFooterSize);
    }
    const uint8_t* footer = &bytes[kFrameHeaderSize + length];
    frame->checksum = static_cast<uint16_t>(footer[1] << 8 | footer[2]);
    if (footer[0] != kFrameDle || footer[3] != kFrameEtx) return "bad footer";
    if (bytes.size() != kFrameHeaderSize + length + kFrameFooterSize) return "bytes after the frame";
    if (frame->checksum != frame->computed) {
        return "checksum " + Hex16(frame->checksum) + ", computed " + Hex16(frame->computed) + ": BAD";
    }
    return "";
}

std::string Hex(const uint8_t* data, size_t size) {
    std::string text;
    text.reserve(size * 3);
    char digits[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", data[i]);
        text += digits;
    }
    return text;
}

}  // namespace sim
