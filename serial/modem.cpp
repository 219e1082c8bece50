#include "serial/modem.h"

#include <cstring>
#include <string_view>

#include "host/korpro.h"
#include "platform/error.h"
#include "platform/time.h"
#include "serial/port.h"

using enum ModemResult;

namespace {

constexpr int32_t kCommandReadTimeoutUnits = 150;
constexpr uint32_t kCommandPauseMs = 100;
constexpr uint32_t kEscapeDtrLowMs = 1500;
constexpr uint32_t kEscapeGuardMs = 1600;
constexpr uint32_t kCarrierPollMs = 100;
constexpr size_t kOkReplyLength = 6;  // CR LF "OK" CR LF
constexpr char kEscape[] = "+++";
constexpr char kCr = '\r';

bool EndsWithCr(const char* text, size_t length) { return length > 0 && text[length - 1] == kCr; }

// One step of a sequence: `command` sent and its OK awaited, each failure
// logged with its message (a format with the port's name as its one
// argument) and the sequence going on.
void CommandStep(StationContext* ctx, const char* command, const char* sendFailed, const char* noReply) {
    const platform::PortHandle port = Port(ctx);
    if (SendModemCmd(port, command) != kModemOk) err(kLogError, sendFailed, ctx->portName);
    if (WaitModemOk(port, command) != kModemOk) err(kLogError, noReply, ctx->portName);
}

}  // namespace

ModemResult SendModemCmd(platform::PortHandle port, const char* command) {
    SetReadTimeout(port, kCommandReadTimeoutUnits);
    const bool escape = std::strcmp(command, kEscape) == 0;
    if (escape) {
        platform::CommEscape(port, platform::kClrDtr);
        platform::Sleep(kEscapeDtrLowMs);
        platform::CommEscape(port, platform::kSetDtr);
    } else {
        PurgeInput(port);
        platform::Sleep(kCommandPauseMs);
    }

    const size_t length = std::strlen(command);
    uint32_t written = 0;
    if (WriteAll(port, command, static_cast<uint32_t>(length), &written) != PortResult::kPortOk) return kModemFailed;
    if (!escape && !EndsWithCr(command, length)) {
        written = 0;
        if (WriteAll(port, &kCr, 1, &written) != PortResult::kPortOk) return kModemFailed;
    }
    if (escape) platform::Sleep(kEscapeGuardMs);
    return kModemOk;
}

ModemResult WaitModemOk(platform::PortHandle port, const char* command) {
    const size_t length = std::strlen(command);
    const size_t expected = length + (EndsWithCr(command, length) ? 0 : 1) + kOkReplyLength;
    char reply[kModemReplyBufferSize];
    if (expected >= sizeof reply) return kModemFailed;
    uint32_t received = 0;
    if (ReadExact(port, reply, static_cast<uint32_t>(expected), &received) != PortResult::kPortOk ||
        received < expected) {
        return kModemFailed;
    }
    reply[received] = '\0';
    return std::string_view(reply, received).find("OK") != std::string_view::npos ? kModemOk : kModemFailed;
}

void ResetModem(StationContext* ctx) {
    if (SendModemCmd(Port(ctx), kEscape) != kModemOk) {
        err(kLogError, "TELDRV> ResetModem() error, setting modem '%s' to command mode", ctx->portName);
    }
    CommandStep(ctx, ctx->hangUpCmd, "TELDRV> ResetModem() error, sending hangup to modem '%s'",
                "TELDRV> ResetModem() error, modem '%s' not replying on hangup");
    CommandStep(ctx, ctx->modemResetCmd, "TELDRV> ResetModem() error, sending reset to modem '%s'",
                "TELDRV> ResetModem() error, modem '%s' not replying on reset");
}

void AutoAnswerOn(StationContext* ctx) {
    CommandStep(ctx, ctx->autoAnswerCmd, "TELDRV> AutoAnswerOn() error, sending auto-answer to modem '%s'",
                "TELDRV> AutoAnswerOn() error, modem '%s' not replying on auto-answer cmd");
}

void AutoAnswerOff(StationContext* ctx) {
    CommandStep(ctx, ctx->noAnswerCmd, "TELDRV> AutoAnswerOff() error, sending no-answer to modem '%s'",
                "TELDRV> AutoAnswerOff() error, modem '%s' not replying on no-answer cmd");
}

ModemResult DialModem(StationContext* ctx, const char* number, uint8_t reference) {
    const platform::PortHandle port = Port(ctx);
    if (!number) number = "";
    char command[kDialCommandBufferSize];
    const size_t prefixLength = strnlen(ctx->dialPrefix, sizeof ctx->dialPrefix);
    const size_t numberLength = std::strlen(number);
    if (prefixLength + numberLength >= sizeof command) {
        err(kLogError, "TELDRV> DialModem() error, dial command for dial reference %u too long (%u characters), not dialled",
            static_cast<unsigned>(reference), static_cast<unsigned>(prefixLength + numberLength));
        return kModemFailed;
    }
    std::memcpy(command, ctx->dialPrefix, prefixLength);
    std::memcpy(command + prefixLength, number, numberLength + 1);

    if (SendModemCmd(port, command) != kModemOk) {
        err(kLogError, "TELDRV> DialModem() error, sending '%s' dial command to modem '%s'", command, ctx->portName);
    }

    // 64 bits: a deadline past 2038 must not wrap.
    const int64_t deadline = int64_t{platform::CalendarTime()} + ctx->dialTimeout;
    bool carrier = false;
    while (!carrier) {
        if (platform::CalendarTime() > deadline) break;
        platform::Sleep(kCarrierPollMs);
        uint32_t status = 0;
        if (!platform::CommModemStatus(port, &status)) {
            err(kLogError, "TELDRV> DialModem() error, getting modem control signals status, err %u",
                static_cast<unsigned>(platform::LastError()));
            break;
        }
        carrier = (status & platform::kModemStatusRlsdOn) != 0;
    }
    if (!carrier) return kModemFailed;
    PurgeInput(port);
    return kModemOk;
}
