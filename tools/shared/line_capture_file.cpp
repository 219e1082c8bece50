#include "tools/shared/line_capture_file.h"

#include <cstring>

namespace tools {

namespace {

LineCaptureFile* Of(void* user) { return static_cast<LineCaptureFile*>(user); }

}  // namespace

LineCaptureFile::LineCaptureFile(uint64_t (*clock)()) : clock_(clock) {
    tap_ = {this, [](void* user, bool outbound, const void* data, uint32_t size) { Of(user)->Bytes(outbound, data, size); },
            [](void* user, bool raised) { Of(user)->Event(raised ? LineEvent::kDtrRaised : LineEvent::kDtrDropped); },
            [](void* user, bool on) { Of(user)->Event(on ? LineEvent::kCarrierUp : LineEvent::kCarrierDown); }};
}

bool LineCaptureFile::Open(const std::string& path, const std::string& description, std::string* error) {
    open_ = OpenLineCapture(&capture_, path, description, 0);
    if (!open_) *error = "cannot write the capture " + path + ": " + std::strerror(TakeCaptureFailure(&capture_));
    return open_;
}

void LineCaptureFile::Bytes(bool outbound, const void* data, size_t size) {
    if (open_) CaptureBytes(&capture_, outbound, static_cast<const uint8_t*>(data), size, clock_());
}

void LineCaptureFile::Event(LineEvent event) {
    if (open_) CaptureEvent(&capture_, event, clock_());
}

void LineCaptureFile::Close() {
    if (open_) CloseLineCapture(&capture_);
    open_ = false;
}

std::string LineCaptureFile::TakeFailure() {
    const int error = TakeCaptureFailure(&capture_);
    return error != 0 ? std::string(std::strerror(error)) : std::string();
}

}  // namespace tools
