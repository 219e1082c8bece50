// One gate change, 16 bytes exactly as it goes on the link.
#pragma once

#include <cstdint>

// Bytes 0-1: station index in bits 0-14, status flag in bit 15 (little-endian);
// 2-9: the host message's value bytes; 10-15: its info bytes.
struct GateChange {
    uint8_t bytes[16];
};
static_assert(sizeof(GateChange) == 16);

constexpr uint16_t kChangeStatusFlag = 0x8000;
constexpr uint16_t kChangeIndexMask = 0x7FFF;
