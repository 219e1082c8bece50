// Serial port access: open, configure, drain, read and write the modem's
// port. Every routine returns a small result code and logs nothing; the
// callers decide what to report.
#pragma once

#include <cstdint>

#include "platform/serial.h"

struct StationContext;

// Result codes of the port layer. A type of their own, so that they cannot be
// compared with a link or modem result or with a bare number; the numbers are
// those the port layer has always had.
enum class PortResult : uint8_t {
    kPortOk = 0,
    kPortOpenFailed = 1,      // open or time-outs failed; PurgeInput: last drain read failed
    kPortShortWrite = 2,      // fewer bytes written than asked
    kPortGetStateFailed = 4,  // the port has been closed again
    kPortSetStateFailed = 5,
    kPortCallFailed = 7,      // the platform call failed, or a read brought no byte
};

// Line settings in the order the context holds them: baud rate, data bits,
// stop bits (0 one, 1 one and a half, 2 two), parity (0 none, 1 odd, 2 even,
// 3 mark, 4 space).
constexpr int kPortSettingCount = 4;

// Option word bits that choose how DTR and RTS are driven.
constexpr uint16_t kPortOptionDtrEnable = 0x0001;
constexpr uint16_t kPortOptionDtrEnableAlt = 0x0100;
constexpr uint16_t kPortOptionDtrHandshake = 0x8000;
constexpr uint16_t kPortOptionRtsEnable = 0x0002;
constexpr uint16_t kPortOptionRtsEnableAlt = 0x0200;
constexpr uint16_t kPortOptionRtsHandshake = 0x1000;
constexpr uint16_t kPortOptionRtsToggle = 0x2000;
constexpr uint16_t kPortOptionsDriver = 0x0303;  // DTR and RTS enabled

// Every handle on which the driver reads holds a total read time-out of
// units × 10 ms; OpenPort starts it at one second.
constexpr uint32_t kPortOpenReadTimeoutMs = 1000;
constexpr uint32_t kPortQueueSize = 1200;

// Opens the device `name` and sets it up from `settings` (four words) and
// `options`. The handle is stored in `*handle` whatever the outcome; on every
// nonzero result it is closed already. "NUL" is opened but not configured.
PortResult OpenPort(const char* name, const uint16_t* settings, uint16_t options, platform::PortHandle* handle);
// OpenPort on the port the context names, with its line settings and
// options: the start's open, and the auto-answer thread's when the port was
// lost.
PortResult OpenStationPort(const StationContext* ctx, platform::PortHandle* handle);
// kPortOk, or kPortCallFailed when the platform refuses to close the port.
PortResult ClosePort(platform::PortHandle port);
// Sets the total read time-out to units × 10 ms; gives the previous one in
// units, or 0 when the port's time-outs could not be read or written.
int32_t SetReadTimeout(platform::PortHandle port, int32_t units);
// Discards whatever waits in the input queue.
PortResult PurgeInput(platform::PortHandle port);
// Reads `count` bytes (at most 65535), one total read time-out per read, and
// gives up after a read that brings nothing. `received` may be null.
PortResult ReadExact(platform::PortHandle port, void* buffer, uint32_t count, uint32_t* received);
// One write of `count` bytes. `written` may be null.
PortResult WriteAll(platform::PortHandle port, const void* buffer, uint32_t count, uint32_t* written);
