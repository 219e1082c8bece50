// One gate change, 16 bytes exactly as it goes on the link.
#pragma once

#include <cstdint>

struct GateChange {
    uint8_t bytes[16];
};
static_assert(sizeof(GateChange) == 16);
