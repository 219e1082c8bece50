// POSIX serial devices. Placeholder until the termios backend lands: every
// open fails as for a device that does not exist.
#include "platform/serial_native.h"

namespace platform {
namespace {
void* OpenNone(const char*, uint32_t* error) {
    *error = kErrorFileNotFound;
    return nullptr;
}
uint32_t CloseNone(void*) { return 0; }
const SerialBackend kNone = {OpenNone, CloseNone, nullptr, nullptr, nullptr, nullptr,
                             nullptr,  nullptr,   nullptr, nullptr, nullptr, nullptr};
}  // namespace

const SerialBackend* NativeSerialBackend() { return &kNone; }

}  // namespace platform
