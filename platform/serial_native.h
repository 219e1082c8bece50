// The platform's own serial devices (termios on POSIX, the comm API on
// Windows); one file per platform provides it.
#pragma once

#include "platform/serial.h"

namespace platform {

const SerialBackend* NativeSerialBackend();

}  // namespace platform
