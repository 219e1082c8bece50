// A tool's --capture FILE: the line its port carries, as the station's own
// LINK_CAPTURE writes it (common/line_capture.h), with the tap the port
// dispatch calls and the events a tool sees by other means. Closed (all
// flushed) by Close or the destructor: a stop signal only ends the run,
// whose end closes the file.
#pragma once

#include <cstdint>
#include <string>

#include "common/line_capture.h"
#include "platform/serial.h"

namespace tools {

class LineCaptureFile {
public:
    // `clock`: microseconds since 1970 (the tool's platform clock, virtual
    // under --sim).
    explicit LineCaptureFile(uint64_t (*clock)());
    ~LineCaptureFile() { Close(); }
    LineCaptureFile(const LineCaptureFile&) = delete;
    LineCaptureFile& operator=(const LineCaptureFile&) = delete;

    // Creates the file; false with the reason.
    bool Open(const std::string& path, const std::string& description, std::string* error);
    bool open() const { return open_; }
    const platform::SerialTap* tap() const { return open_ ? &tap_ : nullptr; }
    void Bytes(bool outbound, const void* data, size_t size);
    void Event(LineEvent event);
    void Close();
    // The error of a write that failed, once ("" otherwise).
    std::string TakeFailure();

private:
    uint64_t (*clock_)();
    LineCapture capture_;
    platform::SerialTap tap_;
    bool open_ = false;
};

}  // namespace tools
