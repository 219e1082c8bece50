// A pcapng reader of the tests' own, written from the file format alone, so
// that the capture writer is never its own oracle: the blocks of a file, the
// interfaces' link types and the packets with their interface, time and
// direction.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pcapng_test {

struct Packet {
    uint32_t interfaceId;
    uint64_t timeUs;
    uint32_t flags;  // epb_flags, 0 when absent
    std::vector<uint8_t> data;
    std::string text() const { return std::string(data.begin(), data.end()); }
};

struct Capture {
    bool whole = false;  // every block's two lengths agree and the file ends at a block's end
    std::vector<uint32_t> blockTypes;
    std::vector<uint16_t> linkTypes;
    std::vector<Packet> packets;
};

inline uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}

inline uint32_t EpbFlags(const std::vector<uint8_t>& b, size_t at, size_t end) {
    while (at + 4 <= end) {
        const uint32_t code = b[at] | (b[at + 1] << 8), length = b[at + 2] | (b[at + 3] << 8);
        if (code == 0) break;
        if (code == 2 && length == 4) return U32(b, at + 4);
        at += 4 + ((length + 3) & ~3u);
    }
    return 0;
}

inline Capture Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Capture capture;
    size_t at = 0;
    while (at + 12 <= b.size()) {
        const uint32_t type = U32(b, at), length = U32(b, at + 4);
        if (length < 12 || length % 4 != 0 || at + length > b.size() || U32(b, at + length - 4) != length) return capture;
        capture.blockTypes.push_back(type);
        if (type == 1) capture.linkTypes.push_back(static_cast<uint16_t>(b[at + 8] | (b[at + 9] << 8)));
        if (type == 6) {
            const uint32_t size = U32(b, at + 20);
            Packet packet{U32(b, at + 8), (uint64_t{U32(b, at + 12)} << 32) | U32(b, at + 16), 0,
                          std::vector<uint8_t>(b.begin() + at + 28, b.begin() + at + 28 + size)};
            packet.flags = EpbFlags(b, at + 28 + ((size + 3) & ~3u), at + length - 4);
            capture.packets.push_back(packet);
        }
        at += length;
    }
    capture.whole = at == b.size();
    return capture;
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", byte);
        text += digits;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

}  // namespace pcapng_test
