// The host's write of a dial reference to the driver's ALARM_CALL gate, as
// the host makes it: the address parsed first, then the single write. The
// driver dials the reference's MODEM_NUMBER 3 s later.
#pragma once

#include <cstdint>

#include "host/records.h"

namespace tools {

struct AlarmWrite {
    int32_t parsed;   // the address parser's result (0: the driver's gate)
    int32_t written;  // SingleWrite's result (0: the call is booked)
};

inline AlarmWrite WriteAlarmCall(VpiMainFunction vpiMain, void* context, uint32_t driverNumber, uint8_t reference) {
    constexpr uint32_t kAddressParser = 3, kSingleWrite = 7;
    GateAddress gate{};
    gate.address = "ALARM_CALL";
    gate.gateType = 1;
    VpiCallBlock parse{context, kAddressParser, driverNumber, 0, &gate};
    const int32_t parsed = vpiMain(&parse);
    uint8_t value[4] = {0, 0, reference, 0};
    GateWrite write{};
    write.address = "ALARM_CALL";
    write.value = value;
    VpiCallBlock single{context, kSingleWrite, driverNumber, 0, &write};
    return {parsed, vpiMain(&single)};
}

}  // namespace tools
