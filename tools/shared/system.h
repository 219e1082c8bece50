// What the tools need of the system they run on, one backend file per
// system: the far side's port (a pseudo-terminal this program makes,
// or a named serial port, in raw mode; reads and writes never block for
// long), the driver library, and lines typed on the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "host/records.h"

namespace tools {

enum class PortRead { Data, Nothing, Closed };

class FarPort {
public:
    FarPort() = default;
    ~FarPort();
    FarPort(const FarPort&) = delete;
    FarPort& operator=(const FarPort&) = delete;

    // Makes a pseudo-terminal; path() is its terminal side. Where the system
    // has none, false with the reason.
    bool OpenPty(std::string* error);
    bool OpenNamed(const std::string& path, std::string* error);
    const std::string& path() const { return path_; }

    // Waits up to timeoutMs for bytes. Closed: nobody holds the terminal side
    // of a pseudo-terminal open, or the port is gone.
    PortRead Read(std::vector<uint8_t>* bytes, int timeoutMs);
    // Bytes nobody is there to read are dropped.
    void Write(const std::vector<uint8_t>& bytes);

private:
    intptr_t handle_ = -1;
    std::string path_;
};

// Whether the port's modem lines (carrier above all) can be read; not on a
// pseudo-terminal. The port is closed again; *why tells what failed.
enum class ModemLines { Readable, Unreadable, NoPort };
ModemLines ProbeModemLines(const std::string& port, std::string* why);

// Loads a driver library and finds its VpiMain; null with the reason. The
// library stays loaded until the program ends.
VpiMainFunction LoadVpiMain(const std::string& library, std::string* error);

// What was typed on standard input since the last look ("" for nothing);
// never waits. *open turns false when standard input ends.
std::string TypedKeys(bool* open);

// Whether standard error goes to a terminal (progress lines are then shown).
bool StderrIsTerminal();

// The directory of this program's own file.
std::string ProgramDirectory(const char* argv0);

// The local time of a calendar second.
std::tm LocalTime(std::time_t seconds);

// The device a port name stands for, as the driver's port layer names it.
std::string PortDevicePath(const std::string& port);
// True when the port's device is there but this user may not read and write it.
bool PortPermissionDenied(const std::string& port);

}  // namespace tools
