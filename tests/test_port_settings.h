// The station's serial line as every test sets it up: 19200 baud, 8 data
// bits, one stop bit, no parity, and the port options the driver opens with.
#pragma once

#include <cstdint>
#include <cstring>

#include "host/records.h"

namespace test_port {

constexpr uint16_t kBaud = 19200;
constexpr uint16_t kDataBits = 8;
constexpr uint16_t kStopBits = 0;  // one
constexpr uint16_t kParity = 0;    // none
// As OpenPort takes them: baud, data bits, stop bits, parity.
inline constexpr uint16_t kSettings[4] = {kBaud, kDataBits, kStopBits, kParity};
// DTR and RTS enabled.
constexpr uint16_t kOptions = 0x0303;

// The host's ColdStart parameters for `port` at these settings.
inline ColdStartParams ColdStartOn(const char* port, uint32_t portEnabled = 1) {
    ColdStartParams params{};
    std::strncpy(params.portName, port, sizeof params.portName - 1);
    params.portEnabled = portEnabled;
    params.baudRate = kBaud;
    params.dataBits = kDataBits;
    params.stopBits = kStopBits;
    params.parity = kParity;
    return params;
}

}  // namespace test_port
