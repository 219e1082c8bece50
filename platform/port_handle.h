// The handle of an open serial port, apart from the serial service itself so
// that the station context can hold one without the whole comm interface.
#pragma once

#include <cstdint>

namespace platform {

using PortHandle = uintptr_t;  // 32 bits on the 32-bit target
constexpr PortHandle kInvalidPortHandle = ~PortHandle{0};

}  // namespace platform
