// Little-endian fields of request and response bodies, history records,
// gate messages and the station gate file, read and written byte by byte so
// that no field needs to be aligned.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

inline uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

inline uint32_t Le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// On a little-endian machine the value's own bytes are the wire form: one
// store each instead of the shifts the compiler builds for byte stores (the
// change buffer appends on every gate change).
inline void PutLe16(uint8_t* out, uint16_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, sizeof value);
    } else {
        out[0] = static_cast<uint8_t>(value);
        out[1] = static_cast<uint8_t>(value >> 8);
    }
}

inline void PutLe32(uint8_t* out, uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, sizeof value);
    } else {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
