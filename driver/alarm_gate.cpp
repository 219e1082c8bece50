// The ALARM_CALL gate: the one gate the driver offers the host. A written dial
// reference arms a pending alarm call for the call-control thread.
#include <cstring>
#include <string>

#include "calls/auto_answer.h"
#include "common/text.h"
#include "driver/context.h"
#include "driver/operations.h"
#include "host/korpro.h"
#include "platform/time.h"

using enum HostResult;

namespace {

constexpr char kAlarmCallGate[] = "ALARM_CALL";
constexpr int32_t kAcceptedGateWords = 16;
constexpr int32_t kFirstDialDelaySeconds = 3;
constexpr uint16_t kHighestReference = 254;

}  // namespace

HostResult SingleAddressParser(VpiCallBlock* call) {
    auto* gate = static_cast<GateAddress*>(call->parameters);
    gate->word4 = 0;
    gate->word5 = 0;
    gate->word6 = 0;
    gate->word8 = 0;
    gate->word7 = -1;
    const std::string upper = LocaleUpperCase(gate->address ? gate->address : "");
    if (upper != kAlarmCallGate) {
        err(kLogError, "TELDRV> SingleParse() illegal gate address string '%s', only 'ALARM_CALL' gate supported",
            upper.c_str());
        return kHostRefused;
    }
    if (gate->gateType == 0 || gate->gateType == 1) {
        gate->word4 = kAcceptedGateWords;
        gate->word5 = kAcceptedGateWords;
        gate->word6 = kAcceptedGateWords;
        gate->word8 = kAcceptedGateWords;
        return kHostDone;
    }
    err(kLogInfo, "TELDRV> SingleParse() 'ALARM_CALL' gate type should be 16-bit");
    return kHostRefused;
}

HostResult SingleWrite(VpiCallBlock* call) {
    auto* ctx = static_cast<StationContext*>(call->context);
    const auto* write = static_cast<const GateWrite*>(call->parameters);
    const char* address = write->address ? write->address : "";
    if (LocaleUpperCase(address) != kAlarmCallGate) {
        err(kLogError, "TELDRV> SingleWrite() illegal gate address string, '%s'", address);
        return kHostNotAvailable;
    }
    // The written value is the 16-bit word at bytes 2 and 3 of the value block.
    uint16_t reference = 0;
    if (write->value != nullptr) std::memcpy(&reference, static_cast<const uint8_t*>(write->value) + 2, 2);
    if (reference == 0 || reference > kHighestReference) {
        err(kLogInfo, "TELDRV> SingleWrite() illegal dial reference number, gate '%s'", address);
        return kHostRefused;
    }
    if (ctx->phoneNumbers[reference] == nullptr) {
        err(kLogInfo, "TELDRV> SingleWrite() error, dial reference %u not defined in init file, gate '%s'",
            static_cast<unsigned>(reference), address);
        return kHostRefused;
    }
    for (DialEntry& entry : ctx->dialEntries) {
        const uint8_t held = LoadShared(entry.reference);
        if (held != 0 && held != reference) continue;
        // The reference goes last: it is what makes the call-control thread
        // look at the other two fields.
        StoreShared(entry.retriesLeft, DialAttempts(ctx), std::memory_order_relaxed);
        StoreShared(entry.dueTime, platform::CalendarTime() + kFirstDialDelaySeconds, std::memory_order_relaxed);
        StoreShared(entry.reference, static_cast<uint8_t>(reference));
        return kHostDone;
    }
    err(kLogInfo, "TELDRV> SingleWrite() error, all %u dial entries occupied, gate '%s'",
        static_cast<unsigned>(kDialEntryCount), address);
    return kHostRefused;
}
