// The far side's port of a station: a pseudo-terminal this program makes, or
// a named serial port, in raw mode. Reads and writes never block for long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace station {

enum class PortRead { Data, Nothing, Closed };

class FarPort {
public:
    FarPort() = default;
    ~FarPort();
    FarPort(const FarPort&) = delete;
    FarPort& operator=(const FarPort&) = delete;

    // Makes a pseudo-terminal; path() is its terminal side.
    bool OpenPty(std::string* error);
    bool OpenNamed(const std::string& path, std::string* error);
    const std::string& path() const { return path_; }

    // Waits up to timeoutMs for bytes. Closed: nobody holds the terminal side
    // of a pseudo-terminal open, or the port is gone.
    PortRead Read(std::vector<uint8_t>* bytes, int timeoutMs);
    // Bytes nobody is there to read are dropped.
    void Write(const std::vector<uint8_t>& bytes);

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace station
