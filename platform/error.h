// The calling thread's last platform error code (GetLastError).
#pragma once

#include <cstdint>

namespace platform {

uint32_t LastError();
void SetLastError(uint32_t code);

}  // namespace platform
