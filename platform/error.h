// The calling thread's last platform error code (GetLastError), and the
// codes the backends give: the Win32 numbers.
#pragma once

#include <cstdint>

namespace platform {

uint32_t LastError();
void SetLastError(uint32_t code);

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidParameter = 87;

}  // namespace platform
